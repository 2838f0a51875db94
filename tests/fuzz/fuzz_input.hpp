#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace fuzzing {

// The fuzzer's bytes as text.
inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// `text` split at its first line feed: what comes before it and what after
// (all of `text` and "" when there is none).
inline std::pair<std::string_view, std::string_view> splitFirstLine(std::string_view text) {
  const std::size_t feed = text.find('\n');
  if (feed == std::string_view::npos) {
    return {text, {}};
  }
  return {text.substr(0, feed), text.substr(feed + 1)};
}

// Aborts, so that libFuzzer keeps the input, when a property does not hold.
#define TOLVEX_FUZZ_EXPECT(condition) \
  do {                                \
    if (!(condition)) {               \
      __builtin_trap();               \
    }                                 \
  } while (0)

}  // namespace fuzzing
