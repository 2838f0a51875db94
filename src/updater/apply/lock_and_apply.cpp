#include "updater/apply/lock_and_apply.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/path.hpp"
#include "formats/tool_files.hpp"
#include "updater/apply/target_directory.hpp"

namespace updater {
namespace {

// fsync, where the file system supports it (EINVAL: it has nothing to sync).
void syncDescriptor(int fd, const std::string& name) {
  if (::fsync(fd) != 0 && errno != EINVAL) {
    throw common::osError(errno, name);
  }
}

// The directories of `paths`, each with one of its files (a path of `paths`,
// or its staged file when `staged`) through which it may be synced.
std::map<std::string, std::string> directoriesOf(const std::vector<std::string>& paths,
                                                 bool staged) {
  std::map<std::string, std::string> directories;
  for (const auto& path : paths) {
    directories.emplace(common::parentDirectory(path),
                        staged ? formats::pendingPathOf(path) : path);
  }
  return directories;
}

// One syncfs per file system that holds one of `directories`: far cheaper than
// thousands of fsync calls, each of which waits for its own journal commit.
void syncFileSystems(const std::map<std::string, std::string>& directories) {
  std::map<dev_t, std::pair<std::string, std::string>> fileSystems;
  for (const auto& [directory, member] : directories) {
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
      throw common::osError(errno, directory);
    }
    fileSystems.emplace(status.st_dev, std::pair(directory, member));
  }
  for (const auto& [device, directory] : fileSystems) {
    const common::FileDescriptor fd = common::openFileSystemOf(directory.first, directory.second);
    if (::syncfs(fd.get()) != 0) {
      throw common::osError(errno, directory.first);
    }
  }
}

// Makes the renames themselves durable: until the directory is synced, a power
// cut may bring back the old entry, or neither.
void syncMovedDirectories(const std::vector<std::string>& paths) {
  const std::map<std::string, std::string> directories = directoriesOf(paths, false);
  if (paths.size() >= kWholeFileSystemSyncThreshold) {
    syncFileSystems(directories);
    return;
  }
  for (const auto& [directory, member] : directories) {
    common::syncDirectory(directory, member);
  }
}

// `staged`'s bytes and permission bits into `copy`, synced.
void copyContent(int staged, int copy, const std::string& copyName) {
  std::array<std::uint8_t, 65536> buffer;
  std::int64_t offset = 0;
  while (const std::size_t count = common::readAt(staged, offset, buffer)) {
    if (common::writeAll(copy, {reinterpret_cast<const char*>(buffer.data()), count}) != 0) {
      throw common::IOError("cannot write string to file");
    }
    offset += static_cast<std::int64_t>(count);
  }
  struct stat status {};
  if (::fstat(staged, &status) != 0 || ::fchmod(copy, status.st_mode & 0777) != 0) {
    throw common::osError(errno, copyName);
  }
  syncDescriptor(copy, copyName);
}

// A staged file opened in its target's directory, ready to be moved; or why it
// must not be.
struct PreparedMove {
  common::FileDescriptor directory{-1};
  common::FileDescriptor staged{-1};
  std::string name;         // of the target in `directory`
  std::string pendingName;  // of the staged file there
  std::string refusal;
};

PreparedMove prepareMove(const StagedFile& file) {
  PreparedMove move;
  TargetDirectory target = openTargetDirectory(file.path, false);
  if (!target.refusal.empty()) {
    move.refusal = std::move(target.refusal);
    return move;
  }
  move.directory = std::move(target.fd);
  move.name = common::lastComponent(file.path);
  const std::string pending = formats::pendingPathOf(file.path);
  move.pendingName = common::lastComponent(pending);
  move.staged =
      common::FileDescriptor(::openat(move.directory.get(), move.pendingName.c_str(),
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (move.staged.get() < 0) {
    throw common::osError(errno, pending);
  }
  struct stat status {};
  if (::fstat(move.staged.get(), &status) != 0) {
    throw common::osError(errno, pending);
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
      common::FileIdentity{status.st_dev, status.st_ino} != file.identity) {
    // Whatever it is, it was not verified: the next run starts this file afresh.
    ::unlinkat(move.directory.get(), move.pendingName.c_str(), 0);
    move.refusal = pending + " changed after it was verified (deleted)";
  }
  return move;
}

// An updated program stays executable, a private file stays private; a new
// file gets the mode a file created now would have.
void adoptTargetMode(const PreparedMove& move, mode_t newFileMode, const std::string& pending) {
  struct stat status {};
  const bool replacesFile =
      ::fstatat(move.directory.get(), move.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(status.st_mode);
  if (::fchmod(move.staged.get(), replacesFile ? status.st_mode & 0777 : newFileMode) != 0) {
    throw common::osError(errno, pending);
  }
}

void moveStagedFile(const PreparedMove& move, const std::string& path) {
  const int directory = move.directory.get();
  if (::renameat(directory, move.pendingName.c_str(), directory, move.name.c_str()) == 0) {
    return;
  }
  if (errno == EXDEV) {
    copyAcrossDevices(directory, move.staged.get(), move.pendingName, move.name);
    return;
  }
  throw common::osError(errno, formats::pendingPathOf(path) + " -> " + path);
}

}  // namespace

bool applyStagedFiles(const std::vector<StagedFile>& files, mode_t newFileMode) {
  const bool syncWholeFileSystems = files.size() >= kWholeFileSystemSyncThreshold;
  std::vector<std::string> ready;
  std::vector<bool> refused(files.size(), false);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const PreparedMove move = prepareMove(files[i]);
    if (!move.refusal.empty()) {
      reportRefusal(files[i].path, move.refusal);
      refused[i] = true;
      continue;
    }
    const std::string pending = formats::pendingPathOf(files[i].path);
    adoptTargetMode(move, newFileMode, pending);
    if (!syncWholeFileSystems) {
      syncDescriptor(move.staged.get(), pending);
    }
    ready.push_back(files[i].path);
  }
  if (syncWholeFileSystems) {
    syncFileSystems(directoriesOf(ready, true));
  }
  std::vector<std::string> moved;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (refused[i]) {
      continue;
    }
    // Checked again right before the move: the syncs may have taken a while.
    const PreparedMove move = prepareMove(files[i]);
    if (!move.refusal.empty()) {
      reportRefusal(files[i].path, move.refusal);
      refused[i] = true;
      continue;
    }
    moveStagedFile(move, files[i].path);
    moved.push_back(files[i].path);
  }
  syncMovedDirectories(moved);
  return std::ranges::find(refused, true) == refused.end();
}

void copyAcrossDevices(int directory, int staged, const std::string& pendingName,
                       const std::string& name) {
  const std::string copyName = formats::copyPathOf(name);
  // One left by a run that was killed while it copied.
  ::unlinkat(directory, copyName.c_str(), 0);
  {
    common::FileDescriptor copy(::openat(
        directory, copyName.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, common::kPrivateFileMode));
    if (copy.get() < 0) {
      throw common::IOError("cannot open: " + copyName);
    }
    try {
      copyContent(staged, copy.get(), copyName);
      if (copy.close() != 0) {
        throw common::IOError("cannot write string to file");
      }
    } catch (const common::Error&) {
      // recovery point: the target stays as it was, and no copy is left behind
      ::unlinkat(directory, copyName.c_str(), 0);
      throw;
    }
  }
  if (::renameat(directory, copyName.c_str(), directory, name.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(directory, copyName.c_str(), 0);
    throw common::osError(error, copyName + " -> " + name);
  }
  if (::unlinkat(directory, pendingName.c_str(), 0) != 0) {
    throw common::osError(errno, pendingName);
  }
}

}  // namespace updater
