#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// Standard RFC 4648 Base64 with "=" padding and no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);

// Lenient reading: "-" and "_" count as "+" and "/", trailing "=", spaces, CR and LF
// are dropped, and spaces, CR and LF in front of each group of four are skipped.
// Throws ValueError "Invalid base64 format character `c` (ord N) at location I."
// for any other character outside the alphabet.
std::vector<std::uint8_t> base64Decode(std::string_view text);

}  // namespace common
