#include "formats/release_history.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/errors.hpp"

namespace {

const std::string kA(64, 'a');
const std::string kB(64, 'b');

TEST(ReleaseHistory, ReadsWhatItWritesAndRefusesAnythingElse) {
  const formats::ReleaseHistory history{{{{"x y", kA}, {"z", kB}}, {}, {{"x y", kB}}}, {{kA, kB}}};
  const std::string text = formats::releaseHistoryText(history);
  EXPECT_EQ(formats::parseReleaseHistory(text), history);

  const std::string line = kA + " *p\n";
  const std::string damaged[] = {
      "",
      "tolvex-releases 2\n",
      "tolvex-releases 1",
      "tolvex-releases 1\n" + line,                              // a file before any release
      "tolvex-releases 1\nrelease\n" + kA + " p\n",              // no path mark
      "tolvex-releases 1\nrelease\n" + kA + " *\n",              // no path
      "tolvex-releases 1\nrelease\n" + line + line,              // a path twice
      "tolvex-releases 1\nrelease\n" + kA.substr(1) + "g *p\n",  // not a digest
      "tolvex-releases 1\nrefused " + kA + " " + kB.substr(1) + "\n",
      "tolvex-releases 1\nrefused " + kA + " " + kB + "\nrelease\n",
  };
  for (const std::string& bad : damaged) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(formats::parseReleaseHistory(bad), common::ValueError);
  }
}

}  // namespace
