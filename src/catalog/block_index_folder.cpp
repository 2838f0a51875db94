#include "catalog/block_index_folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <span>

#include "common/errors.hpp"
#include "delta/block_index.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

constexpr std::string_view kTemporaryInfix = ".tmp.";

const std::string& folderName() {
  static const std::string name(formats::kBlockIndexDirectoryName);
  return name;
}

std::string pathInFolder(std::string_view name) { return folderName() + "/" + std::string(name); }

// The folder's descriptor, or one owning nothing when it does not exist. A link
// is refused rather than followed: the folder's names are deleted and replaced.
common::FileDescriptor openFolder() {
  common::FileDescriptor folder(
      ::openat(AT_FDCWD, folderName().c_str(),
               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (folder.get() < 0 && (errno == ELOOP || errno == ENOTDIR)) {
    throw common::IOError("not a directory: " + folderName() +
                          " (a link or another kind of file has the index folder's name)");
  }
  if (folder.get() < 0 && errno != ENOENT) {
    throw common::osError(errno, folderName());
  }
  return folder;
}

// A name that no other writer uses at the same time, in this process or another.
std::string temporaryNameFor(const std::string& digest) {
  static std::atomic<unsigned> counter{0};
  return digest + std::string(kTemporaryInfix) + std::to_string(::getpid()) + "." +
         std::to_string(counter++);
}

// The names this tool writes into the folder: indexes and their temporary files.
bool isOwnName(std::string_view name) {
  const std::size_t dot = std::min(name.find('.'), name.size());
  const std::string_view suffix = name.substr(dot);
  return formats::isBlockIndexName(name.substr(0, dot)) &&
         (suffix.empty() ||
          (suffix.starts_with(kTemporaryInfix) &&
           suffix.find_first_not_of("0123456789.", kTemporaryInfix.size()) == std::string::npos));
}

// What this tool writes is at most 20 bytes a block of the layout it chooses;
// anything larger is rebuilt unread, so that a planted file costs no memory.
std::int64_t largestIndexRead(std::int64_t fileSize) {
  return delta::kIndexHeaderBytes + delta::layoutForSize(fileSize).blockCount() * 20;
}

// True when the folder holds, under `digest`, a regular file that parses as an
// index of a file of `size` bytes. A cut or planted one is not, and is rebuilt.
bool holdsIndex(int folder, const std::string& digest, std::int64_t size) {
  const common::FileDescriptor index(
      ::openat(folder, digest.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (index.get() < 0 || ::fstat(index.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size > largestIndexRead(size)) {
    return false;
  }
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  if (common::readAt(index.get(), 0, bytes) != text.size()) {
    return false;
  }
  try {
    return delta::parseBlockIndex(text).layout.fileSize == size;
  } catch (const common::ValueError&) {
    // recovery point: a malformed index is rebuilt
    return false;
  }
}

bool notAfter(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

// The newest time an index of the folder was written, by the size of its file.
std::map<std::int64_t, timespec> newestIndexBySize(int folder) {
  std::map<std::int64_t, timespec> newest;
  const common::DirPtr dir = common::listDirectoryAt(folder);
  while (dir) {
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      break;
    }
    if (!formats::isBlockIndexName(entry->d_name)) {
      continue;
    }
    const common::FileDescriptor index(
        ::openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    std::array<std::uint8_t, delta::kIndexHeaderBytes> header{};
    if (index.get() < 0 || ::fstat(index.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        common::readAt(index.get(), 0, header) != header.size()) {
      continue;
    }
    const std::optional<std::int64_t> size =
        delta::indexedFileSize({reinterpret_cast<const char*>(header.data()), header.size()});
    if (size) {
      auto [at, added] = newest.try_emplace(*size, status.st_mtim);
      if (!added && notAfter(at->second, status.st_mtim)) {
        at->second = status.st_mtim;
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

BlockIndexFolder::BlockIndexFolder(crypto::LaneWidth lanes) : lanes_(lanes) {
  if (common::FileDescriptor folder = openFolder(); folder.get() >= 0) {
    newestBySize_ = newestIndexBySize(folder.get());
    folder_.emplace(std::move(folder));
  }
}

int BlockIndexFolder::descriptor() {
  const std::scoped_lock lock(mutex_);
  if (!folder_) {
    if (::mkdirat(AT_FDCWD, folderName().c_str(), 0777) != 0 && errno != EEXIST) {
      throw common::osError(errno, folderName());
    }
    common::FileDescriptor folder = openFolder();
    if (folder.get() < 0) {
      throw common::osError(ENOENT, folderName());
    }
    folder_.emplace(std::move(folder));
  }
  return folder_->get();
}

void BlockIndexFolder::ensure(const std::string& path, const std::string& digest, std::int64_t size,
                              std::optional<std::string> built) {
  const int folder = descriptor();
  if (holdsIndex(folder, digest, size)) {
    return;
  }
  const std::string index = built ? std::move(*built) : delta::blockIndexOfFile(path, lanes_);
  const std::string temporary = temporaryNameFor(digest);
  common::writeNewFileAt(folder, temporary, index);
  if (::renameat(folder, temporary.c_str(), folder, digest.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(folder, temporary.c_str(), 0);
    throw common::osError(error, pathInFolder(digest));
  }
}

std::vector<std::string> BlockIndexFolder::removeAllBut(const std::set<std::string>& kept) {
  std::vector<std::string> failures;
  if (!folder_) {
    return failures;
  }
  const int folder = folder_->get();
  const common::DirPtr dir = common::listDirectoryAt(folder);
  if (!dir) {
    failures.push_back("cannot list " + folderName() + ": " + std::strerror(errno));
    return failures;
  }
  bool empty = true;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    if (kept.contains(std::string(name)) || !isOwnName(name)) {
      empty = false;
    } else if (::unlinkat(folder, entry->d_name, 0) != 0) {
      failures.push_back("cannot delete " + pathInFolder(name) + ": " + std::strerror(errno));
      empty = false;
    }
  }
  if (empty) {
    // By name: at worst this removes an empty directory that replaced the folder.
    ::unlinkat(AT_FDCWD, folderName().c_str(), AT_REMOVEDIR);
  }
  return failures;
}

}  // namespace catalog
