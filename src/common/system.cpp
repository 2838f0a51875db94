#include "common/system.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "common/file.hpp"
#include "common/path.hpp"
#include "common/text.hpp"

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

// Milliseconds of pauses that an override skipped instead of waiting.
std::atomic<std::int64_t> skippedMilliseconds{0};

// The file that a shell would have run for `name`, or `name` itself.
std::string searchPath(std::string_view name) {
  const char* pathVariable = std::getenv("PATH");
  if (name.empty() || name.front() == '/' || pathVariable == nullptr) {
    return std::string(name);
  }
  for (const std::string_view directory : split(pathVariable, ':')) {
    // An empty PATH element names the working directory.
    std::string candidate(directory.empty() ? "." : directory);
    candidate += '/';
    candidate += name;
    if (isRegularFile(candidate)) {
      return candidate;
    }
  }
  return std::string(name);
}

}  // namespace

std::string executableFileName(std::string_view argv0) {
  std::array<char, 4096> target{};
  const ssize_t length = ::readlink("/proc/self/exe", target.data(), target.size());
  if (length > 0) {
    return std::string(lastComponent({target.data(), static_cast<std::size_t>(length)}));
  }
  return std::string(lastComponent(searchPath(argv0)));
}

mode_t newFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

void sleepMilliseconds(std::int64_t milliseconds) { sleeper()(milliseconds); }

double wallClockSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::int64_t monotonicMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 +
         skippedMilliseconds.load();
}

ScopedSleepOverride::ScopedSleepOverride(std::function<void(std::int64_t)> replacement)
    : previous_(std::exchange(sleeper(), [replacement = std::move(replacement)](std::int64_t ms) {
        skippedMilliseconds += ms;
        replacement(ms);
      })) {}

ScopedSleepOverride::~ScopedSleepOverride() { sleeper() = std::move(previous_); }

}  // namespace common
