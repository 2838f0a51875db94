#include "catalog/block_index_folder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "common/errors.hpp"
#include "delta/block_index.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

// What this tool writes is at most 20 bytes a block of the layout it chooses;
// anything larger is rebuilt unread, so that a planted file costs no memory.
std::int64_t largestIndexRead(std::int64_t fileSize) {
  return delta::kIndexHeaderBytes + delta::layoutForSize(fileSize).blockCount() * 20;
}

// True when the folder holds, under `digest`, a regular file that parses as an
// index of a file of `size` bytes. A cut or planted one is not, and is rebuilt.
bool holdsIndex(const ToolFolder& folder, const std::string& digest, std::int64_t size) {
  const std::optional<std::string> text = folder.read(digest, largestIndexRead(size));
  try {
    return text && delta::parseBlockIndex(*text).layout.fileSize == size;
  } catch (const common::ValueError&) {
    // recovery point: a malformed index is rebuilt
    return false;
  }
}

bool notAfter(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

// The newest time an index of the folder was written, by the size of its file.
std::map<std::int64_t, timespec> newestIndexBySize(const ToolFolder& folder) {
  std::map<std::int64_t, timespec> newest;
  for (const std::string& name : folder.files()) {
    if (!formats::isBlockIndexName(name)) {
      continue;
    }
    const ToolFolder::OpenFile index = folder.open(name);
    std::array<std::uint8_t, delta::kIndexHeaderBytes> header{};
    if (index.descriptor.get() < 0 ||
        common::readAt(index.descriptor.get(), 0, header) != header.size()) {
      continue;
    }
    const std::optional<std::int64_t> size =
        delta::indexedFileSize({reinterpret_cast<const char*>(header.data()), header.size()});
    if (size) {
      auto [at, added] = newest.try_emplace(*size, index.status.st_mtim);
      if (!added && notAfter(at->second, index.status.st_mtim)) {
        at->second = index.status.st_mtim;
      }
    }
  }
  return newest;
}

}  // namespace

bool BlockIndexFolder::likelyHolds(std::int64_t size, const timespec& changed) const {
  const auto newest = newestBySize_.find(size);
  return newest != newestBySize_.end() && notAfter(changed, newest->second);
}

bool BlockIndexFolder::indexes(std::int64_t size) { return size >= delta::kMinimumIndexedBytes; }

BlockIndexFolder::BlockIndexFolder(ToolFolder& folder, crypto::LaneWidth lanes)
    : folder_(folder), lanes_(lanes), newestBySize_(newestIndexBySize(folder)) {}

void BlockIndexFolder::ensure(const std::string& path, const std::string& digest, std::int64_t size,
                              std::optional<std::string> built) {
  if (!holdsIndex(folder_, digest, size)) {
    folder_.write(digest, built ? *built : delta::blockIndexOfFile(path, lanes_));
  }
}

}  // namespace catalog
