#pragma once

#include <functional>
#include <string>

#include "common/file.hpp"

namespace updater {

// One update at a time per client directory: an exclusive advisory lock on the
// tool's lock file in the working directory (formats::kRunLockFileName), held
// for the object's lifetime. The file is created 0600 and never deleted, so
// only users who may write the directory can open and hold it; the kernel
// drops the lock when the process ends in any way, so a killed run leaves no
// stale lock. In a directory that the user may not write (a read-only file
// system, or no write permission) the file cannot be made, and no lock is
// taken: a run there changes nothing, and only checks.
class RunLock {
 public:
  // Takes the lock; when another process holds it, calls `onWait` once and
  // waits for it. Throws IOError when a link or anything but a regular file lies
  // at the lock file's name (it is not followed), OSError when the file cannot
  // be opened or locked for any reason but an unwritable directory.
  explicit RunLock(const std::function<void()>& onWait);

  // Why no lock is held: the system's text for the failed creation of the lock
  // file in a directory that may not be written ("Read-only file system").
  // Empty when the lock is held.
  const std::string& unwritable() const noexcept { return unwritable_; }

 private:
  std::string unwritable_;
  common::FileDescriptor file_;
};

}  // namespace updater
