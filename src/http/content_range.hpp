#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace http {

// `length` bytes of a file from byte `first`.
struct ByteRange {
  std::int64_t first = 0;
  std::int64_t length = 0;
};

// The range of a partial answer, from its Content-Range field: the first and
// last byte positions, and the length of the whole file (-1 when given as "*").
struct ContentRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::int64_t completeLength = -1;

  bool operator==(const ContentRange&) const = default;
};

// Reads a Content-Range value of a partial answer, "bytes FIRST-LAST/LENGTH" or
// "bytes FIRST-LAST/*" (the unit in any case). Nothing when it is not one: an
// unsatisfied range ("bytes */LENGTH"), another unit, a number that does not
// fit, FIRST after LAST, or LAST not below LENGTH.
std::optional<ContentRange> parseContentRange(std::string_view value);

// What an answer does to a file that holds `offset` bytes and was asked for
// the rest of them.
enum class AnswerStart {
  kAppend,     // its body continues the file
  kStartOver,  // its body is the whole file: the file starts again from empty
  kNoBody,     // not an answer whose body goes to the file
};

// How the answer with `status` and the Content-Range value `contentRange`
// (nothing when absent) continues a file of `offset` bytes: 200 starts over; a
// 206 whose range starts at `offset` appends, and one that starts at 0 starts
// over. Throws CurlError for a 206 whose range is missing, unreadable or starts
// elsewhere: the file must not get bytes that belong at another place.
AnswerStart answerStart(int status, std::optional<std::string_view> contentRange,
                        std::int64_t offset);

}  // namespace http
