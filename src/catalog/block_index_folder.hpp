#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "crypto/lane_width.hpp"

namespace catalog {

// The block indexes of a published root, in its hidden index folder: one per
// file of at least delta::kMinimumIndexedBytes, named after its digest text.
// The folder is the tool's own: it is opened once without following a link,
// everything happens through that descriptor, and only the names this tool
// writes are ever replaced or deleted.
class BlockIndexFolder {
 public:
  // True when a file of `size` bytes gets an index.
  static bool indexes(std::int64_t size);

  // Opens the folder of the working directory; one that does not exist yet is
  // made when the first index is written. An index it makes by itself is
  // checksummed `lanes` blocks at a time. Throws IOError "not a directory: …"
  // when a link, a file or anything else but a directory has its name, OSError
  // when it cannot be opened.
  explicit BlockIndexFolder(crypto::LaneWidth lanes);

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

  // Deletes every index whose digest text is not in `kept` and every temporary
  // file of an index, then the folder itself once it is empty; other names are
  // left alone. Returns one line per name that could not be deleted: a failure
  // here costs disk space, not correctness.
  std::vector<std::string> removeAllBut(const std::set<std::string>& kept);

 private:
  // The folder's descriptor, made and opened on first use.
  int descriptor();

  const crypto::LaneWidth lanes_;
  std::mutex mutex_;  // guards the first opening of folder_
  std::optional<common::FileDescriptor> folder_;
  // For likelyHolds: when the newest index of each file size was written.
  std::map<std::int64_t, timespec> newestBySize_;
};

}  // namespace catalog
