#include "common/system.hpp"

#include <ctime>
#include <utility>

namespace common {
namespace {

void realSleep(std::int64_t milliseconds) {
  timespec request{};
  request.tv_sec = static_cast<std::time_t>(milliseconds / 1000);
  request.tv_nsec = static_cast<long>((milliseconds % 1000) * 1000000);
  ::nanosleep(&request, nullptr);
}

std::function<void(std::int64_t)>& sleeper() {
  static std::function<void(std::int64_t)> current = realSleep;
  return current;
}

}  // namespace

void sleepMilliseconds(std::int64_t milliseconds) { sleeper()(milliseconds); }

double wallClockSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

ScopedSleepOverride::ScopedSleepOverride(std::function<void(std::int64_t)> replacement)
    : previous_(std::exchange(sleeper(), std::move(replacement))) {}

ScopedSleepOverride::~ScopedSleepOverride() { sleeper() = std::move(previous_); }

}  // namespace common
