#include "common/base64.hpp"

#include <array>

#include "common/errors.hpp"

namespace common {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  }
  table['-'] = 62;
  table['_'] = 63;
  return table;
}

constexpr std::array<std::int8_t, 256> kDecodeTable = makeDecodeTable();

bool isSkippable(char c) { return c == ' ' || c == '\r' || c == '\n'; }

std::uint32_t sextet(std::string_view text, std::size_t index) {
  const auto byte = static_cast<unsigned char>(text[index]);
  const int value = kDecodeTable[byte];
  if (value < 0) {
    throw ValueError("Invalid base64 format character `" + std::string(1, text[index]) + "` (ord " +
                     std::to_string(byte) + ") at location " + std::to_string(index) + ".");
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += kAlphabet[(group >> 6) & 63];
    text += kAlphabet[group & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) {
      group |= std::uint32_t{bytes[i + 1]} << 8;
    }
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::vector<std::uint8_t> base64Decode(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0 && (isSkippable(text[end - 1]) || text[end - 1] == '=')) {
    --end;
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(end / 4 * 3 + 2);
  std::size_t i = 0;
  while (i < end) {
    while (i < end && isSkippable(text[i])) {
      ++i;
    }
    const std::size_t groupLength = std::min<std::size_t>(4, end - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < groupLength; ++k) {
      group |= sextet(text, i + k) << (18 - 6 * k);
    }
    i += groupLength;
    // A group of n characters carries n - 1 whole bytes; a lone character none.
    for (std::size_t k = 0; k + 1 < groupLength; ++k) {
      bytes.push_back(static_cast<std::uint8_t>(group >> (16 - 8 * k)));
    }
  }
  return bytes;
}

}  // namespace common
