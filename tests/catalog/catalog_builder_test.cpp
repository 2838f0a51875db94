#include "catalog/catalog_builder.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "catalog/block_index_folder.hpp"
#include "catalog/ignore_rules.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/system.hpp"
#include "crypto/sha3.hpp"
#include "delta/block_index.hpp"
#include "formats/tool_files.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::fileExists;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

// A published tree in the working directory.
class CatalogBuilder : public ::testing::Test {
 protected:
  CatalogBuilder() : cwd_(tree_.path()) {}

  struct Run {
    int result = 0;
    std::string out;
    std::string err;
  };

  // The catalog of the working directory and what the walk printed.
  static Run runBuild(const std::vector<std::string>& ignoreLines = {}) {
    Run run;
    const catalog::IgnoreRules rules(ignoreLines);
    catalog::ToolFolder folder;
    catalog::BlockIndexFolder indexes(folder, crypto::widestLaneWidth());
    catalog::VersionStore versions(folder, {});
    common::OutputFile catalog("updater-catalog.sha3", "wb");
    testing::internal::CaptureStdout();
    const catalog::CatalogContent content =
        catalog::buildCatalog(rules, common::executableFileName(""), catalog, indexes, versions,
                              crypto::widestLaneWidth());
    run.out = testing::internal::GetCapturedStdout();
    catalog.close();
    EXPECT_TRUE(folder
                    .removeAllBut([&content](const formats::FolderName& name) {
                      return name.kind == formats::FolderName::Kind::kIndex &&
                             content.indexedDigests.contains(name.digest);
                    })
                    .empty());
    run.result = static_cast<int>(content.fileCount);
    return run;
  }

