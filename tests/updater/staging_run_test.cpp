// stageFiles: several requests staged at once, outcomes taken in request order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "captured_output.hpp"
#include "client_fixture.hpp"
#include "common/errors.hpp"
#include "common/system.hpp"
#include "crypto/sha3.hpp"
#include "crypto/sha3_batch.hpp"
#include "http/connection_pool.hpp"
#include "http/curl_library.hpp"
#include "published_tree.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"
#include "updater/route/publisher_offer.hpp"
#include "updater/staging/staging.hpp"

namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;
using updater::StageRequest;
using updater_testing::CapturedOutput;
using updater_testing::mismatchReport;
using updater_testing::sample;

// How a stageFiles call ended.
struct Outcome {
  std::vector<std::string> staged;
  int status = 0;         // of an ExitRequest
  std::string errorKind;  // of another error
  std::string errorMessage;
  updater_testing::Output output;
};

// stageFiles, several entries at once.
class StageFiles : public updater_testing::ClientFixture {
 protected:
  Outcome stage(const std::vector<StageRequest>& requests, bool verbose = false,
                std::size_t maxInFlight = updater::kMaxTransfersInFlight) {
    return stageThrough(pool_, requests, verbose, maxInFlight);
  }

  Outcome stageThrough(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
                       bool verbose, std::size_t maxInFlight) {
    Outcome outcome;
    CapturedOutput capture;
    try {
      updater::FailureReporter reporter;
      for (auto& file : updater::stageFiles(pool, requests, 100, verbose, reporter,
                                            crypto::widestLaneWidth(), maxInFlight)
                            .files) {
        outcome.staged.push_back(std::move(file.path));
      }
    } catch (const common::ExitRequest& request) {
      // recovery point: the test inspects what a process would have ended with
      outcome.status = request.status();
    } catch (const common::Error& error) {
      // recovery point: the test inspects the error that would reach the top
      outcome.errorKind = error.kindName();
      outcome.errorMessage = error.message();
    }
    outcome.output = capture.finish();
    return outcome;
  }

  // Publishes `content` under `path` and returns the request that asks for it.
  StageRequest publish(const std::string& path, const std::string& content,
                       std::int64_t currentFile) {
    writeFile(published_ / path, content);
    return {crypto::sha3Hex(content), path, currentFile};
  }
};

TEST_F(StageFiles, StagesSideBySideAndTakesOutcomesInRequestOrder) {
  // Every third request is up to date, every third already staged, the rest
  // (one of them half staged) are downloaded.
  std::vector<StageRequest> requests;
  std::vector<std::string> expectedStaged;
  std::string expectedOut;
  for (int i = 0; i < 30; ++i) {
    std::string path = "d";
    path.append(std::to_string(i % 4)).append("/f").append(std::to_string(i));
    const std::string content = sample(1000 + static_cast<std::size_t>(i) * 100);
    requests.push_back(publish(path, content, i));
    if (i % 3 == 0) {
      writeFile(path, content);
      continue;
    }
    expectedStaged.push_back(path);
    if (i % 3 == 1) {
      writeFile(path + ".tolvex-pending", content);
      expectedOut += "Already downloaded: " + path + "\n";
    } else if (i == 2) {
      writeFile(path + ".tolvex-pending", content.substr(0, 500));
    }
  }
  // Ten downloads: the first eight are answered only once all eight have come.
  server_.gatherRequests("/d", 8);
  const Outcome outcome = stage(requests, true);
  EXPECT_EQ(outcome.staged, expectedStaged);
  EXPECT_EQ(outcome.output.out, expectedOut);
  EXPECT_EQ(outcome.output.err, "");
  EXPECT_EQ(server_.maxConcurrentRequests(), 8);
  // And the descriptions that new files ask for, until as many are missing.
  EXPECT_EQ(server_.requests().size(), 10U + updater::PublisherOffer::kDescriptionMisses);
  EXPECT_EQ(server_.requestsFor("/d2/f2")[0].header("Range"), "bytes=500-");
  for (const StageRequest& request : requests) {
    const std::string pending = request.path + ".tolvex-pending";
    if (fileExists(pending)) {
      EXPECT_EQ(crypto::sha3FileHex(pending), request.digest) << pending;
    }
  }
}

