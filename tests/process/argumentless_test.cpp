// Started without arguments (double-clicked, say) the program updates, then keeps
// its window open up to five seconds unless a key is pressed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "client_process_fixture.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using process_testing::kUpToDate;
using testing_support::ProcessResult;

class ArgumentlessStart : public process_testing::ClientProcessFixture {
 protected:
  ArgumentlessStart() {
    updater_testing::publishTree(published_.path(), {{"a.txt", "abc"}});
    testing_support::writeFile(client_ / "a.txt", "abc");
  }

  // Runs the test client without arguments; returns its result and seconds taken.
  std::pair<ProcessResult, double> start(const std::string& standardInput) const {
    const auto begin = Clock::now();
    ProcessResult result = runClient({}, standardInput);
    return {result, std::chrono::duration<double>(Clock::now() - begin).count()};
  }
};

TEST_F(ArgumentlessStart, UpdatesThenWaitsFiveSeconds) {
  const auto [result, seconds] = start("");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, kUpToDate);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_GE(seconds, 5.0);
}

TEST_F(ArgumentlessStart, AKeyPressEndsTheWaitEarly) {
  const auto [result, seconds] = start("x");
  EXPECT_EQ(result.err, kUpToDate);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_LT(seconds, 5.0);  // it would be 5 s or more had it waited
}

TEST_F(ArgumentlessStart, AnErrorEndsTheProcessWithoutWaiting) {
  std::filesystem::remove(client_ / "updater-source.json");
  const auto [result, seconds] = start("");
  EXPECT_EQ(result.err, "Error: unhandled exception: cannot open: updater-source.json [IOError]\n");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_LT(seconds, 5.0);  // it would be 5 s or more had it waited
}

TEST_F(ArgumentlessStart, ExplicitUpdateDoesNotWait) {
  const auto begin = Clock::now();
  const ProcessResult result = update();
  EXPECT_EQ(result.err, kUpToDate);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 5.0);
}

}  // namespace
