#include "updater/run/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Whether `error`, of a failed creation of the lock file, says that the
// working directory may not be written, rather than that the file is in the way.
bool isUnwritableDirectory(int error) {
  if (error == EROFS) {
    return true;
  }
  return error == EACCES && ::faccessat(AT_FDCWD, ".", W_OK, AT_EACCESS) != 0 &&
         (errno == EACCES || errno == EROFS);
}

// Opened for writing, as NFS needs for flock, and never through a link: the
// lock must stay the directory's own file. Owns nothing, with `unwritable` set
// to the system's text, when the directory may not be written.
common::FileDescriptor openLockFile(std::string& unwritable) {
  const std::string name(formats::kRunLockFileName);
  common::FileDescriptor fd(
      ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
             common::kPrivateFileMode));
  if (fd.get() < 0 && errno == ELOOP) {
    throw common::IOError("lock file is a symbolic link, not followed: " + name);
  }
  if (fd.get() < 0) {
    const int error = errno;
    if (isUnwritableDirectory(error)) {
      unwritable = std::strerror(error);
      return fd;
    }
    throw common::osError(error, name);
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

RunLock::RunLock(const std::function<void()>& onWait) : file_(openLockFile(unwritable_)) {
  const std::string name(formats::kRunLockFileName);
  if (file_.get() < 0 || lockFile(file_.get(), LOCK_EX | LOCK_NB) == 0) {
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
