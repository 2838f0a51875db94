#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace formats {

// One published release as the publisher remembers it: the digest text of
// each regular file, by path.
using Release = std::map<std::string, std::string>;

// The publisher's record, in the index folder, of the releases whose versions
// it keeps copies of and patches from, and of the patches it tried and found
// not worth keeping, so that it does not try them again.
struct ReleaseHistory {
  std::vector<Release> releases;                          // newest first
  std::set<std::pair<std::string, std::string>> refused;  // (to, from) digest texts
  bool operator==(const ReleaseHistory&) const = default;
};

// The history as its file holds it: a first line "tolvex-releases 1"; per
// release, newest first, a line "release" and then a line "DIGEST *PATH" per
// file; then a line "refused TO FROM" per patch not kept. Every line ends in LF.
std::string releaseHistoryText(const ReleaseHistory& history);

// Reads a history file. Throws ValueError "damaged release history: WHAT".
ReleaseHistory parseReleaseHistory(std::string_view text);

}  // namespace formats
