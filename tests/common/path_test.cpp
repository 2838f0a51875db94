#include "common/path.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Path, JoinsNormalisesAndSplitsPathTexts) {
  struct Case {
    std::string base;
    std::string name;
    std::string normalized;  // joinNormalized(base, name)
    std::string oneSlash;    // joinWithOneSlash(base, name)
  };
  const Case cases[] = {
      {"/home/u", ".key", "/home/u/.key", "/home/u/.key"},
      {"/home/u/", "/.key", "/home/u/.key", "/home/u/.key"},
      {"//home//./u", "x", "/home/u/x", "//home//./u/x"},
      {"/home/u/../v", "x", "/home/v/x", "/home/u/../v/x"},
      {"/..", "x", "/x", "/../x"},
      {"rel/..", "../x", "../x", "rel/../../x"},
      {"", "a?b#c", "/a?b#c", "/a?b#c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base + " + " + c.name);
    EXPECT_EQ(common::joinNormalized(c.base, c.name), c.normalized);
    EXPECT_EQ(common::joinWithOneSlash(c.base, c.name), c.oneSlash);
  }

  struct Split {
    std::string path;
    std::string parent;
    std::string last;
    std::string compact;  // withoutEmptyComponents(path)
  };
  const Split splits[] = {
      {"a.txt", ".", "a.txt", "a.txt"}, {"d/e/f.txt", "d/e", "f.txt", "d/e/f.txt"},
      {"./d//f", "./d/", "f", "d/f"},   {"/abs", "", "abs", "abs"},
      {"dir/", "dir", "", "dir"},
  };
  for (const auto& s : splits) {
    SCOPED_TRACE(s.path);
    EXPECT_EQ(common::parentDirectory(s.path), s.parent);
    EXPECT_EQ(common::lastComponent(s.path), s.last);
    EXPECT_EQ(common::withoutEmptyComponents(s.path), s.compact);
  }
}

}  // namespace
