#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "catalog/tool_folder.hpp"
#include "crypto/lane_width.hpp"

namespace catalog {

// The block indexes of a published root, in its tool folder: one per file of
// at least delta::kMinimumIndexedBytes, named after its digest text.
class BlockIndexFolder {
 public:
  // True when a file of `size` bytes gets an index.
  static bool indexes(std::int64_t size);

  // The indexes of `folder`, which must outlive it. An index it makes by
  // itself is checksummed `lanes` blocks at a time.
  BlockIndexFolder(ToolFolder& folder, crypto::LaneWidth lanes);

  // True when the folder held, when opened, the index of a file of `size`
  // bytes written at or after `changed`, the last change of a file of that
  // size: that file was then most likely indexed as it is now. Only a guess,
  // which decides whether to index a file while its digest is taken (a wrong
  // one costs time, never correctness).
  bool likelyHolds(std::int64_t size, const timespec& changed) const;

  // Makes sure that the index of the file at `path`, of `size` bytes and whose
  // digest text is `digest`, exists. One that exists, parses and describes a
  // file of `size` bytes is kept as it is: its name is its file's digest, so
  // republishing an unchanged file costs nothing; anything else under that name
  // is replaced by `built`, the index made from the bytes that the digest
  // covers, or when there is none by an index made from a read of its own.
  // Written under a name of its own, synced, then renamed, so that no reader or
  // later run meets half an index. Any thread may call it. Throws IOError when
  // the file cannot be read or the index cannot be created, OSError when it
  // cannot be written or the folder cannot be made.
  void ensure(const std::string& path, const std::string& digest, std::int64_t size,
              std::optional<std::string> built = std::nullopt);

 private:
  ToolFolder& folder_;
  const crypto::LaneWidth lanes_;
  // For likelyHolds: when the newest index of each file size was written.
  std::map<std::int64_t, timespec> newestBySize_;
};

}  // namespace catalog
