#include "updater/lock_and_apply.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/output.hpp"
#include "common/path.hpp"
#include "common/system.hpp"
#include "common/text.hpp"
#include "formats/tool_files.hpp"

namespace updater {
namespace {

bool isWritableDirectory(const std::string& directory) {
  return ::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool isLocked(const std::string& path) {
  // No O_CREAT: a probe that is not followed by the move must leave nothing
  // behind, and must not create a file at the far end of a dangling link.
  // O_NONBLOCK keeps a named pipe without a reader from hanging the probe.
  const common::FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() >= 0) {
    struct stat status {};
    return ::fstat(fd.get(), &status) != 0 || S_ISDIR(status.st_mode);
  }
  if (errno != ENOENT) {
    return true;
  }
  // A missing target, or a dangling link, is replaced by the rename in its
  // directory without anything being written through it.
  struct stat status {};
  const bool missing = ::lstat(path.c_str(), &status) != 0 && errno == ENOENT;
  if (!missing && !S_ISLNK(status.st_mode)) {
    return true;
  }
  return !isWritableDirectory(common::parentDirectory(path));
}

// The letter that follows the backslash in the escape of `c`, or 0 when `c` has
// no named escape.
char escapeLetter(char c) {
  static constexpr std::string_view kEscaped = "\"'\\\a\b\t\n\v\f\r\x1b";
  static constexpr std::string_view kLetters = "\"'\\abtnvfre";
  const std::size_t index = kEscaped.find(c);
  return index == std::string_view::npos ? '\0' : kLetters[index];
}

void appendQuoted(std::string& out, std::string_view path) {
  out += '"';
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (const char letter = escapeLetter(c); letter != '\0') {
      out += '\\';
      out += letter;
    } else if (byte < 32 || byte == 127) {
      out += "\\x";
      out += common::hexByte(byte);
    } else {
      out += c;
    }
  }
  out += '"';
}

// fsync, where the file system supports it (EINVAL: it has nothing to sync).
void syncDescriptor(int fd, const std::string& name) {
  if (::fsync(fd) != 0 && errno != EINVAL) {
    throw common::osError(errno, name);
  }
}

common::FileDescriptor openForSync(const std::string& path, int flags) {
  common::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags));
  if (fd.get() < 0) {
    throw common::osError(errno, path);
  }
  return fd;
}

std::set<std::string> directoriesOf(const std::vector<std::string>& paths) {
  std::set<std::string> directories;
  for (const auto& path : paths) {
    directories.insert(common::parentDirectory(path));
  }
  return directories;
}

// One syncfs per file system that holds one of `directories`: far cheaper than
// thousands of fsync calls, each of which waits for its own journal commit.
void syncFileSystems(const std::set<std::string>& directories) {
  std::map<dev_t, std::string> fileSystems;
  for (const auto& directory : directories) {
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
      throw common::osError(errno, directory);
    }
    fileSystems.emplace(status.st_dev, directory);
  }
  for (const auto& [device, directory] : fileSystems) {
    const common::FileDescriptor fd = openForSync(directory, O_DIRECTORY);
    if (::syncfs(fd.get()) != 0) {
      throw common::osError(errno, directory);
    }
  }
}

void syncStagedFiles(const std::vector<std::string>& paths) {
  if (paths.size() >= kWholeFileSystemSyncThreshold) {
    syncFileSystems(directoriesOf(paths));
    return;
  }
  for (const auto& path : paths) {
    const std::string pending = formats::pendingPathOf(path);
    syncDescriptor(common::openRegularFile(pending, O_RDONLY).get(), pending);
  }
}

// Makes the renames themselves durable: until the directory is synced, a power
// cut may bring back the old entry, or neither.
void syncMovedDirectories(const std::vector<std::string>& paths) {
  const std::set<std::string> directories = directoriesOf(paths);
  if (paths.size() >= kWholeFileSystemSyncThreshold) {
    syncFileSystems(directories);
    return;
  }
  for (const auto& directory : directories) {
    syncDescriptor(openForSync(directory, O_DIRECTORY).get(), directory);
  }
}

// An updated program stays executable, a private file stays private. Set
// through a descriptor of the staged file itself, never through a link.
void adoptTargetMode(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return;
  }
  const std::string pending = formats::pendingPathOf(path);
  const common::FileDescriptor staged = common::openRegularFile(pending, O_RDONLY);
  if (::fchmod(staged.get(), status.st_mode & 0777) != 0) {
    throw common::osError(errno, pending);
  }
}

void moveStagedFile(const std::string& path) {
  const std::string pending = formats::pendingPathOf(path);
  if (::rename(pending.c_str(), path.c_str()) == 0) {
    return;
  }
  if (errno == EXDEV) {
    copyAcrossDevices(pending, path);
    return;
  }
  throw common::osError(errno, pending + " -> " + path);
}

}  // namespace

std::vector<std::string> findLockedFiles(const std::vector<std::string>& paths) {
  std::vector<std::string> locked;
  for (const auto& path : paths) {
    if (isLocked(path)) {
      locked.push_back(path);
    }
  }
  return locked;
}

std::string formatPathList(const std::vector<std::string>& paths) {
  std::string out = "@[";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i > 0) {
      out += ", ";
    }
    appendQuoted(out, paths[i]);
  }
  out += ']';
  return out;
}

bool waitForUnlockedFiles(const std::vector<std::string>& paths) {
  for (std::int64_t pass = 0; pass < kLockProbePasses; ++pass) {
    const std::vector<std::string> locked = findLockedFiles(paths);
    if (locked.empty()) {
      return true;
    }
    common::printErr("");
    common::printErr("locked files: " + formatPathList(locked));
    // Spelled as users' scripts match it: keep byte for byte.
    common::printErr("   retring in 5 seconds");
    common::sleepMilliseconds(kLockProbePauseMilliseconds);
  }
  return false;
}

void applyStagedFiles(const std::vector<std::string>& paths) {
  for (const auto& path : paths) {
    adoptTargetMode(path);
  }
  syncStagedFiles(paths);
  for (const auto& path : paths) {
    moveStagedFile(path);
  }
  syncMovedDirectories(paths);
}

void copyAcrossDevices(const std::string& from, const std::string& to) {
  {
    const common::FileDescriptor source = common::openRegularFile(from, O_RDONLY);
    // Written through a descriptor that is never a link's far end.
    common::FileDescriptor target = common::openRegularFile(to, O_WRONLY | O_CREAT | O_TRUNC);
    std::array<char, 65536> buffer;
    for (;;) {
      const ssize_t count = ::read(source.get(), buffer.data(), buffer.size());
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count < 0) {
        common::throwReadError(errno);
      }
      if (count == 0) {
        break;
      }
      if (common::writeAll(target.get(), {buffer.data(), static_cast<std::size_t>(count)}) != 0) {
        throw common::IOError("cannot write string to file");
      }
    }
    syncDescriptor(target.get(), to);
    if (target.close() != 0) {
      throw common::IOError("cannot write string to file");
    }
  }
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    throw common::osError(error, from);
  }
}

}  // namespace updater
