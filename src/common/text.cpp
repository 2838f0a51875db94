#include "common/text.hpp"

#include <charconv>
#include <ctime>

namespace common {

std::string_view trim(std::string_view text) {
  constexpr std::string_view kWhitespace = " \t\n\v\f\r";
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t end = text.find(separator);
    pieces.push_back(text.substr(0, end));
    if (end == std::string_view::npos) {
      return pieces;
    }
    text.remove_prefix(end + 1);
  }
}

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

std::string toHex(std::span<const std::uint8_t> bytes, HexCase letters) {
  const char* digits = letters == HexCase::kLower ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string text(2 * bytes.size(), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 15];
  }
  return text;
}

std::string hexByte(unsigned char byte) {
  const std::uint8_t value = byte;
  return toHex({&value, 1}, HexCase::kUpper);
}

std::optional<std::int64_t> parseDecimal(std::string_view text) {
  if (text.empty() || (text.size() > 1 && text.front() == '0') ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;  // out of range
  }
  return value;
}

std::string utcTimeText(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm fields{};
  char text[64];
  if (::gmtime_r(&time, &fields) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

}  // namespace common