  TempDir tree_;
  testing_support::ScopedWorkingDirectory cwd_;
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string line(const std::string& content, const std::string& path) {
  return crypto::sha3Hex(content) + " *" + path;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Names in `directory` in the order the directory listing returns them.
std::vector<std::string> listingOrder(const std::string& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(directory.empty() ? "." : directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// The ordering that the walk guarantees: a directory's files form one run, they
// come in listing order, and before the files of any directory below it.
void expectWalkOrder(const std::vector<std::string>& paths) {
  std::map<std::string, std::size_t> lastIndexOfDirectory;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string dir = directoryOf(paths[i]);
    const auto previous = lastIndexOfDirectory.find(dir);
    if (previous != lastIndexOfDirectory.end()) {
      EXPECT_EQ(previous->second, i - 1) << "files of '" << dir << "' are not contiguous";
      const std::vector<std::string> names = listingOrder(dir);
      const auto position = [&](const std::string& path) {
        return std::find(names.begin(), names.end(),
                         path.substr(dir.empty() ? 0 : dir.size() + 1)) -
               names.begin();
      };
      EXPECT_LT(position(paths[i - 1]), position(paths[i])) << paths[i];
    }
    for (const auto& [other, index] : lastIndexOfDirectory) {
      const bool otherIsBelow = dir.empty() ? !other.empty() : other.starts_with(dir + "/");
      EXPECT_FALSE(otherIsBelow) << paths[i] << " comes after files of " << other;
    }
    lastIndexOfDirectory[dir] = i;
  }
}
TEST_F(CatalogBuilder, CataloguesARealTreeInWalkOrder) {
  const std::map<std::string, std::string> files = {
      {"a.txt", "abc"},           {".hidden", "h"},
      {"keep.log", "k"},          {"sub/b.txt", "b"},
      {"sub/a.log", "sub log"},   {"sub/updater-catalog.sha3", "x"},
      {"sub/.tolvexignore", "y"}, {"sub/catalog_tests", "z"},
      {"sub/deeper/c.txt", "c"},  {".dir/d", "d"},
      {"sub/deeper/e.txt", ""},
  };
  for (const auto& [path, content] : files) {
    writeFile(tree_ / path, content);
  }
  for (const char* own : {"updater-catalog.sig", "updater-source.json", "catalog_tests"}) {
    writeFile(tree_ / own, "own");
  }
  writeFile(tree_ / "drop.log", "d");
  writeFile(tree_ / "build/out.o", "o");
  fs::create_symlink("a.txt", tree_ / "link-to-file");
  fs::create_symlink("sub", tree_ / "link-to-dir");
  ASSERT_EQ(::mkfifo((tree_ / "sub/pipe").c_str(), 0600), 0);

  const Run run = runBuild({"*.log", "!keep.log", "build/**"});

  std::vector<std::string> expected{" *sub/pipe"};
  for (const auto& [path, content] : files) {
    expected.push_back(line(content, path));
  }
  const std::vector<std::string> catalogLines =
      splitLines(readFile(tree_ / "updater-catalog.sha3"));
  EXPECT_EQ(sorted(catalogLines), sorted(expected));
  EXPECT_EQ(run.result, static_cast<int>(expected.size()));

  std::vector<std::string> catalogPaths(catalogLines.size());
  std::vector<std::string> addedPaths;
  std::vector<std::string> ignored;
  std::transform(catalogLines.begin(), catalogLines.end(), catalogPaths.begin(),
                 [](const std::string& entry) { return entry.substr(entry.find(" *") + 2); });
  for (const std::string& outLine : splitLines(run.out)) {
    if (outLine.starts_with("Added   : ")) {
      addedPaths.push_back(outLine.substr(10));
    } else if (outLine.starts_with("Ignored : ")) {
      ignored.push_back(outLine.substr(10));
    } else {
      ADD_FAILURE() << "unexpected output line: " << outLine;
    }
  }
  EXPECT_EQ(addedPaths, catalogPaths);
  EXPECT_EQ(sorted(ignored), sorted({"build/out.o", "drop.log"}));
  expectWalkOrder(catalogPaths);
}

TEST_F(CatalogBuilder, WritesEdgeCaseTreesExactly) {
  struct Case {
    std::string name;
    std::map<std::string, std::string> files;
    std::string catalog;
    std::string out;
  };
  const std::string abc = crypto::sha3Hex("abc");
  const Case cases[] = {
      {"empty tree", {}, "", ""},
      {"only the tool's own files",
       {{".tolvexignore", ""}, {"updater-source.json", "{}"}, {".tolvex-lock", ""}},
       "",
       ""},
      {"staged files of a client are the tool's own anywhere",
       {{"a.txt", "abc"}, {"a.txt.tolvex-pending", "x"}, {"d/b.tolvex-pending", "y"}},
       abc + " *a.txt\n",
       "Added   : a.txt\n"},
      {"one file", {{"a.txt", "abc"}}, abc + " *a.txt\n", "Added   : a.txt\n"},
      {"nested file has no leading ./",
       {{"x/y/z.txt", "abc"}},
       abc + " *x/y/z.txt\n",
       "Added   : x/y/z.txt\n"},
      {"backslash in a root name", {{"a\\b", "abc"}}, " *a/b\n", "Added   : a/b\n"},
      {"backslash name naming a real file",
       {{"d\\f", "zzz"}, {"d/f", "abc"}},
       abc + " *d/f\n" + abc + " *d/f\n",
       "Added   : d/f\nAdded   : d/f\n"},
      {"leading dot backslash", {{".\\q", "abc"}}, " *q\n", "Added   : q\n"},
      {"line feed in a name",
       {{"two\nlines", "abc"}},
       abc + " *two\nlines\n",
       "Added   : two\nlines\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir dir;
    const testing_support::ScopedWorkingDirectory cwd(dir.path());
    for (const auto& [path, content] : c.files) {
      writeFile(dir / path, content);
    }
    const Run run = runBuild();
    EXPECT_EQ(readFile(dir / "updater-catalog.sha3"), c.catalog);
    EXPECT_EQ(run.out, c.out);
  }
}
}  // namespace

namespace {

TEST_F(CatalogBuilder, KeepsOneBlockIndexPerLargeFileOfTheCatalog) {
  const std::string large(std::size_t{delta::kMinimumIndexedBytes}, 'L');
  const std::string small(std::size_t{delta::kMinimumIndexedBytes} - 1, 's');
  writeFile(tree_ / "large.bin", large);
  writeFile(tree_ / "small.bin", small);
  const std::string largeIndex = formats::blockIndexPathOf(crypto::sha3Hex(large));
  runBuild();
  EXPECT_EQ(readFile(tree_ / largeIndex),
            delta::blockIndexOfFile(tree_ / "large.bin", crypto::LaneWidth::kOne));
  EXPECT_FALSE(fileExists(tree_ / formats::blockIndexPathOf(crypto::sha3Hex(small))));
  EXPECT_EQ(readFile(tree_ / "updater-catalog.sha3").find(formats::kBlockIndexDirectoryName),
            std::string::npos);

  // A file unchanged since an index of its size was written is taken to have
  // its index; one that lost it gets it back all the same.
  writeFile(tree_ / "twin.bin", std::string(large.size(), 'T'));
  runBuild();
  fs::remove(tree_ / largeIndex);
  runBuild();
  EXPECT_EQ(readFile(tree_ / largeIndex),
            delta::blockIndexOfFile(tree_ / "large.bin", crypto::LaneWidth::kOne));
  fs::remove(tree_ / "twin.bin");

  // One that no file of the catalog names any more goes, and so does the
  // folder once it is empty.
  writeFile(tree_ / "large.bin", "now small");
  runBuild();
  EXPECT_FALSE(fs::exists(tree_ / std::string(formats::kBlockIndexDirectoryName)));
}

}  // namespace
