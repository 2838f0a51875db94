#include "updater/run/run_update.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "captured_output.hpp"
#include "client_fixture.hpp"
#include "common/base64.hpp"
#include "common/errors.hpp"
#include "common/system.hpp"
#include "crypto/sha3.hpp"
#include "crypto/sha3_batch.hpp"
#include "formats/tool_files.hpp"
#include "http/curl_library.hpp"
#include "published_tree.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"
#include "support/test_keys.hpp"

namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;
using updater_testing::CapturedOutput;
using updater_testing::PublishedFile;

// The update as the entry point runs it.
class RunUpdate : public updater_testing::ClientFixture {
 protected:
  // runUpdate with its output captured; an ExitRequest's status is returned as such.
  int run(bool verbose = false) {
    CapturedOutput capture;
    int result = 0;
    try {
      const updater::Network network{curl_, ""};
      result = updater::runUpdate(
          {verbose, testing_support::testTrustedKeys(), network, crypto::widestLaneWidth()});
    } catch (const common::ExitRequest& request) {
      // recovery point: the test inspects what a process would have ended with
      result = request.status();
    }
    output_ = capture.finish();
    return result;
  }

  updater_testing::Output output_;
};

TEST_F(RunUpdate, KeyNotBuiltInEndsAfterAPauseWithoutVerifying) {
  crypto::Seed seed{};
  seed.fill(7);
  const crypto::SignerKeypair stranger = crypto::createKeypair(seed);
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}}, stranger);
  updater_testing::writeSourceDescriptor(client_.path(), server_.url("/"),
                                         common::base64Encode(stranger.publicKey));
  EXPECT_EQ(run(), 255);
  EXPECT_EQ(output_.out, "error: public key mismatch\n");
  EXPECT_EQ(output_.err, "Checking updates...\n");
  EXPECT_EQ(pauses_, (std::vector<std::int64_t>{5000}));
  EXPECT_EQ(server_.requestsFor("/updater-catalog.sig").size(), 1U);
  EXPECT_FALSE(fileExists("a.txt"));
}

TEST_F(RunUpdate, TamperedCatalogFailsVerificationAndTouchesNothing) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}, {"b.txt", "b"}});
  std::string catalog = readFile(published_ / "updater-catalog.sha3");
  catalog[3] = catalog[3] == '0' ? '1' : '0';
  writeFile(published_ / "updater-catalog.sha3", catalog);
  writeFile("a.txt", "local");
  EXPECT_EQ(run(), -1);
  EXPECT_EQ(output_.err, "Checking updates...\n" + server_.url("/updater-catalog.sha3") +
                             " signature verification failed\n");
  EXPECT_EQ(readFile("a.txt"), "local");
  EXPECT_FALSE(fileExists("b.txt"));
  // Both asked for once more before the refusal, and no more.
  EXPECT_EQ(server_.requests().size(), 4U);
}

TEST_F(RunUpdate, SignatureOfAnotherPublishIsFetchedOnceMorePastCaches) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}});
  const std::string before = readFile(published_ / "updater-catalog.sig");
  updater_testing::publishTree(published_.path(), {{"a.txt", "a2"}});
  server_.failNext("/updater-catalog.sig", 1, 200, before);
  EXPECT_EQ(run(), 0);
  const auto requests = server_.requestsFor("/updater-catalog.sha3");
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[1].header("Cache-Control"), "no-cache");
}

