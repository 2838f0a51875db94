#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// `text` without leading and trailing ASCII whitespace (" \t\n\v\f\r").
std::string_view trim(std::string_view text);

// The pieces of `text` between the `separator` bytes, in order; empty pieces are
// kept, so "" gives one empty piece and "a," gives "a" and "".
std::vector<std::string_view> split(std::string_view text, char separator);

// `text` with "A"-"Z" turned into "a"-"z"; other bytes unchanged.
std::string asciiLower(std::string_view text);

enum class HexCase { kLower, kUpper };

// Two hexadecimal digits per byte of `bytes`.
std::string toHex(std::span<const std::uint8_t> bytes, HexCase letters = HexCase::kLower);

// The two upper-case hexadecimal digits of `byte`, for escapes such as "\x1B".
std::string hexByte(unsigned char byte);

// The value of `text` when it is a whole number in its one decimal form: digits
// only, no sign, no leading zero (but "0"), and at most the largest int64_t.
std::optional<std::int64_t> parseDecimal(std::string_view text);

// `seconds` since the epoch as UTC time, "YYYY-MM-DD HH:MM:SS UTC"; the number
// itself when the calendar cannot hold it.
std::string utcTimeText(std::int64_t seconds);

}  // namespace common
