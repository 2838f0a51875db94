#include "formats/catalog_file.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/errors.hpp"

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
      {"the kept release number", "x *.tolvex-release\nx *.//.tolvex-release\n", {}},
      {"release line", "; tolvex-release 7 expires 9\nd *a\n", {{"d", "a"}}},
      {"duplicates kept", "d *a\nd *a\n", {{"d", "a"}, {"d", "a"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(formats::parseCatalog(c.text), c.expected);
  }
}

TEST(CatalogFile, ReleaseLineIsReadStrictly) {
  using formats::CatalogRelease;
  struct Case {
    std::string head;
    std::optional<CatalogRelease> expected;
    bool malformed = false;
  };
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::vector<Case> cases = {
      {"; tolvex-release 1765182000\nd *a\n", CatalogRelease{1765182000, {}}},
      {"; tolvex-release 5 expires 9\n", CatalogRelease{5, 9}},
      {"; tolvex-release 0 expires 9223372036854775807\n", CatalogRelease{0, kMax}},
      {"d *; tolvex-release 5\n", std::nullopt},
      {"d *a\n; tolvex-release 5\n", std::nullopt},
      {"", std::nullopt},
      {"; tolvex-release", std::nullopt, true},
      {"; tolvex-releases 5", std::nullopt, true},
      {"; tolvex-release 9223372036854775808", std::nullopt, true},
      {"; tolvex-release 5 expires 99999999999999999999", std::nullopt, true},
      {"; tolvex-release 05", std::nullopt, true},
      {"; tolvex-release +5", std::nullopt, true},
      {"; tolvex-release 5\r\n", std::nullopt, true},
      {"; tolvex-release  5", std::nullopt, true},
      {"; tolvex-release 5 expires", std::nullopt, true},
      {"; tolvex-release 5 expires 9 x", std::nullopt, true},
      {"; tolvex-release 5 until 9", std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    if (c.malformed) {
      EXPECT_THROW(formats::parseCatalogRelease(c.head), common::ValueError);
    } else {
      EXPECT_EQ(formats::parseCatalogRelease(c.head), c.expected);
    }
    if (c.expected) {
      EXPECT_TRUE(c.head.starts_with(formats::releaseLine(*c.expected)));
    }
  }
}

}  // namespace
