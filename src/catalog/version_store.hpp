#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "catalog/tool_folder.hpp"
#include "catalog/version_plan.hpp"
#include "common/ordered_pool.hpp"
#include "compress/zstd_codec.hpp"
#include "formats/file_description.hpp"
#include "formats/release_history.hpp"

namespace catalog {

// A compressed copy made from a file's bytes as its digest reads them, on the
// hashing thread. The compressor is let go as soon as the last byte arrives,
// so that only the files being read hold one.
class CopyTap {
 public:
  explicit CopyTap(std::int64_t size) : size_(size), writer_(size) {}
  void add(std::span<const std::uint8_t> bytes);
  // True when exactly the file's size came: then `copy` is its copy when it pays.
  bool complete() const { return added_ == size_; }
  std::optional<std::string>& copy() { return copy_; }

 private:
  const std::int64_t size_;
  std::int64_t added_ = 0;
  std::optional<compress::CopyWriter> writer_;
  std::optional<std::string> copy_;
};

// The description of the version `digest` in `folder`; nothing when it is
// missing or damaged.
std::optional<formats::FileDescription> readDescription(const ToolFolder& folder,
                                                        const std::string& digest);

// The compressed copies, patches and descriptions of a published root's file
// versions, in its tool folder.
class VersionStore {
 public:
  // True when a file of `size` bytes gets a copy, patches and a description.
  static bool describes(std::int64_t size);

  // The versions of `folder`, which must outlive it; `history` is the release
  // history that the folder held when opened.
  VersionStore(ToolFolder& folder, const formats::ReleaseHistory& history);

  // True when the newest recorded release lists `path` and was recorded at or
  // after `changed`, the last change of the file at `path`: that file was then
  // most likely published as it is now, with its copy. Only a guess, which
  // decides whether to compress a file while its digest is taken (a wrong one
  // costs time).
  bool likelyHasCopy(const std::string& path, const timespec& changed) const;

  // Makes sure that the file at `path`, of `size` bytes whose digest text is
  // `digest`, has its copy when one pays, and returns true: the version is
  // described. An existing copy is kept as it is, and a description that says
  // the copy does not pay is believed; otherwise the copy is `tap`'s, or one
  // made from a read of its own when `tap` is null or saw another length.
  // False when that read finds other bytes than the digest's. Any thread may
  // call it. Throws IOError or OSError as ToolFolder::write and for a file that
  // cannot be read.
  bool ensureCopy(const std::string& path, const std::string& digest, std::int64_t size,
                  CopyTap* tap);

  // Makes the patches to the versions of `plans` from their sources that it
  // has copies of and that are neither made already nor refused before
  // (refusing those that do not pay, in `history`), on `workers` threads, then
  // writes the description of each version whose bytes change: its patches,
  // and the predecessors that it is or has a patch from. A description that
  // the folder holds is only read to compare when something it depends on may
  // have changed: `releasesChanged` (what recordRelease returned, of which the
  // plans follow), or this run wrote its version's copy or tried its patches.
  // Returns a warning per patch or description that failed: each only saves
  // transfer.
  std::vector<std::string> publish(const std::map<std::string, VersionPlan>& plans,
                                   formats::ReleaseHistory& history, bool releasesChanged,
                                   std::size_t workers);

 private:
  ToolFolder& folder_;
  // For likelyHasCopy: the newest recorded release, and when it was recorded.
  formats::Release recorded_;
  std::optional<timespec> recordedAt_;
  // Set once a copy was made for nothing, when the history was touched.
  std::atomic<bool> guessCorrected_{false};
};

}  // namespace catalog
