#include "common/ordered_pool.hpp"

#include <sched.h>

#include <algorithm>

namespace common {

std::size_t workerCount(std::size_t limit) {
  // The cores this process may run on (taskset, a container's cpuset) can be
  // fewer than the machine has; more workers than those only take turns.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  const std::size_t cores = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0
                                ? static_cast<std::size_t>(CPU_COUNT(&allowed))
                                : std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(cores, 1, limit);
}

}  // namespace common
