#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

// Files smaller than this get no compressed copy, no patch and no
// description: below it, the description's round trip and headers cost more
// than compression saves.
inline constexpr std::int64_t kMinimumDescribedBytes = std::int64_t{1} << 10;

// Files larger than this get no compressed copy, patch or description, and a client
// takes none for them. Applying a patch holds the window of the new file in
// memory (the old file is mapped as its reference), and making one holds both
// versions: this bounds either side's memory per file, and two applications
// at once stay under the 128 MiB that two large deltas may already take.
// Larger files are served by block deltas.
inline constexpr std::int64_t kMaximumPatchedBytes = std::int64_t{64} << 20;

// The longest description a client accepts, and so the most it fetches: room
// for the predecessors' paths.
inline constexpr std::int64_t kMaximumDescriptionBytes = std::int64_t{16} << 10;

// The most predecessors a description names: a version that is new at more
// paths than this names those of the first.
inline constexpr std::size_t kMaximumPredecessors = 4;

// The digits of an earlier version's digest text by which a description names
// the patch from it: enough that two versions of one file never share them by
// chance, while a description stays small. A client asks for the patch by the
// whole digest text, so a prefix that matches by chance costs a failed
// request, never a wrong file.
inline constexpr std::size_t kPatchPrefixDigits = 16;

// True when `text` is what a description names a version by: its first
// kPatchPrefixDigits lower-case hexadecimal digits.
bool isPatchPrefix(std::string_view text);

// What the publisher has for one version of a file, in the description named
// after its digest text: unsigned, like everything in the index folder, so a
// client uses it to choose what to fetch and verifies what it builds.
struct FileDescription {
  std::int64_t size = 0;       // of the file
  std::int64_t copyBytes = 0;  // of its compressed copy; 0 when there is none
  struct Patch {
    std::string fromPrefix;  // the first kPatchPrefixDigits of the earlier version's digest
    std::int64_t bytes = 0;
    bool operator==(const Patch&) const = default;
  };
  std::vector<Patch> patches;
  // Files of the previous release that a client which lacks the version at
  // its path may hold under another name (the path renamed, or the file
  // moved): where it may look, and the digest text it must find there to
  // take the patch from that version, or, equal to the version's own, to copy
  // the file. Unsigned, so only a hint: see mayPrecede.
  struct Predecessor {
    std::string digest;
    std::string path;
    bool operator==(const Predecessor&) const = default;
  };
  std::vector<Predecessor> predecessors = {};

  // The size of the patch from the version whose digest text is `digest`,
  // when the description names one.
  std::optional<std::int64_t> patchBytesFrom(std::string_view digest) const;
  // Which of `patches` starts from the version whose digest text is `digest`.
  std::optional<std::size_t> patchFrom(std::string_view digest) const;
  bool operator==(const FileDescription&) const = default;
};

// True when a client may read the relative `path` that a description names
// as a predecessor: inside its directory (no empty, "." or ".." component, no
// leading "/"), no NUL or LF, and none of the tool's own files (a staged
// file, a root tool file, anything in the index folder).
bool mayPrecede(std::string_view path);

// The description in its served form (see the README): a first line
// "tolvex-file 1 SIZE COPYBYTES", then a line "PREFIX BYTES" per patch; with
// predecessors, the first line says "tolvex-file 2" and a line
// "from DIGEST PATH" follows per predecessor. Each line ends in LF. Version 1
// stays for descriptions without predecessors, which earlier clients read.
std::string describe(const FileDescription& description);

// Reads a served description, trusting nothing in it: at most
// kMaximumDescriptionBytes, sizes that fit in a file of kMaximumPatchedBytes,
// prefixes of lower-case hexadecimal digits, at most kMaximumPredecessors
// each with a digest text and a path (what the path names is the reader's to
// check, with mayPrecede). Throws ValueError "malformed file description: WHAT".
FileDescription parseFileDescription(std::string_view text);

// The predecessor line of `predecessor`, "from DIGEST PATH" and LF, as both
// descriptions write it; and the predecessor of such a line (without its LF),
// nothing when `line` is not one.
std::string predecessorLine(const FileDescription::Predecessor& predecessor);
std::optional<FileDescription::Predecessor> parsePredecessorLine(std::string_view line);

}  // namespace formats
