// Large files updated from the old copy and block indexes: what a delta costs,
// and that a wrong, hostile or missing index costs bytes, never the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "client_process_fixture.hpp"
#include "crypto/sha3.hpp"
#include "delta/block_index.hpp"
#include "formats/tool_files.hpp"
#include "published_tree.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "updater/plan/staging_plan.hpp"
#include "updater/route/delta_route.hpp"

namespace {

using process_testing::kUpToDate;
using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;
using updater_testing::binaryContent;

constexpr std::size_t kOldSize = 3 << 20;

// The new release of `old`: 100,000 bytes rewritten in the middle and 37 bytes
// inserted near the start, which shifts everything after them.
std::string newRelease(const std::string& old) {
  std::string changed = old;
  changed.replace(1500000, 100000, binaryContent(100000, 77));
  changed.insert(300000, binaryContent(37, 78));
  return changed;
}

struct DeltaLine {
  std::int64_t reused = -1;
  std::int64_t fetched = -1;
};

DeltaLine deltaLine(const std::string& out, const std::string& path) {
  const std::regex line("Delta: " + path + ": reused ([0-9]+) bytes, fetched ([0-9]+) bytes\n");
  std::smatch match;
  if (!std::regex_search(out, match, line)) {
    return {};
  }
  return {std::stoll(match[1]), std::stoll(match[2])};
}

class DeltaUpdate : public process_testing::ClientProcessFixture {
 protected:
  // Publishes `content` as big.bin with its catalog and, unless `index` says
  // otherwise, the index that update-catalog writes for it.
  void publish(const std::string& content, const std::string* index = nullptr) {
    updater_testing::publishTree(published_.path(), {{"big.bin", content}});
    std::filesystem::create_directories(published_ /
                                        std::string(formats::kBlockIndexDirectoryName));
    writeFile(published_ / indexPath(content),
              index != nullptr
                  ? *index
                  : delta::blockIndexOfFile(published_ / "big.bin", crypto::LaneWidth::kOne));
  }

  static std::string indexPath(const std::string& content) {
    return formats::blockIndexPathOf(crypto::sha3Hex(content));
  }

  // The index that update-catalog writes for a file holding `content`.
  static std::string indexOf(const std::string& content) {
    const testing_support::TempDir dir;
    writeFile(dir / "file", content);
    return delta::blockIndexOfFile(dir / "file", crypto::LaneWidth::kOne);
  }

