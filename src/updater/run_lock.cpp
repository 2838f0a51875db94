#include "updater/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "common/errors.hpp"
#include "formats/tool_files.hpp"

namespace updater {
namespace {

// flock, resumed when a signal interrupts the wait.
int lockFile(int fd, int operation) {
  int result = 0;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Opened for writing, as NFS needs for flock, and never through a link: the
// lock must stay the directory's own file.
common::FileDescriptor openLockFile() {
  const std::string name(formats::kRunLockFileName);
  common::FileDescriptor fd(
      ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
             common::kPrivateFileMode));
  if (fd.get() < 0 && errno == ELOOP) {
    throw common::IOError("lock file is a symbolic link, not followed: " + name);
  }
  if (fd.get() < 0) {
    throw common::osError(errno, name);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    throw common::osError(errno, name);
  }
  if (!S_ISREG(status.st_mode)) {
    throw common::IOError("lock file is not a regular file: " + name);
  }
  // Whoever can read it can lock it: a file made by someone else stays private.
  if ((status.st_mode & 07777) != common::kPrivateFileMode &&
      ::fchmod(fd.get(), common::kPrivateFileMode) != 0) {
    throw common::osError(errno, name);
  }
  return fd;
}

}  // namespace

RunLock::RunLock(const std::function<void()>& onWait) : file_(openLockFile()) {
  const std::string name(formats::kRunLockFileName);
  if (lockFile(file_.get(), LOCK_EX | LOCK_NB) == 0) {
    return;
  }
  if (errno != EWOULDBLOCK) {
    throw common::osError(errno, name);
  }
  onWait();
  if (lockFile(file_.get(), LOCK_EX) != 0) {
    throw common::osError(errno, name);
  }
}

}  // namespace updater