TEST_F(StageFiles, NoMoreTransfersRunThanAllowed) {
  for (const std::size_t allowed : {1U, 3U}) {
    SCOPED_TRACE(allowed);
    testing_support::TestHttpServer server(published_.path());
    // Its connections close before the server stops, which would otherwise
    // wait out its keep-alive time-out.
    http::ConnectionPool pool(curl_);
    updater_testing::writeSourceDescriptor(client_.path(), server.url("/"));
    server.gatherRequests("/n", static_cast<int>(allowed));
    std::vector<StageRequest> requests;
    for (int i = 0; i < 5; ++i) {
      const std::string path = "n" + std::to_string(allowed) + "-" + std::to_string(i);
      requests.push_back(publish(path, path, i));
    }
    const Outcome outcome = stageThrough(pool, requests, false, allowed);
    EXPECT_EQ(outcome.staged.size(), 5U);
    EXPECT_EQ(server.maxConcurrentRequests(), static_cast<int>(allowed));
  }
}

TEST_F(StageFiles, PauseOfOneTransferDoesNotHoldUpTheOthers) {
  const std::vector<StageRequest> requests = {
      publish("a.txt", "a", 0),
      publish("b.bin", sample(320000), 1),
  };
  server_.failNext("/a.txt", 1, 503, "busy");
  // About 600 ms for b.bin: the retry of a.txt is due 5 s after its failure.
  server_.setThrottle(32000, std::chrono::milliseconds(60));
  const Outcome outcome = stage(requests);
  EXPECT_EQ(outcome.staged, (std::vector<std::string>{"a.txt", "b.bin"}));
  EXPECT_EQ(outcome.output.err,
            "\nerror: " + server_.url("/a.txt") + ": http code 503. retrying (1/10)\n");
  // While b.bin was running the pause went on by the clock; only what was left
  // of it after b.bin had ended went through the replaceable sleep.
  ASSERT_EQ(pauses_.size(), 1U);
  // b.bin takes at least 600 ms at this throttle, however fast the machine.
  EXPECT_LT(pauses_[0], 5000 - 300);
  EXPECT_EQ(server_.requestsFor("/a.txt").size(), 2U);
  EXPECT_EQ(server_.requestsFor("/b.bin").size(), 1U);
}

TEST_F(StageFiles, GivingUpOnOneLetsTheOthersFinishFirst) {
  const std::string expected = crypto::sha3Hex("content");
  const std::vector<StageRequest> requests = {
      {expected, "gone.txt", 0},
      publish("here.txt", "here", 1),
  };
  // An old copy too small to be described: it is fetched at once, while the
  // new file first asks for its description.
  writeFile("here.txt", "old");
  const Outcome outcome = stage(requests);
  EXPECT_EQ(outcome.status, 255);
  std::string reports;
  for (int i = 1; i <= 10; ++i) {
    reports += "\nerror: " + server_.url("/gone.txt") + ": http code 404. " +
               (i < 10 ? "retrying" : "giving up") + " (" + std::to_string(i) + "/10)\n";
  }
  EXPECT_EQ(outcome.output.err,
            reports + mismatchReport("gone.txt", expected, crypto::sha3Hex("")));
  EXPECT_EQ(pauses_.size(), 9U);
  EXPECT_FALSE(fileExists("gone.txt.tolvex-pending"));
  EXPECT_EQ(readFile("here.txt.tolvex-pending"), "here");
}

TEST_F(StageFiles, AFailingServerCostsTheAttemptsOfOneFileNotOfEveryFile) {
  // While a request waits out its pause, none behind it starts: only those
  // already underway fail with it, and only the oldest retries. Sixteen are
  // checked by one job, so they queue in request order.
  std::vector<StageRequest> requests;
  for (int i = 0; i < 16; ++i) {
    requests.push_back({crypto::sha3Hex("content"), "gone" + std::to_string(i), i});
  }
  const Outcome outcome = stage(requests);
  EXPECT_EQ(outcome.status, 255);
  // New files ask for their descriptions first, a few at a time: how many of
  // them are under way when the first failure pauses depends on when those
  // answers come, so the file requests are bounded, not counted.
  const auto described = std::ranges::count_if(
      server_.requests(), [](const auto& request) { return request.path.ends_with(".desc"); });
  EXPECT_LE(described, updater::PublisherOffer::kDescriptionMisses);
  const auto files = std::ssize(server_.requests()) - described;
  EXPECT_LE(files, static_cast<std::ptrdiff_t>(updater::kMaxTransfersInFlight) + 9);
  EXPECT_EQ(server_.requestsFor("/gone0").size(), 10U);
  const std::string report = mismatchReport("gone0", requests[0].digest, crypto::sha3Hex(""));
  ASSERT_TRUE(outcome.output.err.ends_with(report)) << outcome.output.err;
  // Two lines a failure, an empty one and the error, before the report.
  EXPECT_EQ(std::ranges::count(outcome.output.err, '\n'), 2 * files + 4);
}

