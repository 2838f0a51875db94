#include "catalog/tool_folder.hpp"

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

namespace catalog {
namespace {

constexpr std::string_view kTemporaryInfix = ".tmp.";

const std::string& folderName() {
  static const std::string name(formats::kBlockIndexDirectoryName);
  return name;
}

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
std::string temporaryNameFor(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  return name + std::string(kTemporaryInfix) + std::to_string(::getpid()) + "." +
         std::to_string(counter++);
}

}  // namespace

bool isToolTemporaryName(std::string_view name) {
  const std::size_t infix = name.find(kTemporaryInfix);
  return infix != std::string_view::npos && formats::parseFolderName(name.substr(0, infix)) &&
         name.find_first_not_of("0123456789.", infix + kTemporaryInfix.size()) ==
             std::string_view::npos;
}

ToolFolder::ToolFolder() {
  common::FileDescriptor folder = openFolder();
  if (folder.get() < 0) {
    return;
  }
  const common::DirPtr dir = common::listDirectoryAt(folder.get());
  if (!dir) {
    throw common::osError(errno, folderName());
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    // The listing's type saves a system call per name; only file systems that
    // do not report it cost one.
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat status {};
      regular = ::fstatat(folder.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(status.st_mode);
    }
    listing_.emplace(name, Entry{regular, false});
  }
  folder_.emplace(std::move(folder));
}

int ToolFolder::descriptor(bool make) const {
  const std::scoped_lock lock(mutex_);
  if (!folder_ && make) {
    if (::mkdirat(AT_FDCWD, folderName().c_str(), 0777) != 0 && errno != EEXIST) {
      throw common::osError(errno, folderName());
    }
    common::FileDescriptor folder = openFolder();
    if (folder.get() < 0) {
      throw common::osError(ENOENT, folderName());
    }
    folder_.emplace(std::move(folder));
  }
  return folder_ ? folder_->get() : -1;
}

std::optional<ToolFolder::Entry> ToolFolder::entryOf(const std::string& name) const {
  const std::scoped_lock lock(mutex_);
  const auto found = listing_.find(name);
  return found == listing_.end() ? std::nullopt : std::optional(found->second);
}

std::vector<std::string> ToolFolder::files() const {
  const std::scoped_lock lock(mutex_);
  std::vector<std::string> files;
  for (const auto& [name, entry] : listing_) {
    if (entry.regular) {
      files.push_back(name);
    }
  }
  return files;
}

bool ToolFolder::holds(const std::string& name) const { return entryOf(name).has_value(); }

bool ToolFolder::holdsFile(const std::string& name) const {
  const std::optional<Entry> entry = entryOf(name);
  return entry && entry->regular;
}

bool ToolFolder::wrote(const std::string& name) const {
  const std::optional<Entry> entry = entryOf(name);
  return entry && entry->written;
}

ToolFolder::OpenFile ToolFolder::open(const std::string& name) const {
  OpenFile file{common::FileDescriptor(-1), {}};
  if (!holdsFile(name)) {
    return file;
  }
  file.descriptor = common::FileDescriptor(
      ::openat(descriptor(false), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.descriptor.get() >= 0 &&
      (::fstat(file.descriptor.get(), &file.status) != 0 || !S_ISREG(file.status.st_mode))) {
    file.descriptor.close();
  }
  return file;
}

std::optional<struct stat> ToolFolder::statusOf(const std::string& name) const {
  struct stat status {};
  if (!holdsFile(name) ||
      ::fstatat(descriptor(false), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  return status;
}

std::optional<std::string> ToolFolder::read(const std::string& name, std::int64_t maxBytes) const {
  const OpenFile file = open(name);
  if (file.descriptor.get() < 0 || file.status.st_size > maxBytes) {
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(file.status.st_size), '\0');
  const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  if (common::readAt(file.descriptor.get(), 0, bytes) != text.size()) {
    return std::nullopt;
  }
  return text;
}

void ToolFolder::write(const std::string& name, std::string_view bytes) {
  replace(name, [bytes](int fd) { return common::writeAll(fd, bytes); });
}

void ToolFolder::writeJoined(const std::string& name,
                             const std::vector<std::pair<std::string, std::int64_t>>& parts) {
  constexpr std::int64_t kChunkBytes = std::int64_t{1} << 20;
  std::string buffer(static_cast<std::size_t>(kChunkBytes), '\0');
  replace(name, [&](int out) {
    for (const auto& [part, bytes] : parts) {
      const OpenFile in = open(part);
      if (in.descriptor.get() < 0 || in.status.st_size != bytes) {
        throw common::IOError("changed while joined: " + formats::toolFolderPathOf(part));
      }
      for (std::int64_t done = 0; done < bytes;) {
        const auto wanted = static_cast<std::size_t>(std::min(bytes - done, kChunkBytes));
        const std::size_t got = common::readAt(
            in.descriptor.get(), done, {reinterpret_cast<std::uint8_t*>(buffer.data()), wanted});
        if (got == 0) {
          throw common::IOError("changed while joined: " + formats::toolFolderPathOf(part));
        }
        if (const int error = common::writeAll(out, std::string_view(buffer).substr(0, got));
            error != 0) {
          return error;
        }
        done += static_cast<std::int64_t>(got);
      }
    }
    return 0;
  });
}

void ToolFolder::replace(const std::string& name, const std::function<int(int)>& fill) {
  const int folder = descriptor(true);
  const std::string temporary = temporaryNameFor(name);
  common::FileDescriptor fd = common::createNewFileAt(folder, temporary, O_WRONLY);
  if (fd.get() < 0) {
    throw common::IOError("cannot open: " + formats::toolFolderPathOf(temporary));
  }
  int error = 0;
  try {
    error = fill(fd.get());
  } catch (const common::Error&) {
    // recovery point: nothing half-written stays behind; the caller learns why
    ::unlinkat(folder, temporary.c_str(), 0);
    throw;
  }
  if (error == 0 && ::fsync(fd.get()) != 0) {
    error = errno;
  }
  if (fd.close() != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && ::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlinkat(folder, temporary.c_str(), 0);
    throw common::osError(error, formats::toolFolderPathOf(name));
  }
  const std::scoped_lock lock(mutex_);
  listing_[name] = Entry{true, true};
}

void ToolFolder::touch(const std::string& name) {
  if (const int folder = descriptor(false); folder >= 0) {
    ::utimensat(folder, name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
  }
}

std::vector<std::string> ToolFolder::removeAllBut(
    const std::function<bool(const formats::FolderName&)>& keep) {
  std::vector<std::string> failures;
  const int folder = descriptor(false);
  if (folder < 0) {
    return failures;
  }
  const std::scoped_lock lock(mutex_);
  std::erase_if(listing_, [&](const auto& listed) {
    const std::string& name = listed.first;
    const std::optional<formats::FolderName> own = formats::parseFolderName(name);
    if ((own && keep(*own)) || (!own && !isToolTemporaryName(name))) {
      return false;
    }
    if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
      failures.push_back("cannot delete " + formats::toolFolderPathOf(name) + ": " +
                         std::strerror(errno));
      return false;
    }
    return true;
  });
  if (listing_.empty()) {
    // By name: at worst this removes an empty directory that replaced the folder.
    ::unlinkat(AT_FDCWD, folderName().c_str(), AT_REMOVEDIR);
  }
  return failures;
}

}  // namespace catalog
