#include "formats/file_description.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/errors.hpp"
#include "formats/release_description.hpp"
#include "formats/tool_files.hpp"

namespace formats {
namespace {

TEST(FileDescription, ReadsWhatItWritesAndFindsPatchesByPrefix) {
  const std::string from(64, 'a');
  const FileDescription description{5000, 1800, {{from.substr(0, kPatchPrefixDigits), 300}}};
  const std::string text = describe(description);
  EXPECT_EQ(text, "tolvex-file 1 5000 1800\naaaaaaaaaaaaaaaa 300\n");
  EXPECT_EQ(parseFileDescription(text), description);
  EXPECT_EQ(description.patchBytesFrom(from), 300);
  EXPECT_EQ(description.patchBytesFrom(std::string(64, 'b')), std::nullopt);
  EXPECT_EQ(description.patchBytesFrom(""), std::nullopt);
}

TEST(FileDescription, RefusesWhatAServerMayMakeUp) {
  for (const std::string& text : std::vector<std::string>{
           "", "tolvex-file 1 5000 1800", "tolvex-file 3 5000 1800\n", "tolvex-file 1 5000\n",
           "tolvex-file 1 -1 0\n", "tolvex-file 1 67108865 0\n", "tolvex-file 1 5000 01\n",
           "tolvex-file 1 5000 0\nAAAAAAAAAAAAAAAA 300\n", "tolvex-file 1 5000 0\naaaa 300\n",
           "tolvex-file 1 5000 0\naaaaaaaaaaaaaaaa 0\n",
           "tolvex-file 1 5000 0\n" + std::string(4096, '\n')}) {
    EXPECT_THROW(parseFileDescription(text), common::ValueError) << text;
  }
}

TEST(FileDescription, NamesPredecessorsInItsSecondVersionOnly) {
  const std::string from(64, 'a');
  FileDescription description{5000, 0, {{from.substr(0, kPatchPrefixDigits), 300}}};
  description.predecessors = {{from, "lib/6.1 old/x *.ko"}};
  const std::string text = describe(description);
  EXPECT_EQ(text,
            "tolvex-file 2 5000 0\naaaaaaaaaaaaaaaa 300\nfrom " + from + " lib/6.1 old/x *.ko\n");
  EXPECT_EQ(parseFileDescription(text), description);
  const std::string line = "from " + from + " a\n";
  for (const std::string& bad : std::vector<std::string>{
           "tolvex-file 1 5000 0\n" + line, "tolvex-file 2 5000 0\nfrom " + from + " \n",
           "tolvex-file 2 5000 0\nfrom AAAA a\n",
           "tolvex-file 2 5000 0\n" + line + line + line + line + line,
           "tolvex-file 2 5000 0\n" + line + "aaaaaaaaaaaaaaaa 300\n"}) {
    EXPECT_THROW(parseFileDescription(bad), common::ValueError) << bad;
  }
  for (const auto& [path, may] :
       std::vector<std::pair<std::string, bool>>{{"lib/a.ko", true},
                                                 {"a..b/c", true},
                                                 {"", false},
                                                 {"/etc/passwd", false},
                                                 {"a/../b", false},
                                                 {"a//b", false},
                                                 {"./a", false},
                                                 {"a/", false},
                                                 {std::string("a\0b", 3), false},
                                                 {"a\nb", false},
                                                 {"a.tolvex-pending", false},
                                                 {"updater-catalog.sha3", false},
                                                 {".tolvex-index/x", false},
                                                 {"sub/.tolvex-index", true}}) {
    EXPECT_EQ(mayPrecede(path), may) << path;
  }
}

TEST(ReleaseDescription, ReadsWhatItWritesAndKeepsPatchesInTheBundle) {
  const std::string from(64, 'a');
  const std::string to(64, 'b');
  ReleaseDescription release{100, {}};
  release.versions[to.substr(0, kPatchPrefixDigits)] = {
      {5000, 1800, {{from.substr(0, kPatchPrefixDigits), 60}}}, {40}};
  const std::string text = describeRelease(release);
  EXPECT_EQ(text, "tolvex-release 1 100\nbbbbbbbbbbbbbbbb 5000 1800 aaaaaaaaaaaaaaaa 40 60\n");
  EXPECT_EQ(parseReleaseDescription(text), release);
  ASSERT_NE(release.find(to), nullptr);
  EXPECT_EQ(release.find(from), nullptr);
  release.versions[to.substr(0, kPatchPrefixDigits)].file.predecessors = {{from, "old/x"}};
  const std::string withPredecessor = describeRelease(release);
  EXPECT_TRUE(withPredecessor.starts_with("tolvex-release 2 100\n"));
  EXPECT_TRUE(withPredecessor.ends_with(" 60\nfrom " + from + " old/x\n"));
  EXPECT_EQ(parseReleaseDescription(withPredecessor), release);
  for (const std::string& bad : std::vector<std::string>{
           "tolvex-release 2 100\nfrom " + from + " old/x\n",
           "tolvex-release 1 100\nbbbbbbbbbbbbbbbb 5000 1800\nfrom " + from + " old/x\n",
           "tolvex-release 1 100\nbbbbbbbbbbbbbbbb 5000 1800 aaaaaaaaaaaaaaaa 41 60\n",
           "tolvex-release 1 100\nbbbbbbbbbbbbbbbb 5000 1800\nbbbbbbbbbbbbbbbb 1 0\n",
           "tolvex-release 1 100\nbbbbbbbbbbbbbbbb 5000 1800 aaaaaaaaaaaaaaaa 40\n",
           "tolvex-release 1 100\nbbbbbbbbbbbbbbbb 5000 1800"}) {
    EXPECT_THROW(parseReleaseDescription(bad), common::ValueError) << bad;
  }
}

TEST(FolderName, TellsTheToolsNamesFromOthers) {
  const std::string to(64, '1');
  const std::string from(64, '2');
  using Kind = FolderName::Kind;
  EXPECT_EQ(parseFolderName(to)->kind, Kind::kIndex);
  EXPECT_EQ(parseFolderName(copyNameOf(to))->kind, Kind::kCopy);
  EXPECT_EQ(parseFolderName(descriptionNameOf(to))->kind, Kind::kDescription);
  const std::optional<FolderName> patch = parseFolderName(patchNameOf(from, to));
  ASSERT_TRUE(patch.has_value());
  EXPECT_EQ(patch->kind, Kind::kPatch);
  EXPECT_EQ(patch->digest, to);
  EXPECT_EQ(patch->from, from);
  EXPECT_EQ(parseFolderName(kReleaseHistoryName)->kind, Kind::kReleaseHistory);
  for (const std::string& other :
       std::vector<std::string>{to + ".tmp", to.substr(1) + ".zst", to + ".from." + from,
                                to + ".from." + to.substr(1) + ".zst", std::string("README")}) {
    EXPECT_FALSE(parseFolderName(other).has_value()) << other;
  }
}

}  // namespace
}  // namespace formats