TEST_F(RunUpdate, ARunThatAppliesPartOfACatalogKeepsOlderOnesOut) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a link to another user";
  }
  writeFile(published_ / "a.txt", "v1");
  updater_testing::publishCatalog(
      published_.path(), "; tolvex-release 100\n" + updater_testing::catalogLine("a.txt", "v1"));
  const std::string catalog100 = readFile(published_ / "updater-catalog.sha3");
  const std::string signature100 = readFile(published_ / "updater-catalog.sig");
  // a.txt is applied; lnk/x.txt, behind another user's link, is refused.
  const testing_support::TempDir outside;
  std::filesystem::create_symlink(outside.path(), "lnk");
  ASSERT_EQ(::lchown("lnk", 65534, 65534), 0);
  writeFile(published_ / "a.txt", "v2");
  updater_testing::publishCatalog(
      published_.path(), "; tolvex-release 200\n" + updater_testing::catalogLine("a.txt", "v2") +
                             updater_testing::catalogLine("lnk/x.txt", "x"));
  EXPECT_EQ(run(), -1);
  // The old release replayed, with its files.
  writeFile(published_ / "a.txt", "v1");
  writeFile(published_ / "updater-catalog.sha3", catalog100);
  writeFile(published_ / "updater-catalog.sig", signature100);
  EXPECT_EQ(run(), -1);
  EXPECT_EQ(readFile("a.txt"), "v2");
}

TEST_F(RunUpdate, SignatureTextIsReadLeniently) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}});
  const std::string signature = readFile(published_ / "updater-catalog.sig");
  struct Case {
    const char* name;
    std::string text;
    int expected;
  };
  for (const auto& c :
       std::vector<Case>{{"trailing line feed", signature + "\n", 0},
                         {"signature of another catalog",
                          common::base64Encode(std::vector<std::uint8_t>(64, 1)), -1}}) {
    SCOPED_TRACE(c.name);
    writeFile(published_ / "updater-catalog.sig", c.text);
    EXPECT_EQ(run(), c.expected);
  }
  writeFile(published_ / "updater-catalog.sig", "\t" + signature);
  EXPECT_THROW(run(), common::ValueError);
  writeFile(published_ / "updater-catalog.sig", signature.substr(0, 44));
  EXPECT_THROW(run(), common::AssertionDefect);
}

TEST_F(RunUpdate, UnreachableServerIsRetriedThenFailsOnTheTransfer) {
  updater_testing::writeSourceDescriptor(client_.path(), "http://127.0.0.1:1/");
  try {
    run();
    ADD_FAILURE() << "no error";
  } catch (const common::CurlError& error) {
    EXPECT_EQ(error.message(),
              "http://127.0.0.1:1/updater-catalog.sig: Couldn't connect to server");
  }
  EXPECT_EQ(pauses_.size(), 18U);
}

TEST_F(RunUpdate, PathListedTwiceIsStagedAndAppliedOnce) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}});
  updater_testing::publishCatalog(
      published_.path(),
      updater_testing::catalogLine("a.txt", "a") + updater_testing::catalogLine("a.txt", "a"));
  EXPECT_EQ(run(true), 0);
  EXPECT_EQ(readFile("a.txt"), "a");
  EXPECT_FALSE(fileExists("a.txt.tolvex-pending"));
  EXPECT_EQ(server_.requestsFor("/a.txt").size(), 1U);
  EXPECT_EQ(output_.out, "Checking update at " + server_.url("/updater-catalog.sha3") + "\n");
  EXPECT_EQ(output_.err, "\nAll files are up to date.\n");
}

TEST_F(RunUpdate, NamesThatDifferOnlyInEmptyOrDotSegmentsAreStagedOnce) {
  // Downloaded side by side, two names of one file would write one staged file.
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}, {"sub/b.txt", "b"}});
  updater_testing::publishCatalog(published_.path(),
                                  updater_testing::catalogLine("a.txt", "a") +
                                      updater_testing::catalogLine("./a.txt", "a") +
                                      updater_testing::catalogLine("sub//b.txt", "b") +
                                      updater_testing::catalogLine("sub/./b.txt", "b"));
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(output_.err, "Checking updates...\n\nAll files are up to date.\n");
  EXPECT_EQ(readFile("a.txt"), "a");
  EXPECT_EQ(readFile("sub/b.txt"), "b");
  // The two files travel side by side, in either order.
  std::multiset<std::string> fetched;
  for (const auto& request : server_.requests()) {
    fetched.insert(request.path);
  }
  // And what the publisher has for each new file: nothing here.
  const auto described = [](std::string_view content) {
    return "/" + formats::toolFolderPathOf(formats::descriptionNameOf(crypto::sha3Hex(content)));
  };
  EXPECT_EQ(fetched,
            (std::multiset<std::string>{"/updater-catalog.sha3", "/updater-catalog.sig", "/a.txt",
                                        "/sub//b.txt", described("a"), described("b")}));
}

