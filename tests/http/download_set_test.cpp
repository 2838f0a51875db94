// Downloads side by side, and requests that share connections.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.hpp"
#include "download_one.hpp"
#include "http/connection_pool.hpp"
#include "http/curl_library.hpp"
#include "http/http_request.hpp"
#include "http/ranges_answer.hpp"
#include "http/resumable_download.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"

namespace {

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::TestHttpServer;
using testing_support::writeFile;

std::string content(char letter, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += static_cast<char>(letter + i % 7);
  }
  return text;
}

// "" for a finished download, else the message of what ended it.
std::string messageOf(const http::DownloadSet::Finished& end) {
  if (!end.error) {
    return end.message;
  }
  try {
    std::rethrow_exception(end.error);
  } catch (const common::Error& failure) {
    return failure.message();
  }
}

// Waits for every download of `set`; the outcome of each id (see messageOf).
std::map<std::size_t, std::string> finishAll(http::DownloadSet& set) {
  std::map<std::size_t, std::string> outcomes;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (set.running() > 0 && std::chrono::steady_clock::now() < deadline) {
    for (const auto& end : set.wait(1000)) {
      EXPECT_EQ(outcomes.count(end.id), 0U) << "reported twice: " << end.id;
      outcomes[end.id] = messageOf(end);
    }
  }
  EXPECT_EQ(set.running(), 0U);
  return outcomes;
}

// `prefix` followed by `number`. (GCC 12 warns falsely about "f" + to_string(n)
// at -O2.)
std::string numbered(std::string prefix, std::size_t number) {
  prefix.append(std::to_string(number));
  return prefix;
}

std::set<int> clientPorts(const TestHttpServer& server) {
  std::set<int> ports;
  for (const auto& request : server.requests()) {
    ports.insert(request.clientPort);
  }
  return ports;
}

class DownloadSet : public testing::Test {
 protected:
  TempDir root_;
  TempDir work_;
  TestHttpServer server_{root_.path()};
  http::ConnectionPool pool_{http::loadCurlLibrary()};
};

TEST_F(DownloadSet, RunsDownloadsSideBySideEachAsAloneWouldEnd) {
  struct Case {
    const char* name;
    std::string remote;    // published content ("" : nothing published)
    std::string existing;  // the local file before; "-": none
    std::string expectedFile;
    std::string expectedRange;
  };
  const std::string text = content('a', 20000);
  const std::vector<Case> cases = {
      {"fresh", text, "-", text, ""},
      {"partial", text, text.substr(0, 7000), text, "bytes=7000-"},
      {"complete", text, text, text, "bytes=20000-"},
      {"missing", "", "kept", "kept", "bytes=4-"},
      {"empty file", "x", "", "x", ""},
  };
  http::DownloadSet set(pool_);
  // No answer goes out before every request has come: they must run side by side.
  server_.gatherRequests("/", static_cast<int>(cases.size()));
  for (std::size_t id = 0; id < cases.size(); ++id) {
    const Case& c = cases[id];
    if (!c.remote.empty()) {
      writeFile(root_ / c.name, c.remote);
    }
    if (c.existing != "-") {
      writeFile(work_ / c.name, c.existing);
    }
    set.start(id, common::parseUri(server_.url("/") + c.name), work_ / c.name, {});
  }
  EXPECT_EQ(set.running(), cases.size());
  const auto outcomes = finishAll(set);
  EXPECT_EQ(server_.maxConcurrentRequests(), static_cast<int>(cases.size()));
  for (std::size_t id = 0; id < cases.size(); ++id) {
    const Case& c = cases[id];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcomes.at(id), c.remote.empty() ? server_.url("/missing") + ": http code 404" : "");
    EXPECT_EQ(readFile(work_ / c.name), c.expectedFile);
    const auto requests = server_.requestsFor(std::string("/") + c.name);
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].header("Range"), c.expectedRange);
  }
}

TEST_F(DownloadSet, ProgressComesFromEachDownloadOnItsOwn) {
  writeFile(root_ / "a", content('a', 3000));
  writeFile(root_ / "b", content('b', 5000));
  std::map<std::size_t, std::pair<std::int64_t, std::int64_t>> last;
  http::DownloadSet set(pool_);
  for (const std::size_t id : {0U, 1U}) {
    const std::string name = id == 0 ? "a" : "b";
    set.start(id, common::parseUri(server_.url("/" + name)), work_ / name,
              [&last, id](std::int64_t downloaded, std::int64_t total) {
                last[id] = {downloaded, total};
              });
  }
  finishAll(set);
  EXPECT_EQ(last[0], (std::pair<std::int64_t, std::int64_t>{3000, 3000}));
  EXPECT_EQ(last[1], (std::pair<std::int64_t, std::int64_t>{5000, 5000}));
}

