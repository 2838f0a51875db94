#include "common/base64.hpp"

#include <gtest/gtest.h>

#include "common/errors.hpp"

namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, EncodesRfc4648Vectors) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    SCOPED_TRACE(plain);
    EXPECT_EQ(common::base64Encode(bytesOf(plain)), encoded);
    EXPECT_EQ(common::base64Decode(encoded), bytesOf(plain));
  }
}

TEST(Base64, EncodesWithStandardAlphabetOnly) {
  const std::vector<std::uint8_t> bytes{0xfb, 0xff, 0xbf};
  EXPECT_EQ(common::base64Encode(bytes), "+/+/");
}

TEST(Base64, DecodesLeniently) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"-_-_", "+/+/"},              // URL-safe letters
      {"Zm9vYmFy\r\n", "Zm9vYmFy"},  // trailing line end
      {"Zm9v  ==  ", "Zm9v"},        // trailing padding and blanks
      {" Zm9v\nYmFy", "Zm9vYmFy"},   // blanks and line feeds in front of groups
  };
  for (const auto& [lenient, strict] : cases) {
    SCOPED_TRACE(lenient);
    EXPECT_EQ(common::base64Decode(lenient), common::base64Decode(strict));
  }
}

TEST(Base64, RejectsCharactersOutsideTheAlphabet) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"Zm9v\tYmFy", "Invalid base64 format character `\t` (ord 9) at location 4."},
      {"Zm9v*mFy", "Invalid base64 format character `*` (ord 42) at location 4."},
      {"Zm=vYmFy", "Invalid base64 format character `=` (ord 61) at location 2."},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    try {
      common::base64Decode(text);
      ADD_FAILURE() << "no error";
    } catch (const common::ValueError& e) {
      EXPECT_EQ(e.message(), message);
    }
  }
}

}  // namespace