TEST_F(RunUpdate, BaseQueryFollowsEveryPath) {
  updater_testing::publishTree(published_.path(), {{"app/a b.txt", "a"}});
  updater_testing::publishCatalog(published_.path() + "/app",
                                  updater_testing::catalogLine("a b.txt", "a"));
  updater_testing::writeSourceDescriptor(client_.path(), server_.url("/app?v=2"));
  EXPECT_EQ(run(true), 0);
  EXPECT_EQ(output_.out,
            "Checking update at " + server_.url("/app/updater-catalog.sha3?v=2") + "\n");
  // The catalog and its signature travel side by side, in either order.
  std::multiset<std::string> targets;
  for (const auto& request : server_.requests()) {
    targets.insert(request.path);
  }
  EXPECT_EQ(
      targets,
      (std::multiset<std::string>{
          "/app/updater-catalog.sha3?v=2", "/app/updater-catalog.sig?v=2", "/app/a%20b.txt?v=2",
          "/app/" + formats::toolFolderPathOf(formats::descriptionNameOf(crypto::sha3Hex("a"))) +
              "?v=2"}));
  EXPECT_EQ(readFile("a b.txt"), "a");
}

TEST_F(RunUpdate, TargetThatStaysLockedIsNotReplaced) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}, {"d", "d"}});
  std::filesystem::create_directory("d");
  EXPECT_EQ(run(), -1);
  std::string expected = "Checking updates...\n";
  for (int pass = 0; pass < 12; ++pass) {
    expected += "\nlocked files: @[\"d\"]\n   retring in 5 seconds\n";
  }
  expected += "\nExiting due to locked files. Update not applied, no files changed.\n";
  EXPECT_EQ(output_.err, expected);
  EXPECT_EQ(pauses_.size(), 12U);
  // Nothing was moved and nothing was created by the probe.
  EXPECT_FALSE(fileExists("a.txt"));
  EXPECT_EQ(readFile("a.txt.tolvex-pending"), "a");
  EXPECT_EQ(readFile("d.tolvex-pending"), "d");
}

TEST_F(RunUpdate, EmptySignedCatalogIsUpToDate) {
  updater_testing::publishCatalog(published_.path(), "");
  writeFile("local.txt", "mine");
  // The catalog and its signature are asked for at once: one round trip, not two.
  server_.gatherRequests("/updater-catalog.s", 2);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(server_.maxConcurrentRequests(), 2);
  EXPECT_EQ(output_.err, "Checking updates...\n\nAll files are up to date.\n");
  EXPECT_EQ(readFile("local.txt"), "mine");
}

TEST_F(RunUpdate, CatalogFileOfTheRunIsGoneWhateverItsAnswer) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}});
  const std::string name = "updater-catalog.sha3.tolvex-download";
  const auto left = [&name] {
    return std::filesystem::exists(std::filesystem::symlink_status(name));
  };
  // What a killed run may leave, here a link that must not be written through.
  const testing_support::TempDir elsewhere;
  writeFile(elsewhere / "target", "kept");
  std::filesystem::create_symlink(elsewhere / "target", name);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(readFile("a.txt"), "a");
  EXPECT_EQ(readFile(elsewhere / "target"), "kept");
  EXPECT_FALSE(left());

  // An answer that is no catalog, compressed as a bomb would be.
  writeFile(published_ / "updater-catalog.sha3", std::string(std::size_t{3} << 20, 'x'));
  server_.setGzip("/updater-catalog.sha3");
  EXPECT_EQ(run(), -1);
  EXPECT_FALSE(left());
}

}  // namespace
