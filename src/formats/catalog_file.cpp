#include "formats/catalog_file.hpp"

#include <array>
#include <cerrno>

#include "common/base64.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/path.hpp"
#include "common/text.hpp"
#include "formats/tool_files.hpp"

namespace formats {
namespace {

constexpr std::string_view kSeparator = " *";
constexpr std::size_t kReadBlockBytes = std::size_t{64} * 1024;
constexpr std::string_view kReleaseTag = "; tolvex-release";
constexpr std::string_view kExpiresWord = "expires";

bool isAcceptedPath(std::string_view path) {
  if (path.starts_with('/') || path.find("..") != std::string_view::npos ||
      path.find('\0') != std::string_view::npos || isPendingPath(path)) {
    return false;
  }
  // Replacing the run lock would let a second run in while this one holds it,
  // and replacing the kept release number would undo what it guards.
  const std::string own = common::withoutEmptyComponents(path);
  return own != kRunLockFileName && own != kReleaseFileName;
}

}  // namespace

std::string catalogLine(std::string_view digest, std::string_view path) {
  std::string line;
  line.reserve(digest.size() + kSeparator.size() + path.size() + 1);
  line.append(digest).append(kSeparator).append(path).push_back('\n');
  return line;
}

std::optional<CatalogEntry> parseCatalogLine(std::string_view line) {
  const std::size_t separator = line.find(kSeparator);
  if (separator == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view path = line.substr(separator + kSeparator.size());
  if (!isAcceptedPath(path)) {
    return std::nullopt;
  }
  return CatalogEntry{std::string(line.substr(0, separator)), std::string(path)};
}

std::vector<CatalogEntry> parseCatalog(std::string_view text) {
  std::vector<CatalogEntry> entries;
  for (const std::string_view line : common::split(text, '\n')) {
    if (auto entry = parseCatalogLine(line)) {
      entries.push_back(std::move(*entry));
    }
  }
  return entries;
}

std::vector<CatalogEntry> readCatalog(std::FILE* file) {
  std::vector<CatalogEntry> entries;
  const auto take = [&entries](std::string_view line) {
    if (auto entry = parseCatalogLine(line)) {
      entries.push_back(std::move(*entry));
    }
  };
  std::array<char, kReadBlockBytes> block;
  std::string line;  // the line read so far
  for (;;) {
    const std::size_t count = std::fread(block.data(), 1, block.size(), file);
    std::string_view rest(block.data(), count);
    for (std::size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
      line.append(rest.substr(0, end));
      take(line);
      line.clear();
      rest.remove_prefix(end + 1);
    }
    line.append(rest);
    if (count < block.size()) {
      if (std::ferror(file) != 0) {
        common::throwReadError(errno);
      }
      break;
    }
  }
  // The piece after the last line feed is a line too, as in parseCatalog.
  take(line);
  return entries;
}

std::string releaseLine(const CatalogRelease& release) {
  std::string line(kReleaseTag);
  line += ' ';
  line += std::to_string(release.number);
  if (release.expires) {
    line += ' ';
    line += kExpiresWord;
    line += ' ';
    line += std::to_string(*release.expires);
  }
  line += '\n';
  return line;
}

std::optional<CatalogRelease> parseCatalogRelease(std::string_view head) {
  const std::string_view line = head.substr(0, head.find('\n'));
  if (!line.starts_with(kReleaseTag)) {
    return std::nullopt;
  }
  const auto malformed = [] {
    return common::ValueError("malformed release line in " + std::string(kCatalogFileName));
  };
  const std::string_view rest = line.substr(kReleaseTag.size());
  if (!rest.starts_with(' ')) {
    throw malformed();
  }
  const std::vector<std::string_view> fields = common::split(rest.substr(1), ' ');
  if (fields.size() != 1 && (fields.size() != 3 || fields[1] != kExpiresWord)) {
    throw malformed();
  }
  const std::optional<std::int64_t> number = common::parseDecimal(fields[0]);
  if (!number) {
    throw malformed();
  }
  CatalogRelease release{*number, std::nullopt};
  if (fields.size() == 3) {
    release.expires = common::parseDecimal(fields[2]);
    if (!release.expires) {
      throw malformed();
    }
  }
  return release;
}

std::optional<CatalogRelease> readCatalogRelease(int fd) {
  std::array<std::uint8_t, kMaxReleaseLineBytes + 1> head;
  const std::size_t count = common::readAt(fd, 0, head);
  return parseCatalogRelease({reinterpret_cast<const char*>(head.data()), count});
}

std::string signatureFileText(std::span<const std::uint8_t> signature) {
  return common::base64Encode(signature);
}

std::vector<std::uint8_t> parseSignatureFile(std::string_view text) {
  return common::base64Decode(text);
}

}  // namespace formats
