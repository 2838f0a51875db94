#include "updater/staging/staging_check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

namespace {

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;

TEST(CheckBatcher, SmallTargetsGoInOrderAndLargeOnesLastByLikeSize) {
  std::mt19937_64 random(5);
  std::vector<std::int64_t> mixed(300);
  for (std::int64_t& size : mixed) {
    size = std::int64_t{1} << std::uniform_int_distribution<int>(0, 28)(random);
  }
  const struct {
    std::vector<std::int64_t> sizes;
    std::size_t laneWidth;
    std::size_t workers;
  } cases[] = {
      {std::vector<std::int64_t>(18, kKiB), 8, 2},
      {{900 * kKiB, 900 * kKiB, 900 * kKiB, 900 * kKiB, 900 * kKiB, 0}, 8, 2},
      {{5 * kMiB, 100, 80 * kMiB, 2 * kMiB, 0, 50 * kMiB, 3 * kMiB}, 2, 1},
      {{256 * kMiB, 256 * kMiB, 100, 256 * kMiB}, 8, 2},
      {mixed, 8, 2},
      {mixed, 4, 16},
      {{}, 8, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sizes.size() << " entries, " << c.laneWidth << " lanes, "
                                    << c.workers << " workers");
    updater::CheckBatcher batcher(c.sizes.size(), c.laneWidth, c.workers);
    std::vector<std::size_t> seen;
    std::vector<std::size_t> smallOrder;
    std::vector<std::int64_t> largeSizes;
    std::size_t largeJobs = 0;
    while (!batcher.done()) {
      const auto batch = batcher.next([&](std::size_t entry) { return c.sizes[entry]; });
      ASSERT_FALSE(batch.entries.empty());
      seen.insert(seen.end(), batch.entries.begin(), batch.entries.end());
      if (!batch.large) {
        EXPECT_EQ(largeJobs, 0U) << "a job of small targets after a large one";
        smallOrder.insert(smallOrder.end(), batch.entries.begin(), batch.entries.end());
        continue;
      }
      ++largeJobs;
      EXPECT_LE(batch.entries.size(), c.laneWidth) << "a job wider than the lanes";
      for (const std::size_t entry : batch.entries) {
        largeSizes.push_back(c.sizes[entry]);
      }
    }
    std::vector<std::size_t> all(c.sizes.size());
    std::iota(all.begin(), all.end(), 0);
    std::vector<std::size_t> sorted = seen;
    std::ranges::sort(sorted);
    EXPECT_EQ(sorted, all) << "each entry once";
    EXPECT_TRUE(std::ranges::is_sorted(smallOrder)) << "small ones in catalog order";
    EXPECT_TRUE(std::ranges::is_sorted(largeSizes, std::greater<>())) << "largest first";
    if (!largeSizes.empty() && !smallOrder.empty()) {
      const std::int64_t largestSmall = c.sizes[std::ranges::max(
          smallOrder, {}, [&](std::size_t entry) { return c.sizes[entry]; })];
      EXPECT_GT(largeSizes.back(), largestSmall) << "the large jobs hold the large targets";
    }
    // Spread over the workers: as many jobs as workers, while there are targets for them.
    EXPECT_GE(largeJobs, std::min(c.workers, largeSizes.size()));
  }
}

}  // namespace
