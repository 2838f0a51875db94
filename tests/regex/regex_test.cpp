#include "regex/regex.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/errors.hpp"

namespace {

struct SearchCase {
  const char* expression;
  std::string subject;
  bool expected;
};

TEST(Regex, SearchesTheConstructsThatGlobTranslationsUse) {
  const SearchCase cases[] = {
      {R"(^a[^/]c$)", "abc", true},
      {R"(^a[^/]c$)", "a/c", false},
      {R"(^a\*b$)", "a*b", true},
      {R"(^a\*b$)", "axb", false},
      {R"(^a\+b\$$)", "a+b$", true},
      {R"(^x\!$)", "x!", true},
      {R"(^[\]a]$)", "]", true},
      {R"(^[\^a]$)", "^", true},
      {R"(^[\^a]$)", "b", false},
      {R"(^[^a-c]x$)", "dx", true},
      {R"(^[^a-c]x$)", "bx", false},
      {R"(^[\x00-\x7F]$)", "q", true},
      {R"(^[ \t]$)", "\t", true},
      {R"(^[\s]$)", " ", true},
      {R"(^[\w]$)", "_", true},
      {R"(^[\w]$)", "-", false},
      {R"(^(?:(?:a)|(?:b))\.md$)", "b.md", true},
      {R"(^(?:(?:a)|(?:b))\.md$)", "c.md", false},
      {R"(^(x|y){1}\.c$)", "y.c", true},
      {R"(^(ab)+$)", "ababab", true},
      {R"(^(ab)+$)", "", false},
      {R"(^(?![^/]*\.c)[^/]*$)", "main.h", true},
      {R"(^(?![^/]*\.c)[^/]*$)", "main.c", false},
      {R"(^(?:[^\/]*(?:\/|$))*[^/]*\.tmp$)", "a/b/c.tmp", true},
      {R"(^(?:[^\/]*(?:\/|$))*[^/]*\.tmp$)", "a/b/c.tmpx", false},
      {R"(^docs/(?:[^\/]*(?:\/|$))*$)", "docs/x/y", true},
      {R"(^x(a|$))", "x", true},
      {"^$", "", true},
      {"^$", "a", false},
      {"A", "a", false},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(std::string(c.expression) + " on '" + c.subject + "'");
    EXPECT_EQ(regex::Regex(c.expression).search(c.subject), c.expected);
  }
}

TEST(Regex, MatchesWholeUtf8CharactersAndToleratesInvalidBytes) {
  const regex::Regex oneCharacter(R"(^[^/]\.txt$)");
  EXPECT_TRUE(oneCharacter.search("\xC3\xA9.txt"));
  EXPECT_FALSE(oneCharacter.search("ab.txt"));
  const regex::Regex range(R"(^[a-\x{FF}]$)");
  EXPECT_TRUE(range.search("\xC3\xA9"));
  // File names are bytes: a name that is not UTF-8 is still searched, not refused.
  const regex::Regex suffix(R"(\.log$)");
  EXPECT_TRUE(suffix.search("\xFF\xFE.log"));
  EXPECT_FALSE(suffix.search("\xFF\xFE.txt"));
}

TEST(Regex, RejectsEmptyGroupsButNotEscapedOrBracketedParentheses) {
  for (const char* bad : {"(?:)", "^(?:(?:)|(?:a))$", "a()b", "(?!)", "x[a]()"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(regex::Regex{bad}, common::RegexError);
  }
  for (const char* good : {R"(\()", R"(\(\))", "[()]", "[]()]", "[^]()]", R"([\]()])",
                           "[[:alpha:]()]", R"(\Q()\E)", "(?=)"}) {
    SCOPED_TRACE(good);
    EXPECT_NO_THROW(regex::Regex{good});
  }
}

TEST(Regex, ReportsTheEnginesMessageWithTheOffset) {
  struct Case {
    const char* expression;
    std::string message;
  };
  const Case cases[] = {
      {"^(x$", "missing closing parenthesis at offset 4 in '^(x$'"},
      {"^(?:(?:))$", "empty group is not allowed at offset 4 in '^(?:(?:))$'"},
      {"a)", "unmatched closing parenthesis at offset 1 in 'a)'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    try {
      const regex::Regex compiled(c.expression);
      ADD_FAILURE() << "no error";
    } catch (const common::RegexError& error) {
      EXPECT_EQ(error.message(), c.message);
      EXPECT_EQ(error.kindName(), "RegexError");
    }
  }
}

TEST(Regex, StaysUsableAfterAMove) {
  regex::Regex first("^a$");
  regex::Regex second(std::move(first));
  EXPECT_TRUE(second.search("a"));
  regex::Regex third("^b$");
  third = std::move(second);
  EXPECT_TRUE(third.search("a"));
  EXPECT_FALSE(third.search("b"));
}

}  // namespace
