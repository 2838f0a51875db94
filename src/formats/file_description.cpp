#include "formats/file_description.hpp"

#include "common/errors.hpp"
#include "common/text.hpp"
#include "formats/tool_files.hpp"

namespace formats {
namespace {

constexpr std::string_view kFirstWord = "tolvex-file 1 ";
constexpr std::string_view kFirstWordWithPredecessors = "tolvex-file 2 ";
constexpr std::string_view kPredecessorWord = "from ";

[[noreturn]] void malformed(std::string_view what) {
  throw common::ValueError("malformed file description: " + std::string(what));
}

// The next LF-ended line of `text`, taken from it.
std::string_view takeLine(std::string_view& text) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) {
    malformed("a line without its end");
  }
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return line;
}

// The two fields of "A B", the second a size that a described file may have.
std::pair<std::string_view, std::int64_t> splitSized(std::string_view line, std::string_view what) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) {
    malformed(what);
  }
  const std::optional<std::int64_t> bytes = common::parseDecimal(line.substr(space + 1));
  if (!bytes || *bytes > kMaximumPatchedBytes) {
    malformed(what);
  }
  return {line.substr(0, space), *bytes};
}

}  // namespace

bool isPatchPrefix(std::string_view text) {
  return text.size() == kPatchPrefixDigits &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool mayPrecede(std::string_view path) {
  if (path.empty() || path.find_first_of(std::string_view("\0\n", 2)) != std::string_view::npos ||
      isPendingPath(path) || isRootToolFile(path)) {
    return false;
  }
  bool first = true;
  for (const std::string_view component : common::split(path, '/')) {
    if (component.empty() || component == "." || component == ".." ||
        (first && component == kBlockIndexDirectoryName)) {
      return false;
    }
    first = false;
  }
  return true;
}

std::string predecessorLine(const FileDescription::Predecessor& predecessor) {
  return std::string(kPredecessorWord) + predecessor.digest + ' ' + predecessor.path + '\n';
}

std::optional<FileDescription::Predecessor> parsePredecessorLine(std::string_view line) {
  if (!line.starts_with(kPredecessorWord)) {
    return std::nullopt;
  }
  line.remove_prefix(kPredecessorWord.size());
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || !isBlockIndexName(line.substr(0, space)) ||
      space + 1 == line.size()) {
    return std::nullopt;
  }
  return FileDescription::Predecessor{std::string(line.substr(0, space)),
                                      std::string(line.substr(space + 1))};
}

std::optional<std::size_t> FileDescription::patchFrom(std::string_view digest) const {
  for (std::size_t patch = 0; patch < patches.size(); ++patch) {
    if (digest.size() >= kPatchPrefixDigits && digest.starts_with(patches[patch].fromPrefix)) {
      return patch;
    }
  }
  return std::nullopt;
}

std::optional<std::int64_t> FileDescription::patchBytesFrom(std::string_view digest) const {
  const std::optional<std::size_t> patch = patchFrom(digest);
  return patch ? std::optional(patches[*patch].bytes) : std::nullopt;
}

std::string describe(const FileDescription& description) {
  std::string text(description.predecessors.empty() ? kFirstWord : kFirstWordWithPredecessors);
  text += std::to_string(description.size) + ' ' + std::to_string(description.copyBytes) + '\n';
  for (const FileDescription::Patch& patch : description.patches) {
    text += patch.fromPrefix + ' ' + std::to_string(patch.bytes) + '\n';
  }
  for (const FileDescription::Predecessor& predecessor : description.predecessors) {
    text += predecessorLine(predecessor);
  }
  return text;
}

FileDescription parseFileDescription(std::string_view text) {
  if (static_cast<std::int64_t>(text.size()) > kMaximumDescriptionBytes) {
    malformed("too long");
  }
  std::string_view first = takeLine(text);
  const bool predecessors = first.starts_with(kFirstWordWithPredecessors);
  if (!predecessors && !first.starts_with(kFirstWord)) {
    malformed("first line");
  }
  first.remove_prefix(kFirstWord.size());
  FileDescription description;
  const auto [size, copyBytes] = splitSized(first, "sizes");
  const std::optional<std::int64_t> fileSize = common::parseDecimal(size);
  if (!fileSize || *fileSize > kMaximumPatchedBytes) {
    malformed("sizes");
  }
  description.size = *fileSize;
  description.copyBytes = copyBytes;
  while (!text.empty()) {
    const std::string_view line = takeLine(text);
    // A patch line never passes for a predecessor line ('r' is no hexadecimal digit).
    if (std::optional<FileDescription::Predecessor> predecessor =
            predecessors ? parsePredecessorLine(line) : std::nullopt) {
      if (description.predecessors.size() == kMaximumPredecessors) {
        malformed("too many predecessors");
      }
      description.predecessors.push_back(std::move(*predecessor));
      continue;
    }
    if (!description.predecessors.empty()) {
      malformed("a patch line after the predecessors");
    }
    const auto [prefix, bytes] = splitSized(line, "patch line");
    if (!isPatchPrefix(prefix) || bytes == 0) {
      malformed("patch line");
    }
    description.patches.push_back({std::string(prefix), bytes});
  }
  return description;
}

}  // namespace formats
