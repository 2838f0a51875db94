#include "formats/catalog_file.hpp"

#include "common/base64.hpp"
#include "common/text.hpp"
#include "formats/tool_files.hpp"

namespace formats {
namespace {

constexpr std::string_view kSeparator = " *";

bool isAcceptedPath(std::string_view path) {
  return !path.starts_with('/') && path.find("..") == std::string_view::npos &&
         path.find('\0') == std::string_view::npos && !isPendingPath(path);
}

}  // namespace

std::string catalogLine(std::string_view digest, std::string_view path) {
  std::string line;
  line.reserve(digest.size() + kSeparator.size() + path.size() + 1);
  line.append(digest).append(kSeparator).append(path).push_back('\n');
  return line;
}

std::vector<CatalogEntry> parseCatalog(std::string_view text) {
  std::vector<CatalogEntry> entries;
  for (const std::string_view line : common::split(text, '\n')) {
    const std::size_t separator = line.find(kSeparator);
    if (separator == std::string_view::npos) {
      continue;
    }
    const std::string_view path = line.substr(separator + kSeparator.size());
    if (isAcceptedPath(path)) {
      entries.push_back({std::string(line.substr(0, separator)), std::string(path)});
    }
  }
  return entries;
}

std::string signatureFileText(std::span<const std::uint8_t> signature) {
  return common::base64Encode(signature);
}

std::vector<std::uint8_t> parseSignatureFile(std::string_view text) {
  return common::base64Decode(text);
}

}  // namespace formats
