#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/file.hpp"
#include "formats/file_description.hpp"

namespace updater {

// What the predecessors that a description names for a new file came to.
struct PredecessorOutcome {
  enum class Kind : std::uint8_t {
    kNone,       // none was used: `failure` says why
    kCopied,     // the staged file holds the version, copied from `path`
    kReference,  // `file` (at `path`) holds the version `digest`, which a patch starts from
  };
  Kind kind = Kind::kNone;
  std::string path = {};
  std::string digest = {};
  common::FileAt file = {};
  std::string failure = {};
};

// Reads the first predecessor that `description`, of the version whose digest
// text is `digest`, names and that may be used; the others are not read, so
// a new file costs at most one read of a file already here. Skipped unread:
// a path that formats::mayPrecede refuses, one whose directory the link rule
// refuses or that cannot be reached (nothing is made), anything but a regular
// file, a size the named digest rules out (`description.size` for the
// version itself, else at most formats::kMaximumPatchedBytes), and a named
// digest that is neither the version's nor one that a patch starts from. One
// that names the version is copied into `staged` as it is hashed, and kept
// there only when it proves to be the version; one that names another is
// hashed, and kept as a patch's reference when it proves to be that.
// Unsigned, the names are hints only: a predecessor is never written,
// removed or renamed, and `staged` is left empty unless it holds the version.
PredecessorOutcome readPredecessor(const formats::FileDescription& description,
                                   std::string_view digest, const common::FileAt& staged);

}  // namespace updater
