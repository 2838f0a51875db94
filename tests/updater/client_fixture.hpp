#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/system.hpp"
#include "http/connection_pool.hpp"
#include "http/curl_library.hpp"
#include "published_tree.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"

namespace updater_testing {

// A client directory (the working directory, with a descriptor pointing at the
// server) and a published one served over loopback. Pauses are recorded, not waited.
class ClientFixture : public ::testing::Test {
 protected:
  ClientFixture() { writeSourceDescriptor(client_.path(), server_.url("/")); }

  // First: the connection pool below needs libcurl.
  const http::CurlApi& curl_ = http::loadCurlLibrary();

  testing_support::TempDir published_;
  testing_support::TempDir client_;
  testing_support::TestHttpServer server_{published_.path()};
  http::ConnectionPool pool_{curl_};
  testing_support::ScopedWorkingDirectory cwd_{client_.path()};
  std::vector<std::int64_t> pauses_;
  common::ScopedSleepOverride noWait_{[this](std::int64_t ms) { pauses_.push_back(ms); }};
};

// `size` bytes of lower-case letters, starting at `first`.
inline std::string sample(std::size_t size, char first = 'a') {
  std::string content;
  for (std::size_t i = 0; i < size; ++i) {
    content += static_cast<char>(first + (i * 31) % 26);
  }
  return content;
}

// The four lines of a digest mismatch report, as standard error receives them.
inline std::string mismatchReport(std::string_view path, std::string_view expected,
                                  std::string_view downloaded) {
  std::string text = "\nHash mismatch for ";
  text.append(path).append("\n  remote catalog: ").append(expected);
  text.append("\n  downloaded    : ").append(downloaded).append("\n");
  return text;
}

}  // namespace updater_testing
