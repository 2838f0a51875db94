#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "formats/file_description.hpp"
#include "formats/release_history.hpp"
#include "formats/tool_files.hpp"

namespace catalog {

// The releases before the current one whose versions get patches by default,
// and at most (the history file grows with each).
inline constexpr std::size_t kDefaultEarlierReleases = 3;
inline constexpr std::size_t kMaxEarlierReleases = 100;

// The decisions about the versions that the publisher keeps, as functions of
// its release history and the catalog: no file is touched here.

// Records `current` as the newest release unless it is the newest recorded
// one already (an unchanged republish is no release), then forgets all but
// `earlierKept` releases before the newest. Returns true when the releases
// changed: only then may a version get other patches than before.
bool recordRelease(formats::ReleaseHistory& history, formats::Release current,
                   std::size_t earlierKept);

// The digest texts that `path` had in the releases before the newest, newest
// first, each once, and none equal to `digest`: the versions a patch to
// `digest` may start from.
std::vector<std::string> earlierVersions(const formats::ReleaseHistory& history,
                                         std::string_view path, std::string_view digest);

// A catalogued version that gets a description: its path, digest text and size.
struct DescribedFile {
  std::string path;
  std::string digest;
  std::int64_t size = 0;
};

// What the publisher makes for one described version.
struct VersionPlan {
  std::string path;  // one of its paths, to read it from
  std::int64_t size = 0;
  // The versions a patch to it may start from: those of earlierVersions for
  // each of its paths, then those of its predecessors.
  std::vector<std::string> sources;
  // For the paths new in the newest release, in path order, what
  // findPredecessors finds in the release before: at most
  // kMaximumPredecessors, each once.
  std::vector<formats::FileDescription::Predecessor> predecessors;
};

// The plan of each version of `files`, by digest text, after recordRelease.
std::map<std::string, VersionPlan> planVersions(const formats::ReleaseHistory& history,
                                                const std::vector<DescribedFile>& files);

// True when a patch of `patchBytes` is worth serving for a file of `size`
// bytes whose copy has `copyBytes` (0: none): it must be at least a tenth
// smaller than what a client fetches without it.
bool patchPays(std::int64_t patchBytes, std::int64_t copyBytes, std::int64_t size);

// What the tool folder keeps after a publish.
struct KeptVersions {
  std::unordered_set<std::string> indexed;  // digests whose block index the catalog needs
  std::unordered_set<std::string> current;  // digests of the catalog's files
  std::unordered_set<std::string> window;   // digests of every release in the history
  std::string catalog;                      // the digest text of the catalog published
};

// The digests of every release of `history`.
std::unordered_set<std::string> windowOf(const formats::ReleaseHistory& history);

// True when the folder keeps the file named `name`: an index the catalog
// needs; a copy of a current version or one in the window; a patch to a
// current version from one in the window; a description of a current version;
// the history itself.
bool keeps(const KeptVersions& kept, const formats::FolderName& name);

// Forgets the refused patches that `keeps` would delete, so that the history
// stays as small as the window.
void forgetStaleRefusals(formats::ReleaseHistory& history, const KeptVersions& kept);

}  // namespace catalog
