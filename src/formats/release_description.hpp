#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formats/file_description.hpp"

namespace formats {

// The descriptions of every described version of one catalog, in one file,
// and the patches to them in another, one after the other: a client that
// updates many files fetches one description and asks for the patches it
// needs as ranges of the bundle, many per request, instead of two requests a
// file. Both are named after the catalog's digest text (what its signature
// signs), so they always belong to the catalog a client holds; unsigned, like
// every file of the index folder.
struct ReleaseDescription {
  struct Version {
    FileDescription file;
    std::vector<std::int64_t> patchOffsets;  // in the bundle, one per file.patches
    bool operator==(const Version&) const = default;
  };
  std::int64_t bundleBytes = 0;
  // By the first kPatchPrefixDigits of the version's digest text.
  std::unordered_map<std::string, Version> versions;

  // The version whose digest text is `digest`, when described.
  const Version* find(std::string_view digest) const;
  bool operator==(const ReleaseDescription&) const = default;
};

// The longest release description a client reads, compressed and as text: a
// catalog of some 500,000 described files. A longer one is not used: its
// files are described one by one.
inline constexpr std::int64_t kMaximumReleaseDescriptionBytes = std::int64_t{64} << 20;

// The description as text (see the README): a first line
// "tolvex-release 1 BUNDLEBYTES", then per version a line
// "PREFIX SIZE COPYBYTES" followed, per patch, by " FROMPREFIX OFFSET LENGTH",
// and after it a line "from DIGEST PATH" per predecessor of the version, as
// in its description (then the first line says "tolvex-release 2"); each line
// ends in LF. The served file is this text compressed as one zstd frame.
std::string describeRelease(const ReleaseDescription& release);

// Reads the text of a release description, trusting nothing in it: sizes as
// parseFileDescription bounds them, patches within the bundle, each prefix
// once, predecessors as in a description. Throws ValueError "malformed release description: WHAT".
ReleaseDescription parseReleaseDescription(std::string_view text);

}  // namespace formats
