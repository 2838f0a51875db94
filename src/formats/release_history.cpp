#include "formats/release_history.hpp"

#include "common/errors.hpp"
#include "formats/tool_files.hpp"

namespace formats {
namespace {

constexpr std::string_view kFirstLine = "tolvex-releases 1";
constexpr std::string_view kReleaseLine = "release";
constexpr std::string_view kRefusedWord = "refused ";
constexpr std::string_view kPathMark = " *";

[[noreturn]] void damaged(std::string_view what) {
  throw common::ValueError("damaged release history: " + std::string(what));
}

}  // namespace

std::string releaseHistoryText(const ReleaseHistory& history) {
  std::string text(kFirstLine);
  text += '\n';
  for (const Release& release : history.releases) {
    text += kReleaseLine;
    text += '\n';
    for (const auto& [path, digest] : release) {
      text.append(digest).append(kPathMark).append(path) += '\n';
    }
  }
  for (const auto& [to, from] : history.refused) {
    text += std::string(kRefusedWord) + to + ' ' + from + '\n';
  }
  return text;
}

ReleaseHistory parseReleaseHistory(std::string_view text) {
  ReleaseHistory history;
  bool first = true;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      damaged("a line without its end");
    }
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (first) {
      if (line != kFirstLine) {
        damaged("first line");
      }
      first = false;
    } else if (line == kReleaseLine) {
      if (!history.refused.empty()) {
        damaged("a release after the refused patches");
      }
      history.releases.emplace_back();
    } else if (line.starts_with(kRefusedWord)) {
      const std::string_view pair = line.substr(kRefusedWord.size());
      if (pair.size() != 129 || pair[64] != ' ' || !isBlockIndexName(pair.substr(0, 64)) ||
          !isBlockIndexName(pair.substr(65))) {
        damaged("refused patch line");
      }
      history.refused.emplace(pair.substr(0, 64), pair.substr(65));
    } else {
      if (history.releases.empty() || !history.refused.empty() || line.size() <= 66 ||
          !isBlockIndexName(line.substr(0, 64)) || line.substr(64, 2) != kPathMark ||
          !history.releases.back().emplace(line.substr(66), line.substr(0, 64)).second) {
        damaged("file line");
      }
    }
  }
  if (first) {
    damaged("empty");
  }
  return history;
}

}  // namespace formats
