#pragma once

#include <functional>

#include "common/file.hpp"

namespace updater {

// One update at a time per client directory: an exclusive advisory lock on the
// tool's lock file in the working directory (formats::kRunLockFileName), held
// for the object's lifetime. The file is created 0600 and never deleted, so
// only users who may write the directory can open and hold it; the kernel
// drops the lock when the process ends in any way, so a killed run leaves no
// stale lock.
class RunLock {
 public:
  // Takes the lock; when another process holds it, calls `onWait` once and
  // waits for it. Throws IOError when a link or anything but a regular file lies
  // at the lock file's name (it is not followed), OSError when the file cannot
  // be opened or locked.
  explicit RunLock(const std::function<void()>& onWait);

 private:
  common::FileDescriptor file_;
};

}  // namespace updater
