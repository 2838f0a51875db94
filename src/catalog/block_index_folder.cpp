#include "catalog/block_index_folder.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "delta/block_index.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

const std::string& folder() {
  static const std::string name(formats::kBlockIndexDirectoryName);
  return name;
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// A name that no other writer uses at the same time, in this process or another.
std::string temporaryNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

}  // namespace

bool BlockIndexFolder::indexes(std::int64_t size) { return size >= delta::kMinimumIndexedBytes; }

void BlockIndexFolder::ensure(const std::string& path, const std::string& digest) {
  const std::string indexPath = formats::blockIndexPathOf(digest);
  if (exists(indexPath)) {
    return;
  }
  const std::string index = delta::blockIndexOfFile(path);
  if (::mkdir(folder().c_str(), 0777) != 0 && errno != EEXIST) {
    throw common::osError(errno, folder());
  }
  const std::string temporary = temporaryNameFor(indexPath);
  try {
    common::writeWholeFile(temporary, index);
  } catch (const common::Error&) {
    // recovery point: no half index is left behind
    ::unlink(temporary.c_str());
    throw;
  }
  if (::rename(temporary.c_str(), indexPath.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw common::osError(error, indexPath);
  }
}

void BlockIndexFolder::removeAllBut(const std::set<std::string>& kept) {
  const common::DirPtr dir(::opendir(folder().c_str()));
  if (!dir) {
    return;
  }
  bool empty = true;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    if (kept.contains(name)) {
      empty = false;
      continue;
    }
    const std::string path = folder() + "/" + name;
    if (::unlink(path.c_str()) != 0) {
      throw common::osError(errno, path);
    }
  }
  if (empty) {
    ::rmdir(folder().c_str());
  }
}

}  // namespace catalog
