#include "common/ordered_pool.hpp"

#include <algorithm>

namespace common {

std::size_t workerCount(std::size_t limit) {
  const std::size_t cores = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(cores, 1, limit);
}

}  // namespace common
