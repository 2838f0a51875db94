#include "common/text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(Text, TrimsSplitsLowersAndWritesHex) {
  const std::pair<std::string, std::string> trims[] = {
      {"", ""}, {" \t\r\n\v\f", ""}, {"  a b \r\n", "a b"}, {"x", "x"}};
  for (const auto& [text, trimmed] : trims) {
    EXPECT_EQ(common::trim(text), trimmed) << text;
  }

  using Pieces = std::vector<std::string_view>;
  EXPECT_EQ(common::split("", ':'), (Pieces{""}));
  EXPECT_EQ(common::split("a", ':'), (Pieces{"a"}));
  EXPECT_EQ(common::split("a::b:", ':'), (Pieces{"a", "", "b", ""}));

  EXPECT_EQ(common::asciiLower("Content-RANGE \xC3\x84"), "content-range \xC3\x84");

  const std::vector<std::uint8_t> bytes = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(common::toHex(bytes), "000fa5ff");
  EXPECT_EQ(common::toHex(bytes, common::HexCase::kUpper), "000FA5FF");
  EXPECT_EQ(common::toHex({}), "");
  EXPECT_EQ(common::hexByte(0x1b), "1B");
}

}  // namespace
