#pragma once

#include <gtest/gtest.h>

#include <string>

#include "crypto/sha3_batch.hpp"

namespace testing_support {

// A test run once per hashing path (TOLVEX_LANE_PATHS below), skipped on a
// processor that lacks the path: reported, never passed.
class LanePaths : public ::testing::TestWithParam<crypto::LaneWidth> {
 protected:
  void SetUp() override {
    if (GetParam() > crypto::widestLaneWidth()) {
      GTEST_SKIP() << "this processor has no " << static_cast<int>(GetParam()) << "-lane path";
    }
  }
};

inline std::string lanePathName(const ::testing::TestParamInfo<crypto::LaneWidth>& path) {
  return std::to_string(static_cast<int>(path.param)) + "Lanes";
}

}  // namespace testing_support

// Runs the TEST_Ps of `suite`, a LanePaths, on the one-, four- and eight-lane paths.
#define TOLVEX_LANE_PATHS(suite)                                                                \
  INSTANTIATE_TEST_SUITE_P(Paths, suite,                                                        \
                           ::testing::Values(crypto::LaneWidth::kOne, crypto::LaneWidth::kFour, \
                                             crypto::LaneWidth::kEight),                        \
                           testing_support::lanePathName)