TEST_F(DownloadSet, CancelledDownloadKeepsWhatArrivedAndResumesLater) {
  const std::string big = content('k', std::size_t{1} << 20);
  writeFile(root_ / "big", big);
  writeFile(root_ / "small", "small");
  server_.setThrottle(32768, std::chrono::milliseconds(10));
  http::DownloadSet set(pool_);
  std::int64_t received = 0;
  set.start(7, common::parseUri(server_.url("/big")), work_ / "big",
            [&received](std::int64_t downloaded, std::int64_t) { received = downloaded; });
  set.start(8, common::parseUri(server_.url("/small")), work_ / "small", {});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<std::size_t> ended;
  while (received < 300000 && std::chrono::steady_clock::now() < deadline) {
    for (const auto& end : set.wait(100)) {
      ended.push_back(end.id);
    }
  }
  set.cancel(7);
  EXPECT_EQ(set.running(), 0U);
  EXPECT_EQ(ended, std::vector<std::size_t>{8});
  EXPECT_TRUE(set.wait(0).empty());
  const std::string partial = readFile(work_ / "big");
  EXPECT_GE(partial.size(), 262144U);  // at least one full write buffer
  EXPECT_LT(partial.size(), big.size());
  EXPECT_EQ(partial, big.substr(0, partial.size()));

  server_.setThrottle(std::size_t{1} << 20, std::chrono::milliseconds(0));
  http_testing::downloadOne(pool_, common::parseUri(server_.url("/big")), work_ / "big");
  EXPECT_EQ(readFile(work_ / "big"), big);
  EXPECT_EQ(server_.requestsFor("/big").back().header("Range"),
            "bytes=" + std::to_string(partial.size()) + "-");
}

TEST_F(DownloadSet, WakeEndsAWaitFromAnotherThread) {
  for (const bool running : {false, true}) {
    SCOPED_TRACE(running);
    http::DownloadSet set(pool_);
    if (running) {
      writeFile(root_ / "slow", "slow");
      server_.setResponseDelay(std::chrono::seconds(3));
      set.start(1, common::parseUri(server_.url("/slow")), work_ / "slow", {});
    }
    const auto start = std::chrono::steady_clock::now();
    std::thread waker([&set] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      set.wake();
    });
    // The first wait may end early on the request going out; the wake ends one.
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(100)) {
      EXPECT_TRUE(set.wait(2000).empty());
    }
    waker.join();
    // Well before the wait's own end, and before the delayed answer could end it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    server_.setResponseDelay(std::chrono::milliseconds(0));
  }
}

TEST_F(DownloadSet, OnePoolCarriesEveryKindOfRequest) {
  for (std::size_t i = 0; i < 4; ++i) {
    writeFile(root_ / numbered("f", i), content('f', 1000));
  }
  http::ncurlGet(pool_, common::parseUri(server_.url("/f0")), 4096);
  http::ncurlGet(pool_, common::parseUri(server_.url("/f1")), 4096);
  http_testing::downloadOne(pool_, common::parseUri(server_.url("/f2")), work_ / "single");
  // Four at once need up to four connections; a second round reuses them.
  for (std::size_t round = 0; round < 2; ++round) {
    http::DownloadSet set(pool_);
    for (std::size_t id = 0; id < 4; ++id) {
      set.start(id, common::parseUri(server_.url(numbered("/f", id))),
                work_ / numbered(numbered("r", round), id), {});
    }
    finishAll(set);
  }
  EXPECT_EQ(server_.requests().size(), 11U);
  // Reuse shows as far fewer connections than requests; the exact number
  // depends on how the concurrent ones overlap.
  EXPECT_LE(clientPorts(server_).size(), 5U);
}

TEST_F(DownloadSet, FetchesSeveralRangesInOneRequestOrSaysWhyNot) {
  struct Case {
    const char* name;
    std::vector<http::ByteRange> ranges;
    bool ignoreRange;
    std::size_t arrived;
  };
  const std::string text = content('r', 300000);
  writeFile(root_ / "f", text);
  const std::vector<Case> cases = {
      {"several", {{0, 1}, {70000, 16384}, {200000, 99999}, {299999, 1}}, false, 4},
      {"one", {{5, 100}}, false, 1},
      {"ranges ignored", {{0, 10}, {20, 10}}, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.setIgnoreRange(c.ignoreRange);
    server_.clearRequests();
    http::DownloadSet set(pool_);
    set.fetchRanges(0, common::parseUri(server_.url("/f")), c.ranges, {});
    std::vector<http::DownloadSet::Finished> ends;
    while (ends.empty()) {
      ends = set.wait(1000);
    }
    ASSERT_EQ(ends[0].result, http::DownloadSet::Finished::Result::kComplete);
    ASSERT_EQ(ends[0].ranges.size(), c.arrived);
    EXPECT_EQ(ends[0].message.empty(), c.arrived == c.ranges.size()) << ends[0].message;
    for (std::size_t i = 0; i < c.arrived; ++i) {
      EXPECT_EQ(ends[0].ranges[i], text.substr(c.ranges[i].first, c.ranges[i].length));
    }
    EXPECT_EQ(server_.requests().at(0).header("Range"), http::rangeRequest(c.ranges));
  }
}

TEST_F(DownloadSet, EachPoolHasConnectionsOfItsOwn) {
  writeFile(root_ / "f", "f");
  http::ConnectionPool other(http::loadCurlLibrary());
  http::ncurlGet(pool_, common::parseUri(server_.url("/f")), 10);
  http::ncurlGet(other, common::parseUri(server_.url("/f")), 10);
  http::ncurlGet(pool_, common::parseUri(server_.url("/f")), 10);
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3U);
  EXPECT_NE(requests[1].clientPort, requests[0].clientPort);
  EXPECT_EQ(requests[2].clientPort, requests[0].clientPort);
}

}  // namespace
