#include "catalog/ignore_rules.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "support/temp_dir.hpp"

namespace {

using testing_support::TempDir;
using testing_support::writeFile;

struct LoadCase {
  std::string name;
  std::string content;
  std::vector<std::string> lines;
};

TEST(IgnoreRules, LoadsTheTrimmedFileCutAtLineFeeds) {
  const LoadCase cases[] = {
      {"empty file", "", {""}},
      {"blank lines only", " \n\n\t\r\n ", {""}},
      {"one line", "*.log\n", {"*.log"}},
      {"inner lines stay untrimmed", "  a \n\n b\n", {"a ", "", " b"}},
      {"CR LF line ends", "a\r\n\r\nb\r\n", {"a\r", "\r", "b"}},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir dir;
    const testing_support::ScopedWorkingDirectory cwd(dir.path());
    writeFile(dir / ".tolvexignore", c.content);
    EXPECT_EQ(catalog::loadIgnoreRules().lines(), c.lines);
  }
}

TEST(IgnoreRules, TreatsAMissingOrNonRegularFileAsAbsent) {
  const TempDir dir;
  const testing_support::ScopedWorkingDirectory cwd(dir.path());
  EXPECT_TRUE(catalog::loadIgnoreRules().lines().empty());
  std::filesystem::create_symlink("nowhere", dir / ".tolvexignore");
  EXPECT_TRUE(catalog::loadIgnoreRules().lines().empty());
  std::filesystem::remove(dir / ".tolvexignore");
  std::filesystem::create_directory(dir / ".tolvexignore");
  EXPECT_TRUE(catalog::loadIgnoreRules().lines().empty());
}

TEST(IgnoreRules, FollowsALinkToARegularFile) {
  const TempDir dir;
  const testing_support::ScopedWorkingDirectory cwd(dir.path());
  writeFile(dir / "rules.txt", "*.o");
  std::filesystem::create_symlink("rules.txt", dir / ".tolvexignore");
  EXPECT_EQ(catalog::loadIgnoreRules().lines(), std::vector<std::string>{"*.o"});
}

TEST(IgnoreRules, ReportsAnUnreadableFileAsCannotOpen) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "file permissions do not bind the superuser";
  }
  const TempDir dir;
  const testing_support::ScopedWorkingDirectory cwd(dir.path());
  writeFile(dir / ".tolvexignore", "*.log");
  ::chmod((dir / ".tolvexignore").c_str(), 0);
  try {
    catalog::loadIgnoreRules();
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& error) {
    EXPECT_EQ(error.message(), "cannot open: .tolvexignore");
  }
}

struct DecisionCase {
  std::vector<std::string> lines;
  std::string path;
  bool included;
};

TEST(IgnoreRules, DecidesWithIncludeLinesWinningInAnyOrder) {
  const DecisionCase cases[] = {
      {{}, "anything", true},
      {{""}, "a", true},
      {{"", "  ", ""}, "a", true},
      {{"*.log"}, "a.log", false},
      {{"*.log"}, "logs/a.log", true},
      {{"**/*.log"}, "logs/a.log", false},
      {{"build/**"}, "build/x/y.o", false},
      {{"build"}, "build/y.o", true},
      {{"build"}, "build", false},
      {{"*.log", "!keep.log"}, "keep.log", true},
      {{"!keep.log", "*.log"}, "keep.log", true},
      {{"*.log", "!keep.log"}, "other.log", false},
      {{"!keep.log", "*.log"}, "other.log", false},
      {{"  *.log\r", "\t!keep.log  "}, "keep.log", true},
      {{"  *.log\r"}, "x.log", false},
      {{"# notes"}, "# notes", false},
      {{R"(\ x)"}, " x", false},
      // An include line that does not match is still an ignore pattern in its "!" form.
      {{"!(*.txt)"}, "notes.md", false},
      {{"!(*.txt)"}, "notes.txt", true},
      {{"!(*.txt)"}, "sub/notes.md", true},
  };
  for (const DecisionCase& c : cases) {
    SCOPED_TRACE("path '" + c.path + "'");
    const catalog::IgnoreRules rules(c.lines);
    EXPECT_EQ(catalog::isIncluded(rules, c.path), c.included);
    // Answers from the compiled patterns equal the first ones.
    EXPECT_EQ(catalog::isIncluded(rules, c.path), c.included);
  }
}

std::string errorOf(const catalog::IgnoreRules& rules, const std::string& path) {
  try {
    catalog::isIncluded(rules, path);
  } catch (const common::Error& error) {
    return std::string(error.kindName()) + ": " + error.message();
  }
  return "no error";
}

TEST(IgnoreRules, ReportsABadPatternAtEveryTestThatMeetsIt) {
  struct Case {
    std::vector<std::string> lines;
    std::string error;
  };
  const Case cases[] = {
      {{"*.o", "#["}, "GlobSyntaxError: Missing ']'\n\n  #[\n   ^\n\n"},
      {{R"(a\ )"}, "GlobSyntaxError: No character to escape\n\n  a\\\n   ^\n\n"},
      {{"{}"}, "RegexError: empty group is not allowed at offset 4 in '^(?:(?:))$'"},
      {{"!x", "@(a"}, "RegexError: missing closing parenthesis at offset 4 in '^(a$'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.back());
    const catalog::IgnoreRules rules(c.lines);
    EXPECT_EQ(errorOf(rules, "first"), c.error);
    EXPECT_EQ(errorOf(rules, "second"), c.error);
  }
}

TEST(IgnoreRules, NeverTriesABadLineAfterAMatchingIncludeLine) {
  const catalog::IgnoreRules rules({"!keep.txt", "[a-]"});
  EXPECT_TRUE(catalog::isIncluded(rules, "keep.txt"));
  EXPECT_EQ(errorOf(rules, "other.txt"), "GlobSyntaxError: Invalid range\n\n  [a-]\n    ^\n\n");
  EXPECT_TRUE(catalog::isIncluded(rules, "keep.txt"));
}

TEST(IgnoreRules, KeepsItsPatternsAcrossAMove) {
  catalog::IgnoreRules first({"*.log"});
  EXPECT_FALSE(catalog::isIncluded(first, "a.log"));
  catalog::IgnoreRules second(std::move(first));
  EXPECT_FALSE(catalog::isIncluded(second, "b.log"));
  EXPECT_TRUE(catalog::isIncluded(second, "b.txt"));
  catalog::IgnoreRules third;
  EXPECT_TRUE(catalog::isIncluded(third, "b.log"));
  third = std::move(second);
  EXPECT_FALSE(catalog::isIncluded(third, "c.log"));
}

}  // namespace
