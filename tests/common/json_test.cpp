#include "common/json.hpp"

#include <gtest/gtest.h>

#include "common/errors.hpp"

namespace {

TEST(Json, WritesCompactObjectInMemberOrder) {
  EXPECT_EQ(common::compactJsonObject({{"public_key", "abc="}, {"url", "http://h/x"}}),
            R"({"public_key":"abc=","url":"http://h/x"})");
}

TEST(Json, EscapesByteByByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\"b", R"(a\"b)"},
      {"a\\b", R"(a\\b)"},
      {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
      {"\v", R"(\u000b)"},
      {std::string("\0\x07", 2), R"(\u0000\u0007)"},
      {"\x0e\x1f", R"(\u000E\u001F)"},
      {"/\x7f\xc3\xa9", "/\x7f\xc3\xa9"},
  };
  for (const auto& [raw, escaped] : cases) {
    SCOPED_TRACE(escaped);
    EXPECT_EQ(common::escapeJsonString(raw), escaped);
    // What is written reads back as the same text.
    const auto object = common::JsonObject::parse(common::compactJsonObject({{"url", raw}}));
    EXPECT_EQ(object.stringMember("url"), raw);
  }
}

TEST(Json, ReadsStringMembersWhateverTheLayout) {
  const auto object =
      common::JsonObject::parse("{\n  \"url\" : \"u\",\n \"n\": 5, \"extra\": [1]\n}\n");
  EXPECT_EQ(object.stringMember("url"), "u");
  EXPECT_EQ(object.stringMember("n"), "");
}

TEST(Json, ReportsEachFailureWithItsKind) {
  EXPECT_THROW(common::JsonObject::parse("{\"a\":"), common::JsonParsingError);
  EXPECT_THROW(common::JsonObject::parse("[1,2]"), common::AssertionDefect);
  try {
    common::JsonObject::parse("{}").stringMember("url");
    ADD_FAILURE() << "no error";
  } catch (const common::KeyError& e) {
    EXPECT_EQ(e.message(), "key not found: url");
  }
}

}  // namespace
