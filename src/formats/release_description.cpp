#include "formats/release_description.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/text.hpp"

namespace formats {
namespace {

constexpr std::string_view kFirstWords = "tolvex-release 1 ";
constexpr std::string_view kFirstWordsWithPredecessors = "tolvex-release 2 ";

[[noreturn]] void malformed(std::string_view what) {
  throw common::ValueError("malformed release description: " + std::string(what));
}

// The next space-separated word of `line`, taken from it.
std::string_view takeWord(std::string_view& line) {
  const std::size_t end = line.find(' ');
  const std::string_view word = line.substr(0, end);
  line.remove_prefix(end == std::string_view::npos ? line.size() : end + 1);
  return word;
}

std::int64_t takeNumber(std::string_view& line, std::int64_t most) {
  const std::optional<std::int64_t> number = common::parseDecimal(takeWord(line));
  if (!number || *number > most) {
    malformed("a number");
  }
  return *number;
}

std::string takePrefix(std::string_view& line) {
  const std::string_view prefix = takeWord(line);
  if (!isPatchPrefix(prefix)) {
    malformed("a digest prefix");
  }
  return std::string(prefix);
}

}  // namespace

const ReleaseDescription::Version* ReleaseDescription::find(std::string_view digest) const {
  if (digest.size() < kPatchPrefixDigits) {
    return nullptr;
  }
  const auto found = versions.find(std::string(digest.substr(0, kPatchPrefixDigits)));
  return found == versions.end() ? nullptr : &found->second;
}

std::string describeRelease(const ReleaseDescription& release) {
  const bool predecessors = std::ranges::any_of(release.versions, [](const auto& version) {
    return !version.second.file.predecessors.empty();
  });
  std::string text(predecessors ? kFirstWordsWithPredecessors : kFirstWords);
  text += std::to_string(release.bundleBytes) + '\n';
  for (const auto& [prefix, version] : release.versions) {
    text += prefix + ' ' + std::to_string(version.file.size) + ' ' +
            std::to_string(version.file.copyBytes);
    for (std::size_t patch = 0; patch < version.file.patches.size(); ++patch) {
      text += ' ' + version.file.patches[patch].fromPrefix + ' ' +
              std::to_string(version.patchOffsets[patch]) + ' ' +
              std::to_string(version.file.patches[patch].bytes);
    }
    text += '\n';
    for (const FileDescription::Predecessor& predecessor : version.file.predecessors) {
      text += predecessorLine(predecessor);
    }
  }
  return text;
}

ReleaseDescription parseReleaseDescription(std::string_view text) {
  if (static_cast<std::int64_t>(text.size()) > kMaximumReleaseDescriptionBytes) {
    malformed("too long");
  }
  const bool predecessors = text.starts_with(kFirstWordsWithPredecessors);
  if ((!predecessors && !text.starts_with(kFirstWords)) || !text.ends_with('\n')) {
    malformed("first line");
  }
  text.remove_prefix(kFirstWords.size());
  ReleaseDescription release;
  std::size_t end = text.find('\n');
  std::string_view first = text.substr(0, end);
  release.bundleBytes = takeNumber(first, kMaximumReleaseDescriptionBytes * 16);
  if (!first.empty()) {
    malformed("first line");
  }
  text.remove_prefix(end + 1);
  ReleaseDescription::Version* last = nullptr;  // the version that predecessor lines belong to
  while (!text.empty()) {
    end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    // A version line never passes for a predecessor line ('r' is no hexadecimal digit).
    if (std::optional<FileDescription::Predecessor> predecessor =
            predecessors ? parsePredecessorLine(line) : std::nullopt) {
      if (last == nullptr || last->file.predecessors.size() == kMaximumPredecessors) {
        malformed("a predecessor line");
      }
      last->file.predecessors.push_back(std::move(*predecessor));
      continue;
    }
    std::string prefix = takePrefix(line);
    ReleaseDescription::Version version;
    version.file.size = takeNumber(line, kMaximumPatchedBytes);
    version.file.copyBytes = takeNumber(line, kMaximumPatchedBytes);
    while (!line.empty()) {
      std::string from = takePrefix(line);
      const std::int64_t offset = takeNumber(line, release.bundleBytes);
      const std::int64_t bytes = takeNumber(line, kMaximumPatchedBytes);
      if (bytes == 0 || bytes > release.bundleBytes - offset) {
        malformed("a patch outside the bundle");
      }
      version.file.patches.push_back({std::move(from), bytes});
      version.patchOffsets.push_back(offset);
    }
    const auto [added, isNew] = release.versions.emplace(std::move(prefix), std::move(version));
    if (!isNew) {
      malformed("a version described twice");
    }
    last = &added->second;
  }
  return release;
}

}  // namespace formats
