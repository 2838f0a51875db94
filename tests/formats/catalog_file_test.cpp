#include "formats/catalog_file.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using formats::CatalogEntry;

TEST(CatalogFile, LineIsDigestSeparatorPathAndLineFeed) {
  EXPECT_EQ(formats::catalogLine("d1", "a b/c"), "d1 *a b/c\n");
  EXPECT_EQ(formats::parseCatalog(formats::catalogLine("d1", "a b/c")),
            (std::vector<CatalogEntry>{{"d1", "a b/c"}}));
}

TEST(CatalogFile, LinesBecomeEntriesUnlessUnsafe) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<CatalogEntry> expected;
  };
  const std::vector<Case> cases = {
      {"empty catalog", "", {}},
      {"final line feed adds nothing",
       "d1 *a.txt\nd2 *b/c.txt\n",
       {{"d1", "a.txt"}, {"d2", "b/c.txt"}}},
      {"last line without line feed", "d1 *a.txt", {{"d1", "a.txt"}}},
      {"split at the first separator", "x *a *b\n", {{"x", "a *b"}}},
      {"empty digest text", " *pipe\n", {{"", "pipe"}}},
      {"carriage return stays", "d *a\r\n", {{"d", "a\r"}}},
      {"line without separator", "garbage\nd *ok\n", {{"d", "ok"}}},
      {"parent directory", "x *../etc/passwd\n", {}},
      {"absolute path", "x */etc/passwd\n", {}},
      {"two dots anywhere", "x *dir/a..b\nx *ok..\n", {}},
      {"NUL byte in the path", std::string("x *keep.db\0x\nd *ok\n", 20), {{"d", "ok"}}},
      {"another entry's staged file",
       "d *f\nx *f.tolvex-pending\nx *d/g.tolvex-pending\n",
       {{"d", "f"}}},
      {"the run lock, however written", "x *.tolvex-lock\nx *./.tolvex-lock\n", {}},
      {"duplicates kept", "d *a\nd *a\n", {{"d", "a"}, {"d", "a"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(formats::parseCatalog(c.text), c.expected);
  }
}

}  // namespace
