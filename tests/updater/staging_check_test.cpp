#include "updater/staging/staging_check.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;

// Each job's entries, "L" before a job of large targets.
std::string jobsOf(const std::vector<std::int64_t>& sizes, std::size_t laneWidth,
                   std::size_t workers) {
  updater::CheckBatcher batcher(sizes.size(), laneWidth, workers);
  std::string jobs;
  while (!batcher.done()) {
    const auto batch = batcher.next([&](std::size_t entry) { return sizes[entry]; });
    jobs += batch.large ? "L" : "";
    for (const std::size_t entry : batch.entries) {
      jobs += std::to_string(entry) + (entry == batch.entries.back() ? " " : ",");
    }
  }
  return jobs;
}

TEST(CheckBatcher, SmallTargetsGoInOrderAndLargeOnesLastByLikeSize) {
  const struct {
    std::vector<std::int64_t> sizes;
    std::size_t laneWidth;
    std::size_t workers;
    std::string jobs;
  } cases[] = {
      {std::vector<std::int64_t>(18, kKiB), 8, 2, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15 16,17 "},
      {{900 * kKiB, 900 * kKiB, 900 * kKiB, 900 * kKiB, 900 * kKiB, 0}, 8, 2, "0,1,2,3,4 5 "},
      {{5 * kMiB, 100, 80 * kMiB, 2 * kMiB, 0, 50 * kMiB, 3 * kMiB}, 2, 1, "1,4 L2,5 L0,6 L3 "},
      {{256 * kMiB, 256 * kMiB, 100, 256 * kMiB}, 8, 2, "2 L0,1 L3 "},
      {{}, 8, 2, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(jobsOf(c.sizes, c.laneWidth, c.workers), c.jobs) << c.sizes.size() << " entries";
  }
}

}  // namespace
