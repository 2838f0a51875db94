#include "catalog/glob.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/errors.hpp"

namespace {

struct Translation {
  std::string pattern;
  std::string expression;
};

TEST(Glob, TranslatesEachConstruct) {
  const Translation cases[] = {
      {"*.txt", R"(^[^/]*\.txt$)"},
      {"a?c", R"(^a[^/]c$)"},
      {"**/*.tmp", R"(^(?:[^\/]*(?:\/|$))*[^/]*\.tmp$)"},
      {"docs/**", R"(^docs/(?:[^\/]*(?:\/|$))*$)"},
      {"[!a-c]x", R"(^[^a-c]x$)"},
      {"[[:digit:]]*", R"(^[0-9][^/]*$)"},
      {"{a,b}.md", R"(^(?:(?:a)|(?:b))\.md$)"},
      {"@(x|y).c", R"(^(x|y){1}\.c$)"},
      {"!(*.c)", R"(^(?![^/]*\.c)[^/]*$)"},
      {"+(ab)", R"(^(ab)+$)"},
      {"*(ab)", R"(^(ab)*$)"},
      {"?(ab)", R"(^(ab)?$)"},
      {R"(a\*b)", R"(^a\*b$)"},
      {"a+b$", R"(^a\+b\$$)"},
      {"x!", R"(^x\!$)"},
      {"[]a]", R"(^[\]a]$)"},
      {"[^a]", R"(^[\^a]$)"},
      {"[-a]", R"(^[-a]$)"},
      {"[a!b]", R"(^[a^b]$)"},
      {"", "^$"},
      {"# notes", "^# notes$"},
      // A backslash escapes the regex specials and drops itself before anything else.
      {R"(\}\!\ \/\a)", R"(^}! /a$)"},
      {R"(\\\?\[\{\(\)\.\]\^\|)", R"(^\\\?\[\{\(\)\.\]\^\|$)"},
      // Without an open extended group, parentheses and bars are literal.
      {"a(b|c)", R"(^a\(b\|c\)$)"},
      {"@a,}", "^@a,}$"},
      {"a.b^", R"(^a\.b\^$)"},
      {"é?", "^é[^/]$"},
      // Only the "/" right after "**" is dropped; later ones separate segments.
      {"a/**/b/c", R"(^a/(?:[^\/]*(?:\/|$))*b/c$)"},
      {"**", R"(^(?:[^\/]*(?:\/|$))*$)"},
      // The name may end in "]" instead of ":]"; that "]" is the class's own.
      {"[[:alpha]]]", "^[a-zA-Z]$"},
      {"[x[:upper:]]", "^[xA-Z]$"},
      {"[[:punct:]]", "^[" + std::string(R"(-!"#$%&'()*+,./\\:;<=>?@[\]^_`{|}~)") + "]$"},
      {"[[:blank:][:space:][:word:]]", R"(^[ \t\s\w]$)"},
      {"[[:ascii:][:cntrl:]]", R"(^[\x00-\x7F\x00-\x1F\x7F]$)"},
      {"[[:graph:][:print:]]", R"(^[\x21-\x7E\x20-\x7E ]$)"},
      {"[[:lower:][:xdigit:][:alnum:]]", "^[a-z0-9A-Fa-fa-zA-Z0-9]$"},
      // Group characters keep their meaning inside a bracket expression.
      {"[*]", R"(^[[^/]*]$)"},
  };
  for (const Translation& c : cases) {
    SCOPED_TRACE("pattern '" + c.pattern + "'");
    EXPECT_EQ(catalog::globToRegexString(c.pattern), c.expression);
  }
}

TEST(Glob, PunctClassIsThirtyFourBytes) {
  const std::string expression = catalog::globToRegexString("[[:punct:]]");
  EXPECT_EQ(expression.size(), std::string("^[]$").size() + 34);
}

struct SyntaxErrorCase {
  std::string pattern;
  std::string message;
};

TEST(Glob, ReportsSyntaxErrorsWithACaretUnderTheCulprit) {
  const SyntaxErrorCase cases[] = {
      {"a[b", "Missing ']'\n\n  a[b\n    ^\n\n"},
      {"[a[b]", "Cannot nest groups\n\n  [a[b]\n  ^\n\n"},
      {"[a[", "Cannot nest groups\n\n  [a[\n  ^\n\n"},
      {"a{b", "Missing '}'\n\n  a{b\n    ^\n\n"},
      {"{a{b}}", "Cannot nest groups\n\n  {a{b}}\n    ^\n\n"},
      {"a\\", "No character to escape\n\n  a\\\n   ^\n\n"},
      {"[a-]", "Invalid range\n\n  [a-]\n    ^\n\n"},
      {"[a-", "Invalid range\n\n  [a-\n    ^\n\n"},
      {"[b-a]", "Invalid range\n\n  [b-a]\n    ^\n\n"},
      {"[a--]", "Invalid range\n\n  [a--]\n    ^\n\n"},
      {"[[:foo:]]", "Unknown class name 'foo'\n\n  [[:foo:]]\n        ^\n\n"},
      {"[[:Alpha:]]", "Unknown class name 'Alpha'\n\n  [[:Alpha:]]\n          ^\n\n"},
      {"[[:alpha:x]", "Missing ']' after class\n\n  [[:alpha:x]\n          ^\n\n"},
      {"[[:alpha", "Missing ']' after class\n\n  [[:alpha\n          ^\n\n"},
      {"#[", "Missing ']'\n\n  #[\n   ^\n\n"},
      {"[[:alpha]]", "Missing ']'\n\n  [[:alpha]]\n           ^\n\n"},
  };
  for (const SyntaxErrorCase& c : cases) {
    SCOPED_TRACE("pattern '" + c.pattern + "'");
    try {
      catalog::globToRegexString(c.pattern);
      ADD_FAILURE() << "no error";
    } catch (const common::GlobSyntaxError& error) {
      EXPECT_EQ(error.message(), c.message);
    }
  }
}

TEST(Glob, AcceptsRangesInOrder) {
  for (const char* pattern : {"[a-z]", "[!-a]", "[a-a]", "[0-9a-f]"}) {
    SCOPED_TRACE(pattern);
    EXPECT_NO_THROW(catalog::globToRegexString(pattern));
  }
}

struct MatchCase {
  std::string pattern;
  std::string path;
  bool expected;
};

TEST(Glob, MatchesWholePaths) {
  const MatchCase cases[] = {
      {"*.log", "a.log", true},
      {"*.log", "logs/a.log", false},
      {"*.log", "a.log.bak", false},
      {"**/*.log", "a.log", true},
      {"**/*.log", "logs/deep/a.log", true},
      {"build/**", "build/x/y.o", true},
      {"build/**", "build", false},
      {"build", "build", true},
      {"build", "sub/build", false},
      {"a/**/b/c", "a/x/b/c", true},
      {"a/**/b/c", "a/b/c", true},
      {"a/**/b/c", "a/x/bc", false},
      {"?.txt", "é.txt", true},
      {"?.txt", "ab.txt", false},
      {"[[:digit:]]*", "7up", true},
      {"[[:digit:]]*", "up7", false},
      {"{a,b}.md", "b.md", true},
      {"{a,b}.md", "ab.md", false},
      {"!(*.txt)", "notes.md", true},
      {"!(*.txt)", "notes.txt", false},
      {"!(*.txt)", "a.txt.md", false},
      {"!(*.txt)", "dir/notes.md", false},
      {"[]a]", "]", true},
      {"[^a]", "^", true},
      {"[^a]", "b", false},
      {"# notes", "# notes", true},
      {"", "x", false},
      {"A.TXT", "a.txt", false},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE("pattern '" + c.pattern + "' on '" + c.path + "'");
    EXPECT_EQ(catalog::globMatches(c.path, c.pattern), c.expected);
  }
}

TEST(Glob, LeavesUnbalancedOrEmptyGroupsToTheEngine) {
  for (const char* pattern : {"{}", "{,a}", "@(a", "!()"}) {
    SCOPED_TRACE(pattern);
    EXPECT_NO_THROW(catalog::globToRegexString(pattern));
    EXPECT_THROW(catalog::globMatches("a", pattern), common::RegexError);
  }
}

}  // namespace