  // Small files with three edits each all come by delta, whether the server
  // answers several ranges in one request or only one.
  void updateSmallFiles(bool rangeLists) {
    server_.setIgnoreRangeLists(!rangeLists);
    std::vector<updater_testing::PublishedFile> files;
    for (unsigned i = 0; i < 4; ++i) {
      const std::string old = binaryContent(150000, 40 + i);
      std::string changed = old;
      for (const std::size_t at : {20000U, 70000U, 120000U}) {
        changed.replace(at, 200, binaryContent(200, at + i));
      }
      files.push_back({"s" + std::to_string(i), changed});
      writeFile(clientFile(files.back().path), old);
    }
    updater_testing::publishTree(published_.path(), files);
    std::filesystem::create_directories(published_ /
                                        std::string(formats::kBlockIndexDirectoryName));
    for (const auto& file : files) {
      writeFile(published_ / indexPath(file.content), indexOf(file.content));
    }
    const testing_support::ProcessResult result = update({"-v"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out.find("Whole download"), std::string::npos) << result.out;
    for (const auto& file : files) {
      SCOPED_TRACE(file.path);
      EXPECT_EQ(readFile(clientFile(file.path)), file.content);
      EXPECT_GT(deltaLine(result.out, file.path).reused, 100000) << result.out;
    }
    std::size_t listsAsked = 0;
    for (const auto& request : server_.requests()) {
      listsAsked += request.header("Range").find(',') != std::string::npos ? 1 : 0;
    }
    EXPECT_GT(listsAsked, 0U);
  }

  const std::string old_ = binaryContent(kOldSize, 7);
  const std::string new_ = newRelease(old_);
};

TEST_F(DeltaUpdate, AChangedFileCostsTheBytesThatChanged) {
  publish(new_);
  writeFile(clientFile("big.bin"), old_);
  const testing_support::ProcessResult result = update({"-v"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(readFile(clientFile("big.bin")), new_);
  EXPECT_FALSE(fileExists(clientFile("big.bin.tolvex-pending")));
  const DeltaLine line = deltaLine(result.out, "big.bin");
  EXPECT_EQ(line.reused + line.fetched, static_cast<std::int64_t>(new_.size())) << result.out;
  EXPECT_GT(line.reused, static_cast<std::int64_t>(new_.size() * 9 / 10));
  // Only ranges of the file went out, none for the whole of it.
  for (const auto& request : server_.requestsFor("/big.bin")) {
    EXPECT_TRUE(request.hasHeader("Range"));
  }
}

TEST_F(DeltaUpdate, ManyChangedFilesTakeTheirTurnsAndAllComeByDelta) {
  std::vector<updater_testing::PublishedFile> files;
  for (unsigned i = 0; i < 5; ++i) {
    const std::string old = binaryContent(std::size_t{2} << 20, 20 + i);
    std::string name = "f";
    name += std::to_string(i);
    writeFile(clientFile(name), old);
    files.push_back({name, newRelease(old)});
  }
  updater_testing::publishTree(published_.path(), files);
  for (const auto& file : files) {
    std::filesystem::create_directories(published_ /
                                        std::string(formats::kBlockIndexDirectoryName));
    writeFile(published_ / indexPath(file.content), indexOf(file.content));
  }
  const testing_support::ProcessResult result = update({"-v"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  for (const auto& file : files) {
    SCOPED_TRACE(file.path);
    EXPECT_EQ(readFile(clientFile(file.path)), file.content);
    EXPECT_GT(deltaLine(result.out, file.path).reused, 0) << result.out;
  }
}

TEST_F(DeltaUpdate, SmallFilesComeByDeltaWithRangeLists) { updateSmallFiles(true); }

TEST_F(DeltaUpdate, SmallFilesComeByDeltaFromAServerOfSingleRanges) { updateSmallFiles(false); }

TEST_F(DeltaUpdate, AWrongOrMissingIndexCostsBytesNeverTheFile) {
  std::string truncated = indexOf(new_);
  truncated.resize(truncated.size() / 2);
  const std::string otherFiles = indexOf(old_);
  struct Case {
    const char* name;
    const std::string* index;  // nullptr: no index at all
    std::string reason;        // as -v gives it
  };
  const std::string garbage(5000, 'x');
  const std::string malformed = "the delta cannot be planned (malformed block index: ";
  // The old file's own index describes another file: every block it claims
  // is a wrong block, so the delta's digest fails and the file comes whole.
  const Case cases[] = {
      {"no index", nullptr, "no block index from the server (" + server_.url("/")},
      {"truncated", &truncated, malformed},
      {"garbage", &garbage, malformed},
      {"index of another file", &otherFiles, "the file built by delta does not match the catalog"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.index == nullptr) {
      updater_testing::publishTree(published_.path(), {{"big.bin", new_}});
      std::filesystem::remove_all(published_ / std::string(formats::kBlockIndexDirectoryName));
    } else {
      publish(new_, c.index);
    }
    writeFile(clientFile("big.bin"), old_);
    server_.clearRequests();
    const testing_support::ProcessResult result = update({"-v"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "\nAll files are up to date.\n");
    EXPECT_NE(result.out.find("\nWhole download: big.bin: " + c.reason), std::string::npos)
        << result.out;
    EXPECT_EQ(readFile(clientFile("big.bin")), new_);
    EXPECT_FALSE(fileExists(clientFile("big.bin.tolvex-pending")));
    if (c.index == nullptr) {
      // Without an index, one plain request brings the file, as it always did.
      const auto requests = server_.requestsFor("/big.bin");
      ASSERT_EQ(requests.size(), 1U);
      EXPECT_FALSE(requests[0].hasHeader("Range"));
    }
  }
}

TEST_F(DeltaUpdate, AnInterruptedDeltaIsResumedAfterWhatItStaged) {
  publish(new_);
  writeFile(clientFile("big.bin"), old_);
  const std::string pending = clientFile("big.bin.tolvex-pending");
  const auto stagedBytes = [&pending] {
    struct stat status {};
    return ::stat(pending.c_str(), &status) == 0 ? static_cast<std::int64_t>(status.st_size) : 0;
  };
  // The ranges wait at the server while the bytes before them are copied.
  server_.holdRequests("/big.bin");
  {
    testing_support::Process first({TOLVEX_TEST_CLIENT, "update"}, clientOptions());
    ASSERT_TRUE(eventually([&] { return stagedBytes() > 0; }));
    first.kill(SIGKILL);
    first.wait();
  }
  server_.releaseHeldRequests();
  const std::int64_t staged = stagedBytes();
  const testing_support::ProcessResult result = update({"-v"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(readFile(clientFile("big.bin")), new_);
  const DeltaLine line = deltaLine(result.out, "big.bin");
  EXPECT_EQ(line.reused + line.fetched, static_cast<std::int64_t>(new_.size()) - staged)
      << result.out;
}

TEST_F(DeltaUpdate, AnUpToDateLargeTargetIsLeftAloneWhateverItsIndexHeaderSays) {
  // Large enough that its index's header is asked for while it is hashed.
  const std::string large =
      binaryContent(static_cast<std::size_t>(updater::DeltaRoute::kProbedTargetBytes), 9);
  const std::string honest = indexOf(large);
  std::string lying = honest;
  lying[8] = static_cast<char>(lying[8] + 1);  // the file size, one byte more
  // Of another file and size: its plan takes the whole download.
  const std::string other = indexOf(std::string(large.size() + 1, 'x'));
  for (const std::string* index : {&honest, static_cast<const std::string*>(&lying), &other}) {
    SCOPED_TRACE(index == &honest ? "honest index" : index == &lying ? "lying header" : "other");
    publish(large, index);
    writeFile(clientFile("big.bin"), large);
    server_.clearRequests();
    struct stat before {};
    ASSERT_EQ(::stat(clientFile("big.bin").c_str(), &before), 0);
    const testing_support::ProcessResult result = update();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, kUpToDate);
    EXPECT_EQ(readFile(clientFile("big.bin")), large);
    // Nor is anything left staged for it, whatever began while it was hashed.
    EXPECT_FALSE(std::filesystem::exists(formats::pendingPathOf(clientFile("big.bin"))));
    // The header is not signed: only the digest says whether the file is replaced.
    struct stat after {};
    ASSERT_EQ(::stat(clientFile("big.bin").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    // What began while it was hashed asked for a few MiB of it at most.
    for (const auto& request : server_.requestsFor("/big.bin")) {
      long long first = 0;
      long long last = -1;
      EXPECT_EQ(std::sscanf(request.header("Range").c_str(), "bytes=%lld-%lld", &first, &last), 2);
      EXPECT_LT(last, updater::StagingPlan::kEarlyWholeBytes);
    }
  }
}

TEST_F(DeltaUpdate, AnOutOfDateLargeTargetComesWholeOnceAfterAnEarlyStart) {
  // Its index shows no block of it: its whole download begins while it is
  // hashed, stops after a few MiB, and goes on once the digest confirms.
  const std::string changed =
      binaryContent(static_cast<std::size_t>(updater::DeltaRoute::kProbedTargetBytes) + 5, 11);
  publish(changed);
  writeFile(clientFile("big.bin"), std::string(changed.size() - 5, 'x'));
  EXPECT_EQ(update().exitStatus, 0);
  EXPECT_EQ(readFile(clientFile("big.bin")), changed);
}

TEST_F(DeltaUpdate, ALargeTargetOfAnotherSizeAsksForItsIndexOnce) {
  // Its index header shows another size while it is hashed: the index may be
  // asked for then, a part after the probed start, or after the digest; each
  // byte once.
  const std::string old =
      binaryContent(static_cast<std::size_t>(updater::DeltaRoute::kProbedTargetBytes), 9);
  const std::string changed = newRelease(old);
  publish(changed);
  writeFile(clientFile("big.bin"), old);
  const testing_support::ProcessResult result = update({"-v"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(readFile(clientFile("big.bin")), changed);
  EXPECT_GT(deltaLine(result.out, "big.bin").reused, 0) << result.out;
  std::string indexUrl = "/";
  indexUrl += indexPath(changed);
  const auto indexBytes = static_cast<long long>(indexOf(changed).size());
  long long asked = 0;
  for (const auto& request : server_.requestsFor(indexUrl)) {
    long long first = 0;
    long long last = 0;
    asked += std::sscanf(request.header("Range").c_str(), "bytes=%lld-%lld", &first, &last) == 2
                 ? last - first + 1
                 : indexBytes;
  }
  EXPECT_EQ(asked, indexBytes);
}

TEST_F(DeltaUpdate, AServerThatIgnoresRangesSendsTheIndexAndTheFileOnce) {
  // Probed while it is hashed, and changed in five places: its ranges share a request.
  const std::string old =
      binaryContent(static_cast<std::size_t>(updater::DeltaRoute::kProbedTargetBytes), 9);
  std::string changed = newRelease(old);
  for (const std::size_t at : {4U << 20, 8U << 20, 12U << 20}) {
    changed.replace(at, 1000, binaryContent(1000, at));
  }
  publish(changed);
  writeFile(clientFile("big.bin"), old);
  server_.setIgnoreRange(true);
  const testing_support::ProcessResult result = update({"-v"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(readFile(clientFile("big.bin")), changed);
  EXPECT_NE(result.out.find("Whole download: big.bin: the server sends the whole file for a range"),
            std::string::npos)
      << result.out;
  // The probe's answer is the index. The ranges' answers are cut short at their
  // headers, which makes the bytes they cost depend on timing: the requests count.
  EXPECT_EQ(server_.requestsFor("/" + indexPath(changed)).size(), 1U);
  // The five ranges, then one alone, which shows that no range is served; then the file.
  EXPECT_EQ(server_.requestsFor("/big.bin").size(), 3U);
}

}  // namespace
