#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace common {

// Every pause of the program goes through here, so that tests can replace it.
// Sleeps `milliseconds` with one nanosleep; an interrupted sleep is not resumed.
void sleepMilliseconds(std::int64_t milliseconds);

// Wall-clock time in seconds, from the real-time clock.
double wallClockSeconds();

// Monotonic time in milliseconds, for deadlines (retry pauses that must not stall
// other transfers). Pauses skipped by a ScopedSleepOverride count as elapsed, so
// deadlines behave in tests as if the pauses had been waited.
std::int64_t monotonicMilliseconds();

// The last path component of the running program's file, from "/proc/self/exe",
// or, when that cannot be read, of `argv0` searched along PATH as a shell would.
std::string executableFileName(std::string_view argv0);

// The permission bits of a file created now with mode 0666: 0666 less the
// umask. The umask is read by setting it and setting it back, so call this
// before the process starts other threads.
mode_t newFileMode();

// Replaces sleepMilliseconds for the lifetime of the object (tests record the
// requested pauses instead of waiting).
class ScopedSleepOverride {
 public:
  explicit ScopedSleepOverride(std::function<void(std::int64_t)> sleeper);
  ~ScopedSleepOverride();
  ScopedSleepOverride(const ScopedSleepOverride&) = delete;
  ScopedSleepOverride& operator=(const ScopedSleepOverride&) = delete;

 private:
  std::function<void(std::int64_t)> previous_;
};

}  // namespace common
