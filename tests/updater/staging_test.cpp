#include "updater/staging/staging.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "captured_output.hpp"
#include "client_fixture.hpp"
#include "common/errors.hpp"
#include "common/system.hpp"
#include "crypto/sha3.hpp"
#include "crypto/sha3_batch.hpp"
#include "http/curl_library.hpp"
#include "published_tree.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"
#include "updater/staging/progress.hpp"

namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;
using updater_testing::CapturedOutput;
using updater_testing::mismatchReport;
using updater_testing::sample;

// stageFiles, one entry at a time.
class StageFile : public updater_testing::ClientFixture {
 protected:
  // `path` staged alone with its output captured: `path` when a staged file is
  // ready, nothing when the target is up to date. `status_` is the ExitRequest
  // status, if any.
  std::optional<std::string> stage(std::string_view digest, const std::string& path,
                                   bool verbose = false) {
    CapturedOutput capture;
    std::optional<std::string> result;
    try {
      updater::FailureReporter reporter;
      const updater::StagingResult staged = updater::stageFiles(
          pool_, {{std::string(digest), path, 1}}, 5, verbose, reporter, crypto::widestLaneWidth());
      if (!staged.files.empty()) {
        result = staged.files.front().path;
      }
    } catch (const common::ExitRequest& request) {
      // recovery point: the test inspects what a process would have ended with
      status_ = request.status();
    }
    output_ = capture.finish();
    return result;
  }

  updater_testing::Output output_;
  int status_ = 0;
};

TEST_F(StageFile, UpToDateTargetIsLeftAloneWithoutNetwork) {
  writeFile(published_ / "dir/a.txt", "same");
  writeFile("dir/a.txt", "same");
  writeFile("dir/a.txt.tolvex-pending", "left over");
  // A staged file beside it goes, a link itself and not what it points to; but
  // not behind another user's link, where staging would not write either.
  writeFile("b.txt", "same");
  writeFile("outside", "kept");
  std::filesystem::create_symlink("outside", "b.txt.tolvex-pending");
  writeFile("theirs/c.txt", "same");
  writeFile("theirs/c.txt.tolvex-pending", "theirs");
  std::filesystem::create_directory_symlink("theirs", "link");
  const bool root = ::geteuid() == 0 && ::lchown("link", 65534, 65534) == 0;
  for (const char* path : {"dir/a.txt", "b.txt", "link/c.txt"}) {
    EXPECT_EQ(stage(crypto::sha3Hex("same"), path), std::nullopt);
  }
  // An empty digest text stands for "not a regular file": a missing target matches it.
  EXPECT_EQ(stage("", "x/y/missing"), std::nullopt);
  EXPECT_FALSE(fileExists("dir/a.txt.tolvex-pending"));
  EXPECT_FALSE(std::filesystem::is_symlink("b.txt.tolvex-pending"));
  EXPECT_EQ(readFile("outside"), "kept");
  EXPECT_EQ(fileExists("theirs/c.txt.tolvex-pending"), root);
  EXPECT_FALSE(fileExists("x"));
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_EQ(output_.out + output_.err, "");
}

TEST_F(StageFile, MissingTargetIsDownloadedBelowNewDirectories) {
  const std::string content = sample(5000);
  writeFile(published_ / "a/b/c.bin", content);
  EXPECT_EQ(stage(crypto::sha3Hex(content), "a/b/c.bin"), "a/b/c.bin");
  EXPECT_EQ(readFile("a/b/c.bin.tolvex-pending"), content);
  EXPECT_FALSE(fileExists("a/b/c.bin"));
  const auto requests = server_.requestsFor("/a/b/c.bin");
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_FALSE(requests[0].hasHeader("Range"));
  EXPECT_EQ(output_.out + output_.err, "");
}

TEST_F(StageFile, CompleteStagedFileIsReusedWithoutNetwork) {
  for (const bool verbose : {false, true}) {
    SCOPED_TRACE(verbose);
    writeFile("f.txt", "old");
    writeFile("f.txt.tolvex-pending", "new");
    EXPECT_EQ(stage(crypto::sha3Hex("new"), "f.txt", verbose), "f.txt");
    EXPECT_EQ(output_.out, verbose ? "Already downloaded: f.txt\n" : "");
    EXPECT_EQ(output_.err, "");
    EXPECT_EQ(readFile("f.txt"), "old");
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(StageFile, PartialStagedFileIsResumedAndProgressCountsTheRemainder) {
  const std::string content = sample(10000);
  writeFile(published_ / "big.bin", content);
  writeFile("big.bin.tolvex-pending", content.substr(0, 4000));
  const updater::ScopedTerminalColumnsOverride terminal(50);
  EXPECT_EQ(stage(crypto::sha3Hex(content), "big.bin"), "big.bin");
  EXPECT_EQ(readFile("big.bin.tolvex-pending"), content);
  const auto requests = server_.requestsFor("/big.bin");
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].header("Range"), "bytes=4000-");
  // The last status line shows the whole remainder: 6000 bytes of this answer.
  const std::string last = "[2 of 5] big.bin 5.86 KB / 5.86 KB";
  EXPECT_TRUE(output_.err.ends_with(last + std::string(49 - last.size(), ' ') + "\r"))
      << output_.err;
}

