#include "catalog/version_plan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using formats::FolderName;
using formats::Release;
using formats::ReleaseHistory;

// Digest texts that read as what they stand for.
std::string d(char c) { return std::string(64, c); }

TEST(VersionPlan, RecordsAChangedReleaseAndKeepsTheWindow) {
  const Release one{{"a", d('1')}};
  const Release two{{"a", d('2')}};
  const Release three{{"a", d('2')}, {"b", d('3')}};
  struct Row {
    std::vector<Release> before;
    Release current;
    std::size_t kept;
    std::vector<Release> after;
    bool changed;
  };
  const Row rows[] = {
      {{}, one, 3, {one}, true},
      {{one}, one, 3, {one}, false},  // an unchanged republish is no release
      {{one}, two, 3, {two, one}, true},
      {{two, one}, three, 1, {three, two}, true},
      {{two, one}, two, 0, {two}, true},  // fewer kept than before
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.before.size());
    ReleaseHistory history{row.before, {}};
    EXPECT_EQ(catalog::recordRelease(history, row.current, row.kept), row.changed);
    EXPECT_EQ(history.releases, row.after);
  }
}

TEST(VersionPlan, PatchesComeFromEachEarlierVersionOfThePathOnce) {
  const ReleaseHistory history{
      {{{"a", d('4')}}, {{"a", d('3')}, {"b", d('9')}}, {{"a", d('4')}}, {{"a", d('3')}}, {}}, {}};
  EXPECT_EQ(catalog::earlierVersions(history, "a", d('4')), std::vector<std::string>{d('3')});
  EXPECT_EQ(catalog::earlierVersions(history, "a", d('5')),
            (std::vector<std::string>{d('3'), d('4')}));
  EXPECT_EQ(catalog::earlierVersions(history, "b", d('8')), std::vector<std::string>{d('9')});
  EXPECT_TRUE(catalog::earlierVersions(history, "c", d('8')).empty());
}

TEST(VersionPlan, KeepsWhatTheCatalogAndTheWindowNeed) {
  using Kind = FolderName::Kind;
  const catalog::KeptVersions kept{{d('i')}, {d('c')}, {d('c'), d('w')}, d('r')};
  const std::pair<FolderName, bool> rows[] = {
      {{Kind::kIndex, d('i'), {}}, true},
      {{Kind::kIndex, d('c'), {}}, false},
      {{Kind::kCopy, d('c'), {}}, true},
      {{Kind::kCopy, d('w'), {}}, true},
      {{Kind::kCopy, d('o'), {}}, false},
      {{Kind::kPatch, d('c'), d('w')}, true},
      {{Kind::kPatch, d('c'), d('o')}, false},
      {{Kind::kPatch, d('w'), d('c')}, false},
      {{Kind::kDescription, d('c'), {}}, true},
      {{Kind::kDescription, d('w'), {}}, false},
      {{Kind::kReleaseHistory, {}, {}}, true},
      {{Kind::kBundle, d('r'), {}}, true},
      {{Kind::kReleaseDescription, d('c'), {}}, false},
  };
  for (const auto& [name, expected] : rows) {
    SCOPED_TRACE(static_cast<int>(name.kind));
    SCOPED_TRACE(name.digest + " " + name.from);
    EXPECT_EQ(catalog::keeps(kept, name), expected);
  }
}

TEST(VersionPlan, APatchPaysWhenATenthSmallerThanTheCopyOrElseTheFile) {
  EXPECT_TRUE(catalog::patchPays(900, 1000, 5000));
  EXPECT_FALSE(catalog::patchPays(901, 1000, 5000));
  EXPECT_TRUE(catalog::patchPays(4500, 0, 5000));
  EXPECT_FALSE(catalog::patchPays(4501, 0, 5000));
}

}  // namespace