TEST_F(StageFiles, MismatchWaitsForEarlierRequestsAndStopsLaterOnes) {
  const std::string big = sample(std::size_t{2} << 20, 'k');
  const std::vector<StageRequest> requests = {
      publish("early.bin", sample(200000), 0),
      {crypto::sha3Hex("genuine"), "forged.txt", 1},
      publish("late.bin", big, 2),
  };
  writeFile(published_ / "forged.txt", "forged!");
  // early.bin takes about 130 ms, late.bin more than a second.
  server_.setThrottle(32768, std::chrono::milliseconds(20));
  const Outcome outcome = stage(requests);
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(outcome.output.err,
            mismatchReport("forged.txt", crypto::sha3Hex("genuine"), crypto::sha3Hex("forged!")));
  EXPECT_EQ(crypto::sha3FileHex("early.bin.tolvex-pending"), requests[0].digest);
  EXPECT_FALSE(fileExists("forged.txt.tolvex-pending"));
  // Stopped early, keeping what had arrived for the next run.
  const std::string partial =
      fileExists("late.bin.tolvex-pending") ? readFile("late.bin.tolvex-pending") : std::string();
  EXPECT_LT(partial.size(), big.size());
  EXPECT_EQ(partial, big.substr(0, partial.size()));
}

TEST_F(StageFiles, TheFirstFailureInRequestOrderIsTheOneReported) {
  const std::string forgedDigest = crypto::sha3Hex("genuine");
  // A file in the way of a directory fails the request with an OSError; a
  // target that reads fail (this process's memory at address 0) with an IOError.
  writeFile("blocker", "a file");
  std::filesystem::create_symlink("/proc/self/mem", "unreadable");
  writeFile(published_ / "slow-forged.bin", sample(300000));
  writeFile(published_ / "forged.txt", "forged!");
  struct Case {
    const char* name;
    std::vector<StageRequest> requests;
    int status;
    std::string errorKind;
    std::string err;
    std::vector<std::string> untouched;  // never requested
  };
  const std::vector<Case> cases = {
      {"slow mismatch before a fast one",
       {{forgedDigest, "slow-forged.bin", 0}, {forgedDigest, "forged.txt", 1}},
       255,
       "",
       mismatchReport("slow-forged.bin", forgedDigest, crypto::sha3Hex(sample(300000))),
       {}},
      {"mismatch before a directory error",
       {{forgedDigest, "slow-forged.bin", 0}, {forgedDigest, "blocker/x.txt", 1}},
       255,
       "",
       mismatchReport("slow-forged.bin", forgedDigest, crypto::sha3Hex(sample(300000))),
       {}},
      {"directory error before a mismatch",
       {{forgedDigest, "blocker/x.txt", 0}, {forgedDigest, "forged.txt", 1}},
       0,
       "OSError",
       "",
       {"/forged.txt"}},
      {"unreadable target before a download",
       {publish("ok.txt", "ok", 0), {forgedDigest, "unreadable", 1}, publish("after.txt", "x", 2)},
       0,
       "IOError",
       "",
       {"/after.txt"}},
  };
  server_.setThrottle(32768, std::chrono::milliseconds(20));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.clearRequests();
    const Outcome outcome = stage(c.requests);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.errorKind, c.errorKind) << outcome.errorMessage;
    EXPECT_EQ(outcome.output.err, c.err);
    for (const std::string& path : c.untouched) {
      EXPECT_TRUE(server_.requestsFor(path).empty()) << path;
    }
  }
  // The download before the unreadable target was staged in full.
  EXPECT_EQ(readFile("ok.txt.tolvex-pending"), "ok");
}

}  // namespace
