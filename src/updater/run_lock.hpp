#pragma once

#include <functional>

#include "common/file.hpp"

namespace updater {

// One update at a time per client directory: an exclusive advisory lock on
// the working directory itself, held for the object's lifetime. The kernel
// drops it when the process ends in any way, so a killed run leaves no stale
// lock, and no lock file is left in the directory.
class RunLock {
 public:
  // Takes the lock; when another process holds it, calls `onWait` once and
  // waits for it. Throws OSError when the directory cannot be opened or locked.
  explicit RunLock(const std::function<void()>& onWait);

 private:
  common::FileDescriptor directory_;
};

}  // namespace updater
