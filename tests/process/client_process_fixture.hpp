#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "published_tree.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"

namespace process_testing {

const std::string kUpToDate = "Checking updates...\n\nAll files are up to date.\n";

// A published directory served over loopback, and a client directory whose
// descriptor points at it; the test client runs there with its own HOME.
class ClientProcessFixture : public ::testing::Test {
 protected:
  ClientProcessFixture() {
    updater_testing::writeSourceDescriptor(client_.path(), server_.url("/"));
  }

  testing_support::ProcessOptions clientOptions(const std::string& standardInput = "") const {
    return {client_.path(), {{"HOME", home_.path()}}, standardInput};
  }

  // The test client with `args` in the client directory.
  testing_support::ProcessResult runClient(const std::vector<std::string>& args,
                                           const std::string& standardInput = "") const {
    std::vector<std::string> argv = {TOLVEX_TEST_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::runProcess(argv, clientOptions(standardInput));
  }

  std::string clientFile(const std::string& path) const { return client_ / path; }

  // Waits until `done` holds, for at most 20 seconds; whether it came to hold.
  template <typename Condition>
  static bool eventually(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  testing_support::ProcessResult update(const std::vector<std::string>& options = {}) const {
    std::vector<std::string> args = {"update"};
    args.insert(args.end(), options.begin(), options.end());
    return runClient(args);
  }

  testing_support::TempDir home_;
  testing_support::TempDir published_;
  testing_support::TempDir client_;
  testing_support::TestHttpServer server_{published_.path()};
};

}  // namespace process_testing
