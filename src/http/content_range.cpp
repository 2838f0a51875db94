#include "http/content_range.hpp"

#include <charconv>
#include <string>

#include "common/errors.hpp"
#include "common/text.hpp"

namespace http {
namespace {

// A run of decimal digits that fits a signed 64-bit count; nothing for an
// empty run, a sign, or a value past the largest count.
std::optional<std::int64_t> bytePosition(std::string_view digits) {
  std::int64_t value = 0;
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<ContentRange> parseContentRange(std::string_view value) {
  constexpr std::string_view kUnit = "bytes ";
  if (value.size() < kUnit.size() || common::asciiLower(value.substr(0, kUnit.size())) != kUnit) {
    return std::nullopt;
  }
  value.remove_prefix(kUnit.size());
  const std::size_t dash = value.find('-');
  const std::size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return std::nullopt;
  }
  const auto first = bytePosition(value.substr(0, dash));
  const auto last = bytePosition(value.substr(dash + 1, slash - dash - 1));
  const std::string_view length = value.substr(slash + 1);
  if (!first || !last || *first > *last) {
    return std::nullopt;
  }
  ContentRange range{*first, *last, -1};
  if (length != "*") {
    const auto complete = bytePosition(length);
    if (!complete || *last >= *complete) {
      return std::nullopt;
    }
    range.completeLength = *complete;
  }
  return range;
}

AnswerStart answerStart(int status, std::optional<std::string_view> contentRange,
                        std::int64_t offset) {
  if (status == 200) {
    return offset > 0 ? AnswerStart::kStartOver : AnswerStart::kAppend;
  }
  if (status != 206) {
    return AnswerStart::kNoBody;
  }
  const auto range = contentRange ? parseContentRange(*contentRange) : std::nullopt;
  if (!range) {
    throw common::CurlError("partial answer without a readable Content-Range");
  }
  if (range->first == offset) {
    return AnswerStart::kAppend;
  }
  if (range->first == 0) {
    return AnswerStart::kStartOver;
  }
  throw common::CurlError("partial answer starts at byte " + std::to_string(range->first) +
                          " instead of " + std::to_string(offset));
}

}  // namespace http
