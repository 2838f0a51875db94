#include "catalog/block_index_folder.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "crypto/sha3.hpp"
#include "delta/block_index.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string kDigest = crypto::sha3Hex("a");
const std::string kIndex = ".tolvex-index/" + kDigest;

// A published root in the working directory, and beside it a directory of
// someone else's.
class BlockIndexFolder : public ::testing::Test {
 protected:
  BlockIndexFolder() : cwd_(root_.path()) { writeFile(elsewhere_ / kDigest, "not the tool's"); }
  void TearDown() override { EXPECT_EQ(readFile(elsewhere_ / kDigest), "not the tool's"); }

  TempDir root_;
  TempDir elsewhere_;
  testing_support::ScopedWorkingDirectory cwd_;
};

TEST_F(BlockIndexFolder, RefusesAnythingButADirectoryOfItsOwn) {
  const std::function<void()> plants[] = {
      [&] { fs::create_directory_symlink(elsewhere_.path(), ".tolvex-index"); },
      [] { writeFile(".tolvex-index", kDigest); },
      [] { ASSERT_EQ(::mkfifo(".tolvex-index", 0600), 0); },
  };
  for (const auto& plant : plants) {
    plant();
    EXPECT_THROW(catalog::ToolFolder(), common::IOError);
    fs::remove(".tolvex-index");
  }
}

TEST_F(BlockIndexFolder, DeletesOnlyItsOwnNamesAndReportsWhatItCannot) {
  const std::string stale = crypto::sha3Hex("b");
  const std::string directory = crypto::sha3Hex("c");
  const std::string copy = kDigest + ".zst";
  const std::string patch = kDigest + ".from." + stale + ".zst";
  for (const std::string& name :
       {kDigest, stale, stale + ".tmp.123.4", std::string("README"), stale + ".bak", copy, patch,
        stale + ".desc", copy + ".tmp.9.1", std::string("releases"), stale + ".zst.old"}) {
    writeFile(".tolvex-index/" + name, "x");
  }
  fs::create_directory(".tolvex-index/" + directory);

  EXPECT_EQ(
      catalog::ToolFolder().removeAllBut([](const formats::FolderName& name) {
        return name.digest == kDigest || name.kind == formats::FolderName::Kind::kReleaseHistory;
      }),
      std::vector<std::string>{"cannot delete .tolvex-index/" + directory + ": Is a directory"});
  std::set<std::string> left;
  for (const fs::directory_entry& entry : fs::directory_iterator(".tolvex-index")) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{kDigest, "README", stale + ".bak", directory, copy, patch,
                                         "releases", stale + ".zst.old"}));
}

TEST_F(BlockIndexFolder, KeepsAnIndexThatFitsItsFileAndRebuildsAnyOther) {
  const auto size = std::size_t{delta::kMinimumIndexedBytes};
  writeFile("large.bin", std::string(size, 'L'));
  writeFile(elsewhere_ / "same-size", std::string(size, 'S'));
  writeFile(elsewhere_ / "other-size", std::string(size + 1, 'S'));
  const std::string built = delta::blockIndexOfFile("large.bin", crypto::LaneWidth::kOne);
  const std::string sameSize =
      delta::blockIndexOfFile(elsewhere_ / "same-size", crypto::LaneWidth::kOne);
  const std::pair<std::string, std::string> plantedAndExpected[] = {
      {sameSize, sameSize},
      {"not an index", built},
      {sameSize.substr(0, sameSize.size() - 1), built},
      {delta::blockIndexOfFile(elsewhere_ / "other-size", crypto::LaneWidth::kOne), built},
      {"", built},  // a link to a file elsewhere
  };
  for (const auto& [planted, expected] : plantedAndExpected) {
    fs::remove_all(".tolvex-index");
    writeFile(kIndex, planted);
    if (planted.empty()) {
      fs::remove(kIndex);
      fs::create_symlink(elsewhere_ / kDigest, kIndex);
    }
    catalog::ToolFolder folder;
    catalog::BlockIndexFolder(folder, crypto::LaneWidth::kOne)
        .ensure("large.bin", kDigest, static_cast<std::int64_t>(size));
    EXPECT_EQ(readFile(kIndex), expected) << planted.size();
  }
}

}  // namespace
