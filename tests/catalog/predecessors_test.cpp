#include "catalog/predecessors.hpp"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>

namespace formats {

void PrintTo(const FileDescription::Predecessor& predecessor, std::ostream* out) {
  *out << predecessor.digest.front() << ' ' << predecessor.path;
}

}  // namespace formats

namespace {

using formats::Release;
using Found = std::map<std::string, formats::FileDescription::Predecessor>;

// Digest texts that read as what they stand for.
std::string d(char c) { return std::string(64, c); }

TEST(Predecessors, FindsTheFileAClientHoldsInPlaceOfEachNewPath) {
  struct Row {
    const char* what;
    Release previous;
    Release current;
    Found expected;
  };
  const Row rows[] = {
      {"a version in a folder name, in two",
       {{"lib/6.1.0-47/cp936.ko", d('1')},
        {"lib/6.1.0-47/cp950.ko", d('2')},
        {"app-1.4/app-1.4.jar", d('3')}},
       {{"lib/6.1.0-50/cp936.ko", d('4')},
        {"lib/6.1.0-50/cp950.ko", d('2')},
        {"app-1.5/app-1.5.jar", d('5')}},
       {{"lib/6.1.0-50/cp936.ko", {d('1'), "lib/6.1.0-47/cp936.ko"}},
        {"lib/6.1.0-50/cp950.ko", {d('2'), "lib/6.1.0-47/cp950.ko"}},
        {"app-1.5/app-1.5.jar", {d('3'), "app-1.4/app-1.4.jar"}}}},
      {"a path gone before one kept, then the highest version by number",
       {{"foo-2.9.jar", d('1')}, {"foo-2.10.jar", d('2')}, {"foo-3.0.jar", d('3')}},
       {{"foo-3.0.jar", d('3')}, {"foo-3.1.jar", d('4')}},
       {{"foo-3.1.jar", {d('2'), "foo-2.10.jar"}}}},
      {"the same numbers: the text decides",
       {{"v01/x", d('1')}, {"v1/x", d('2')}},
       {{"v2/x", d('3')}},
       {{"v2/x", {d('2'), "v1/x"}}}},
      {"a renamed folder: the vanished folder with the most names, else a move",
       {{"alpha/a", d('1')}, {"alpha/b", d('2')}, {"beta/a", d('3')}, {"beta/z", d('4')}},
       {{"gamma/a", d('5')}, {"gamma/b", d('6')}, {"gamma/y", d('4')}},
       {{"gamma/a", {d('1'), "alpha/a"}},
        {"gamma/b", {d('2'), "alpha/b"}},
        {"gamma/y", {d('4'), "beta/z"}}}},
      {"equal votes: the first folder",
       {{"one/a", d('1')}, {"two/a", d('2')}},
       {{"three/a", d('3')}},
       {{"three/a", {d('1'), "one/a"}}}},
      {"a copy and a move: a path gone first, else the first",
       {{"b", d('1')}, {"c", d('1')}, {"e", d('2')}, {"f", d('2')}},
       {{"b", d('1')}, {"d", d('1')}, {"e", d('2')}, {"f", d('2')}, {"g", d('2')}},
       {{"d", {d('1'), "c"}}, {"g", {d('2'), "e"}}}},
      {"nothing alike", {{"a", d('1')}}, {{"b", d('2')}}, {}},
      {"what a client may not read, or no file, precedes nothing",
       {{"x.tolvex-pending", d('1')}, {"updater-catalog.sig", d('2')}, {"pipe1", ""}},
       {{"y", d('1')}, {"z", d('2')}, {"pipe2", d('3')}, {"dev", ""}},
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(catalog::findPredecessors(row.previous, row.current), row.expected);
  }
}

}  // namespace
