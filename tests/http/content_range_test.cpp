#include "http/content_range.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace {

TEST(ContentRange, ReadsOnlyWholeRangesThatFit) {
  const std::pair<const char*, std::optional<http::ContentRange>> cases[] = {
      {"bytes 5-11/12", http::ContentRange{5, 11, 12}},
      {"Bytes 0-0/*", http::ContentRange{0, 0, -1}},
      {"bytes 9223372036854775806-9223372036854775806/9223372036854775807",
       http::ContentRange{9223372036854775806, 9223372036854775806, 9223372036854775807}},
      {"bytes 0-9223372036854775808/*", std::nullopt},
      {"bytes */12", std::nullopt},
      {"bytes 5-11/11", std::nullopt},
      {"bytes 6-5/12", std::nullopt},
      {"bytes -5-11/12", std::nullopt},
      {"bytes 5-+11/12", std::nullopt},
      {"bytes  5-11/12", std::nullopt},
      {"items 5-11/12", std::nullopt},
      {"bytes 5-11", std::nullopt},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value);
    EXPECT_EQ(http::parseContentRange(value), expected);
  }
}

}  // namespace
