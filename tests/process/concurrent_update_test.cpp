// The update command with several transfers at once: the test client (which
// trusts test keys 0 and 1) in its own HOME and working directory against a
// loopback HTTP server.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_process_fixture.hpp"
#include "crypto/sha3.hpp"
#include "published_tree.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"
#include "updater/route/publisher_offer.hpp"

namespace {

using process_testing::kUpToDate;
using testing_support::fileExists;
using testing_support::ProcessResult;
using testing_support::readFile;
using testing_support::writeFile;
using updater_testing::binaryContent;
using updater_testing::PublishedFile;

const std::string kPending = ".tolvex-pending";

// `count` files in a few directories, of sizes from 1 KiB up to `largest` bytes.
std::vector<PublishedFile> sampleTree(int count, std::size_t largest) {
  std::vector<PublishedFile> files;
  for (int i = 0; i < count; ++i) {
    const std::size_t size = 1024 + (largest - 1024) * static_cast<std::size_t>(i) /
                                        static_cast<std::size_t>(std::max(count - 1, 1));
    files.push_back({"dir" + std::to_string(i % 3) + "/file" + std::to_string(i) + ".bin",
                     binaryContent(size, static_cast<unsigned>(i + 1))});
  }
  return files;
}

std::set<int> clientPorts(const std::vector<testing_support::RecordedRequest>& requests) {
  std::set<int> ports;
  for (const auto& request : requests) {
    ports.insert(request.clientPort);
  }
  return ports;
}

class ConcurrentUpdate : public process_testing::ClientProcessFixture {
 protected:
  void expectClientMatches(const std::vector<PublishedFile>& files) const {
    for (const auto& file : files) {
      SCOPED_TRACE(file.path);
      ASSERT_TRUE(fileExists(clientFile(file.path)));
      EXPECT_TRUE(readFile(clientFile(file.path)) == file.content);
      EXPECT_FALSE(fileExists(clientFile(file.path + kPending)));
    }
  }

  // The staged file of `file`, if any, holds a prefix of its content; returns
  // the prefix's length (0 when there is no staged file).
  std::size_t stagedPrefix(const PublishedFile& file) const {
    const std::string pending = clientFile(file.path + kPending);
    if (!fileExists(pending)) {
      return 0;
    }
    const std::string staged = readFile(pending);
    EXPECT_TRUE(file.content.compare(0, staged.size(), staged) == 0) << file.path;
    return staged.size();
  }
};

TEST_F(ConcurrentUpdate, TransientFailureAndResumeAmongManyConvergeOverFewConnections) {
  const std::vector<PublishedFile> files = sampleTree(24, 200000);
  updater_testing::publishTree(published_.path(), files);
  // One file half staged by an earlier run, one that fails once.
  writeFile(clientFile(files[4].path + kPending), files[4].content.substr(0, 5000));
  server_.failNext("/" + files[9].path, 1, 503, "busy");
  // The first eight files are answered only once all eight have come.
  server_.gatherRequests("/dir", 8);
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Checking updates...\n\nerror: " + server_.url("/" + files[9].path) +
                            ": http code 503. retrying (1/10)\n\nAll files are up to date.\n");
  expectClientMatches(files);
  EXPECT_EQ(server_.requestsFor("/" + files[4].path)[0].header("Range"), "bytes=5000-");
  EXPECT_EQ(server_.requestsFor("/" + files[9].path).size(), 2U);
  EXPECT_EQ(server_.maxConcurrentRequests(), 8);
  // 27 requests, and the descriptions and release description that new
  // files ask for (missing here), over far fewer connections: reused, not one
  // per request. How many exactly depends on how the transfers overlap and
  // what the server closes.
  EXPECT_EQ(server_.requests().size(), 28U + updater::PublisherOffer::kDescriptionMisses);
  EXPECT_LT(clientPorts(server_.requests()).size(), server_.requests().size() / 2);

  server_.clearRequests();
  const ProcessResult second = update();
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_EQ(second.err, kUpToDate);
  EXPECT_EQ(server_.requests().size(), 2U);
}

