// A Content-Range value from a server, and what it does to a file of some size
// (the first eight bytes of the input, the rest is the value).
#include <cstring>

#include "common/errors.hpp"
#include "fuzz_input.hpp"
#include "http/content_range.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::int64_t offset = 0;
  if (size >= sizeof offset) {
    std::memcpy(&offset, data, sizeof offset);
    offset = offset < 0 ? -(offset + 1) : offset;
    data += sizeof offset;
    size -= sizeof offset;
  }
  const std::string_view value = fuzzing::textOf(data, size);
  if (const auto range = http::parseContentRange(value)) {
    TOLVEX_FUZZ_EXPECT(range->first >= 0 && range->first <= range->last);
    TOLVEX_FUZZ_EXPECT(range->completeLength == -1 || range->last < range->completeLength);
  }
  try {
    const http::AnswerStart start = http::answerStart(206, value, offset);
    const auto range = http::parseContentRange(value);
    TOLVEX_FUZZ_EXPECT(range && (range->first == offset || range->first == 0));
    TOLVEX_FUZZ_EXPECT((start == http::AnswerStart::kAppend) == (range->first == offset));
  } catch (const common::CurlError&) {
    // the attempt fails: a range that does not continue the file
  }
  return 0;
}
