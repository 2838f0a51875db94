#include "slow_start_pacer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace {

using bench::SlowStartPacer;
using std::chrono::milliseconds;

struct Step {
  int atMs;  // after the first call
  std::size_t bytes;
};

TEST(SlowStartPacer, WindowStartsAtTenSegmentsAndDoublesOnlyWhenUsedUp) {
  const struct {
    const char* name;
    std::vector<Step> ready;
    std::vector<Step> leaving;
  } cases[] = {
      {"within the first window", {{0, 1000}, {10, 13480}}, {{0, 1000}, {10, 13480}}},
      {"a burst spreads over doubling rounds",
       {{0, 100000}},
       {{0, 14480}, {50, 28960}, {100, 56560}}},
      {"bytes ready before the acks wait for them",
       {{0, 20000}, {60, 30000}},
       {{0, 14480}, {50, 5520}, {60, 23440}, {100, 6560}}},
      {"a full window doubles for the next round",
       {{0, 14480}, {70, 30000}},
       {{0, 14480}, {70, 28960}, {120, 1040}}},
      {"a window not used up stays",
       {{0, 1000}, {70, 20000}},
       {{0, 1000}, {70, 14480}, {120, 5520}}},
  };
  const SlowStartPacer::Time start{std::chrono::seconds(100)};
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    SlowStartPacer pacer(milliseconds(50));
    std::vector<SlowStartPacer::Piece> pieces;
    for (const Step& step : testCase.ready) {
      for (const auto& piece : pacer.schedule(start + milliseconds(step.atMs), step.bytes)) {
        pieces.push_back(piece);
      }
    }
    std::vector<SlowStartPacer::Piece> expected;
    for (const Step& step : testCase.leaving) {
      expected.push_back({start + milliseconds(step.atMs), step.bytes});
    }
    EXPECT_EQ(pieces, expected);
  }
}

}  // namespace
