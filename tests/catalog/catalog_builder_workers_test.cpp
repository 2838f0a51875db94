// The catalog builder with its digests computed on several threads: the lines,
// their order and the point where a failure surfaces must be those of one thread.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "catalog/block_index_folder.hpp"
#include "catalog/catalog_builder.hpp"
#include "catalog/ignore_rules.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/system.hpp"
#include "crypto/sha3.hpp"
#include "crypto/sha3_batch.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

constexpr std::size_t kWorkerCounts[] = {1, 2, 3, 8};

// Every hashing path this processor has, each with each worker count.
std::vector<std::pair<std::size_t, crypto::LaneWidth>> workersAndLanes() {
  std::vector<std::pair<std::size_t, crypto::LaneWidth>> runs;
  for (const crypto::LaneWidth lanes :
       {crypto::LaneWidth::kOne, crypto::LaneWidth::kFour, crypto::LaneWidth::kEight}) {
    if (lanes <= crypto::widestLaneWidth()) {
      for (const std::size_t workers : kWorkerCounts) {
        runs.emplace_back(workers, lanes);
      }
    }
  }
  return runs;
}

// Candidate paths in walk order, found independently of the builder: a
// directory's files in listing order, then its subdirectories, the one listed
// last first; links are neither followed nor listed.
std::vector<std::string> walkOrder() {
  std::vector<std::string> order;
  std::vector<std::string> stack{""};
  while (!stack.empty()) {
    const std::string directory = stack.back();
    stack.pop_back();
    for (const fs::directory_entry& entry :
         fs::directory_iterator(directory.empty() ? "." : directory)) {
      const std::string rel =
          (directory.empty() ? "" : directory + "/") + entry.path().filename().string();
      if (entry.is_symlink()) {
        continue;
      }
      if (entry.is_directory()) {
        stack.push_back(rel);
      } else {
        order.push_back(rel);
      }
    }
  }
  return order;
}

std::string slashed(std::string path) {
  for (char& c : path) {
    if (c == '\\') {
      c = '/';
    }
  }
  return path;
}

struct Output {
  std::string catalog;
  std::string out;
  std::string error;  // kind and message of the error raised, if any
};

// A few hundred files in nested directories. Every tenth file is a few hundred
// KiB, so that with several workers the small files behind it are hashed first.
class CatalogBuilderWorkers : public ::testing::Test {
 protected:
  CatalogBuilderWorkers() : cwd_(tree_.path()) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 300; ++i) {
      std::string name;
      if (i % 4 != 0) {
        name.append("d").append(std::to_string(i % 7)).append("/");
      }
      if (i % 5 == 0) {
        name.append("n").append(std::to_string(i % 3)).append("/");
      }
      name.append("f").append(std::to_string(i)).append(i % 13 == 0 ? ".skip" : ".small");
      constexpr std::size_t kKiB = 1024;
      const std::size_t size = i % 10 == 0 ? 128 * kKiB + random() % (256 * kKiB) : random() % 3000;
      std::string content(size, '\0');
      for (char& c : content) {
        c = static_cast<char>(byte(random));
      }
      writeFile(tree_ / name, content);
      contents_[name] = std::move(content);
    }
    EXPECT_EQ(::mkfifo((tree_ / "d3/pipe.small").c_str(), 0600), 0);
    contents_["d3/pipe.small"] = "";
  }

  // What a run prints and writes for `candidates`, the walk order's first ones.
  Output expected(const std::vector<std::string>& candidates, bool skipIgnored) const {
    Output output;
    for (const std::string& rel : candidates) {
      const std::string path = slashed(rel);
      if (skipIgnored && path.ends_with(".skip")) {
        output.out += "Ignored : " + path + "\n";
        continue;
      }
      const bool pipe = path == "d3/pipe.small";
      output.catalog += (pipe ? "" : crypto::sha3Hex(contents_.at(rel))) + " *" + path + "\n";
      output.out += "Added   : " + path + "\n";
    }
    return output;
  }

  Output build(const std::vector<std::string>& ignoreLines, std::size_t workers,
               crypto::LaneWidth lanes) const {
    const catalog::IgnoreRules rules(ignoreLines);
    Output output;
    catalog::ToolFolder folder;
    catalog::BlockIndexFolder indexes(folder, lanes);
    catalog::VersionStore versions(folder, {});
    common::OutputFile catalog("updater-catalog.sha3", "wb");
    testing::internal::CaptureStdout();
    try {
      catalog::buildCatalog(rules, common::executableFileName(""), catalog, indexes, versions,
                            lanes, workers);
    } catch (const common::Error& e) {
      // recovery point: the test compares the error and what came before it.
      output.error = std::string(e.kindName()) + ": " + e.message();
    }
    output.out = testing::internal::GetCapturedStdout();
    catalog.close();
    output.catalog = readFile(tree_ / "updater-catalog.sha3");
    return output;
  }

  void expectFailureAfterEarlierLines(const std::vector<std::string>& ignoreLines,
                                      const std::string& trigger, bool skipIgnored,
                                      const std::string& error) const;

  TempDir tree_;
  testing_support::ScopedWorkingDirectory cwd_;
  std::map<std::string, std::string> contents_;
};