TEST_F(StageFile, MismatchIsReportedAndTheStagedFileDeleted) {
  struct Case {
    const char* name;
    std::string staged;  // "": none
  };
  const std::string remote = "tampered content";
  for (const auto& c : std::vector<Case>{
           {"fresh download", ""}, {"stale staged file of the same length", "xxxxxxxxxxxxxxxx"}}) {
    SCOPED_TRACE(c.name);
    writeFile(published_ / "t.txt", remote);
    writeFile("t.txt", "old");
    if (!c.staged.empty()) {
      writeFile("t.txt.tolvex-pending", c.staged);
    }
    const std::string expected = crypto::sha3Hex("the published content");
    status_ = 0;
    EXPECT_EQ(stage(expected, "t.txt"), std::nullopt);
    EXPECT_EQ(status_, 255);
    const std::string downloaded = crypto::sha3Hex(c.staged.empty() ? remote : c.staged);
    EXPECT_EQ(output_.err, mismatchReport("t.txt", expected, downloaded));
    EXPECT_FALSE(fileExists("t.txt.tolvex-pending"));
    EXPECT_EQ(readFile("t.txt"), "old");
  }
}

TEST_F(StageFile, TransientFailuresAreRetriedAfterAPause) {
  writeFile(published_ / "f.txt", "content");
  server_.failNext("/f.txt", 2, 503, "busy");
  EXPECT_EQ(stage(crypto::sha3Hex("content"), "f.txt"), "f.txt");
  const std::string report = "\nerror: " + server_.url("/f.txt") + ": http code 503. retrying (";
  EXPECT_EQ(output_.err, report + "1/10)\n" + report + "2/10)\n");
  EXPECT_EQ(pauses_, (std::vector<std::int64_t>{5000, 5000}));
  EXPECT_EQ(readFile("f.txt.tolvex-pending"), "content");
}

TEST_F(StageFile, GivingUpEndsWithTheMismatchReport) {
  const std::string expected = crypto::sha3Hex("content");
  EXPECT_EQ(stage(expected, "gone.txt"), std::nullopt);
  EXPECT_EQ(status_, 255);
  std::string reports;
  for (int i = 1; i <= 10; ++i) {
    reports += "\nerror: " + server_.url("/gone.txt") + ": http code 404. " +
               (i < 10 ? "retrying" : "giving up") + " (" + std::to_string(i) + "/10)\n";
  }
  // The failed attempts left an empty staged file behind, whose digest is shown.
  EXPECT_EQ(output_.err, reports + mismatchReport("gone.txt", expected, crypto::sha3Hex("")));
  EXPECT_EQ(pauses_.size(), 9U);
  EXPECT_FALSE(fileExists("gone.txt.tolvex-pending"));
}

TEST_F(StageFile, DirectoryThatIsAFileFailsWithTheSystemError) {
  writeFile("a", "a file");
  try {
    stage(crypto::sha3Hex("x"), "a/b/c.txt");
    ADD_FAILURE() << "no error";
  } catch (const common::OSError& error) {
    EXPECT_EQ(error.message(), "Not a directory\nAdditional info: a");
  }
  EXPECT_EQ(readFile("a"), "a file");
}

TEST_F(StageFile, NamesWithUrlDelimitersAreFetchedFromTheirOwnPath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a b.txt", "/a%20b.txt"},
      {"what?x=1", "/what%3Fx%3D1"},
      {"hash#tag", "/hash%23tag"},
      {"100%.txt", "/100%25.txt"},
      {"dir #2/x?.bin", "/dir%20%232/x%3F.bin"},
  };
  for (const auto& [name, target] : cases) {
    SCOPED_TRACE(name);
    writeFile(published_ / name, "content of " + name);
    server_.clearRequests();
    EXPECT_EQ(stage(crypto::sha3Hex("content of " + name), name), name);
    EXPECT_EQ(readFile(name + ".tolvex-pending"), "content of " + name);
    // Besides the new file's description, missing here.
    auto requests = server_.requests();
    std::erase_if(requests, [](const auto& request) { return request.path.starts_with("/."); });
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].path, target);
  }
}

TEST_F(StageFile, ResumedAndRestartedDownloadsAreVerifiedAsTheyArrive) {
  // The digest is taken from the bytes as they are written: the part already
  // staged, then the rest, or everything anew when the server ignores the range.
  const std::string content = sample(900000);
  writeFile(published_ / "r.bin", content);
  for (const bool ignoreRange : {false, true}) {
    SCOPED_TRACE(ignoreRange ? "restarted" : "resumed");
    server_.setIgnoreRange(ignoreRange);
    server_.clearRequests();
    writeFile("r.bin.tolvex-pending", content.substr(0, 400000));
    EXPECT_EQ(stage(crypto::sha3Hex(content), "r.bin"), "r.bin");
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(readFile("r.bin.tolvex-pending"), content);
    EXPECT_EQ(server_.requestsFor("/r.bin").at(0).header("Range"), "bytes=400000-");
  }
  // A staged prefix that is not the file's start ends in the mismatch report.
  server_.setIgnoreRange(false);
  writeFile("r.bin.tolvex-pending", std::string(400000, '?'));
  EXPECT_EQ(stage(crypto::sha3Hex(content), "r.bin"), std::nullopt);
  EXPECT_EQ(status_, 255);
  EXPECT_FALSE(fileExists("r.bin.tolvex-pending"));
}

}  // namespace
