#include "updater/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "common/errors.hpp"

namespace updater {
namespace {

// flock, resumed when a signal interrupts the wait.
int lockDirectory(int fd, int operation) {
  int result = 0;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

RunLock::RunLock(const std::function<void()>& onWait)
    : directory_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (directory_.get() < 0) {
    throw common::osError(errno, ".");
  }
  if (lockDirectory(directory_.get(), LOCK_EX | LOCK_NB) == 0) {
    return;
  }
  if (errno != EWOULDBLOCK) {
    throw common::osError(errno, ".");
  }
  onWait();
  if (lockDirectory(directory_.get(), LOCK_EX) != 0) {
    throw common::osError(errno, ".");
  }
}

}  // namespace updater