TEST_F(CatalogBuilderWorkers, WritesTheSerialOutputWithAnyNumberOfWorkers) {
  const Output want = expected(walkOrder(), true);
  for (const auto& [workers, lanes] : workersAndLanes()) {
    SCOPED_TRACE(std::to_string(workers) + " workers, lanes " +
                 std::to_string(static_cast<int>(lanes)));
    const catalog::IgnoreRules rules({"**/*.skip"});
    catalog::ToolFolder folder;
    catalog::BlockIndexFolder indexes(folder, lanes);
    catalog::VersionStore versions(folder, {});
    common::OutputFile catalog("updater-catalog.sha3", "wb");
    testing::internal::CaptureStdout();
    const catalog::CatalogContent content = catalog::buildCatalog(
        rules, common::executableFileName(""), catalog, indexes, versions, lanes, workers);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), want.out);
    catalog.close();
    EXPECT_EQ(readFile(tree_ / "updater-catalog.sha3"), want.catalog);
    EXPECT_EQ(content.fileCount, std::count(want.catalog.begin(), want.catalog.end(), '\n'));
  }
}

// Builds with each worker count and expects exactly the lines of the candidates
// that come before the first one whose path ends in `trigger`, then `error`.
void CatalogBuilderWorkers::expectFailureAfterEarlierLines(
    const std::vector<std::string>& ignoreLines, const std::string& trigger, bool skipIgnored,
    const std::string& error) const {
  std::vector<std::string> before;
  const std::vector<std::string> order = walkOrder();
  for (const std::string& rel : order) {
    if (rel.ends_with(trigger)) {
      break;
    }
    before.push_back(rel);
  }
  // The triggers sit in two directories, so files follow the first in any walk order.
  ASSERT_LT(before.size() + 30, order.size());
  const Output want = expected(before, skipIgnored);
  for (const auto& [workers, lanes] : workersAndLanes()) {
    SCOPED_TRACE(std::to_string(workers) + " workers, lanes " +
                 std::to_string(static_cast<int>(lanes)));
    const Output output = build(ignoreLines, workers, lanes);
    EXPECT_EQ(output.error, error);
    EXPECT_EQ(output.out, want.out);
    EXPECT_EQ(output.catalog, want.catalog);
  }
}

TEST_F(CatalogBuilderWorkers, UnreadableFileFailsAfterEveryEarlierLine) {
  // As root, permissions do not stop a read. "/proc/self/mem" is a regular file
  // whose first block nobody can read (EIO): a name "proc\mem" beside a link
  // "proc" to "/proc/self" is hashed as "proc/mem", through that link.
  for (const std::string directory : {"d2", "d5/n0"}) {
    writeFile(tree_ / directory + "/proc\\mem", "");
    fs::create_directory_symlink("/proc/self", tree_ / directory + "/proc");
  }
  std::string error;
  try {
    crypto::sha3FileHexIfRegular("d2/proc/mem");
  } catch (const common::IOError& e) {
    // recovery point: the builder must raise this same error.
    error = "IOError: " + e.message();
  }
  ASSERT_NE(error, "");
  expectFailureAfterEarlierLines({"**/*.skip"}, "/proc\\mem", true, error);
}

TEST_F(CatalogBuilderWorkers, BadPatternFailsAfterEveryEarlierLine) {
  writeFile(tree_ / "d1/early.bad", "");
  writeFile(tree_ / "d4/n1/late.bad", "");
  // Only the ".bad" names get past the include lines to the bad pattern.
  expectFailureAfterEarlierLines({"!**/*.small", "!**/*.skip", "[a-]"}, ".bad", false,
                                 "GlobSyntaxError: Invalid range\n\n  [a-]\n    ^\n\n");
}

}  // namespace