TEST_F(ConcurrentUpdate, ForgedFileAmongManyIsReportedAloneAndNothingIsApplied) {
  std::vector<PublishedFile> files = sampleTree(12, 400000);
  updater_testing::publishTree(published_.path(), files);
  for (const auto& file : files) {
    writeFile(clientFile(file.path), "old " + file.path);
  }
  const std::string forged = "forged content";
  writeFile(published_ / files[5].path, forged);
  // Slow enough that later transfers are still running when the forgery shows.
  server_.setThrottle(16384, std::chrono::milliseconds(10));
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Checking updates...\n\nHash mismatch for " + files[5].path +
                            "\n  remote catalog: " + crypto::sha3Hex(files[5].content) +
                            "\n  downloaded    : " + crypto::sha3Hex(forged) + "\n");
  EXPECT_FALSE(fileExists(clientFile(files[5].path + kPending)));
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].path);
    EXPECT_EQ(readFile(clientFile(files[i].path)), "old " + files[i].path);
    const std::size_t staged = stagedPrefix(files[i]);
    if (i < 5) {
      // Everything before the forged file was staged in full.
      EXPECT_EQ(staged, files[i].content.size());
    }
  }

  // Once the publisher has fixed the file, the next run converges and fetches
  // nothing that was staged already.
  writeFile(published_ / files[5].path, files[5].content);
  server_.setThrottle(std::size_t{1} << 20, std::chrono::milliseconds(0));
  server_.clearRequests();
  const ProcessResult next = update();
  EXPECT_EQ(next.exitStatus, 0);
  EXPECT_EQ(next.err, kUpToDate);
  expectClientMatches(files);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_TRUE(server_.requestsFor("/" + files[i].path).empty()) << files[i].path;
  }
}

TEST_F(ConcurrentUpdate, KilledDuringSeveralTransfersConvergesOnTheNextRun) {
  std::vector<PublishedFile> files = {{"small.txt", "small"}};
  for (int i = 0; i < 6; ++i) {
    files.push_back({"big" + std::to_string(i) + ".bin",
                     binaryContent(std::size_t{1} << 20, static_cast<unsigned>(50 + i))});
  }
  updater_testing::publishTree(published_.path(), files);
  // About 330 ms for each big file, all of them at once.
  server_.setThrottle(65536, std::chrono::milliseconds(20));
  {
    testing_support::Process process({TOLVEX_TEST_CLIENT, "update"}, clientOptions());
    const auto startedFiles = [&] {
      int count = 0;
      for (std::size_t i = 1; i < files.size(); ++i) {
        const std::string pending = clientFile(files[i].path + kPending);
        count += fileExists(pending) && std::filesystem::file_size(pending) > 0 ? 1 : 0;
      }
      return count;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && startedFiles() < 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    process.kill(SIGKILL);
    const ProcessResult killed = process.wait();
    EXPECT_EQ(killed.signal, SIGKILL) << killed.exitStatus << "\n" << killed.err;
  }
  std::map<std::string, std::size_t> stagedBefore;
  for (const auto& file : files) {
    // Killed during staging: no target has been touched.
    EXPECT_FALSE(fileExists(clientFile(file.path))) << file.path;
    stagedBefore[file.path] = stagedPrefix(file);
  }
  int partial = 0;
  for (std::size_t i = 1; i < files.size(); ++i) {
    partial +=
        stagedBefore[files[i].path] > 0 && stagedBefore[files[i].path] < files[i].content.size();
  }
  EXPECT_GE(partial, 2);

  server_.setThrottle(std::size_t{1} << 20, std::chrono::milliseconds(0));
  server_.clearRequests();
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kUpToDate);
  expectClientMatches(files);
  for (const auto& file : files) {
    SCOPED_TRACE(file.path);
    const std::size_t before = stagedBefore[file.path];
    const auto requests = server_.requestsFor("/" + file.path);
    if (before == file.content.size()) {
      EXPECT_TRUE(requests.empty());  // complete already: not fetched again
    } else {
      ASSERT_EQ(requests.size(), 1U);
      EXPECT_EQ(requests[0].header("Range"),
                before == 0 ? "" : "bytes=" + std::to_string(before) + "-");
    }
  }
}

}  // namespace
