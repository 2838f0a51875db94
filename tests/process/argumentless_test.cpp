// Started without arguments (double-clicked, say) the program updates, then keeps
// its window open up to five seconds unless a key is pressed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "published_tree.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::ProcessResult;

const std::string kUpToDate = "Checking updates...\n\nAll files are up to date.\n";

class ArgumentlessStart : public ::testing::Test {
 protected:
  ArgumentlessStart() {
    updater_testing::publishTree(published_.path(), {{"a.txt", "abc"}});
    testing_support::writeFile(client_ / "a.txt", "abc");
    updater_testing::writeSourceDescriptor(client_.path(), server_.url("/"));
  }

  // Runs the test client without arguments; returns its result and seconds taken.
  std::pair<ProcessResult, double> start(const std::string& standardInput) const {
    const auto begin = Clock::now();
    ProcessResult result = testing_support::runProcess(
        {TOLVEX_TEST_CLIENT}, {client_.path(), {{"HOME", home_.path()}}, standardInput});
    return {result, std::chrono::duration<double>(Clock::now() - begin).count()};
  }

  testing_support::TempDir home_;
  testing_support::TempDir published_;
  testing_support::TempDir client_;
  testing_support::TestHttpServer server_{published_.path()};
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
  EXPECT_LT(seconds, 4.0);
}

TEST_F(ArgumentlessStart, AnErrorEndsTheProcessWithoutWaiting) {
  std::filesystem::remove(client_ / "updater-source.json");
  const auto [result, seconds] = start("");
  EXPECT_EQ(result.err, "Error: unhandled exception: cannot open: updater-source.json [IOError]\n");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_LT(seconds, 4.0);
}

TEST_F(ArgumentlessStart, ExplicitUpdateDoesNotWait) {
  const auto begin = Clock::now();
  const ProcessResult result = testing_support::runProcess(
      {TOLVEX_TEST_CLIENT, "update"}, {client_.path(), {{"HOME", home_.path()}}, ""});
  EXPECT_EQ(result.err, kUpToDate);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 4.0);
}

}  // namespace
