#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace catalog {

// The block indexes of a published root, in its hidden index folder: one per
// file of at least delta::kMinimumIndexedBytes, named after its digest text.
class BlockIndexFolder {
 public:
  // True when a file of `size` bytes gets an index.
  static bool indexes(std::int64_t size);

  // Makes sure that the index of the file at `path`, whose digest text is
  // `digest`, exists. One that exists is kept as it is: its name is its
  // file's digest, so republishing an unchanged file costs nothing. Written
  // under a name of its own, then renamed, so that no reader or later run
  // meets half an index. Any thread may call it. Throws IOError when the file
  // cannot be read or the index cannot be written, OSError when the folder
  // cannot be made.
  static void ensure(const std::string& path, const std::string& digest);

  // Deletes every file of the folder that is not the index of a digest text in
  // `kept`, then the folder itself once it is empty. Throws OSError when one
  // cannot be deleted.
  static void removeAllBut(const std::set<std::string>& kept);
};

}  // namespace catalog
