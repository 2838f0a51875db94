#include "common/system.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(System, SkippedPausesCountAsElapsedTime) {
  std::vector<std::int64_t> pauses;
  const common::ScopedSleepOverride noWaiting(
      [&pauses](std::int64_t milliseconds) { pauses.push_back(milliseconds); });
  const std::int64_t before = common::monotonicMilliseconds();
  common::sleepMilliseconds(5000);
  common::sleepMilliseconds(250);
  const std::int64_t elapsed = common::monotonicMilliseconds() - before;
  EXPECT_EQ(pauses, (std::vector<std::int64_t>{5000, 250}));
  EXPECT_GE(elapsed, 5250);
  EXPECT_LT(elapsed, 6250);  // the pauses were skipped, not waited
}

}  // namespace
