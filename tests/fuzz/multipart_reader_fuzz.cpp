// A multipart/byteranges answer from a server: the first line is its
// Content-Type value, the rest its body, handed over in pieces whose sizes the
// first byte sets. Both the reader and the ranges it serves are checked.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "http/multipart_reader.hpp"
#include "http/ranges_answer.hpp"

namespace {

// Every part gets exactly the bytes its Content-Range counts, and nothing
// comes after the end or an unusable answer.
void readAll(const std::string& boundary, std::string_view body, std::size_t piece) {
  using Kind = http::MultipartReader::Item::Kind;
  http::MultipartReader reader(boundary);
  std::int64_t left = 0;
  bool ended = false;
  for (std::size_t at = 0; at < body.size(); at += piece) {
    std::string_view input = body.substr(at, piece);
    for (;;) {
      const http::MultipartReader::Item item = reader.next(input);
      if (item.kind == Kind::kNeedMore) {
        TOLVEX_FUZZ_EXPECT(input.empty());
        break;
      }
      TOLVEX_FUZZ_EXPECT(!ended);
      if (item.kind == Kind::kUnusable) {
        TOLVEX_FUZZ_EXPECT(!reader.problem().empty());
        return;
      }
      if (item.kind == Kind::kPartStart) {
        TOLVEX_FUZZ_EXPECT(left == 0);
        left = item.range.last - item.range.first + 1;
      } else if (item.kind == Kind::kBytes) {
        TOLVEX_FUZZ_EXPECT(!item.bytes.empty() &&
                           static_cast<std::int64_t>(item.bytes.size()) <= left);
        left -= static_cast<std::int64_t>(item.bytes.size());
      } else {
        TOLVEX_FUZZ_EXPECT(left == 0);
        ended = true;
      }
    }
  }
  TOLVEX_FUZZ_EXPECT((reader.finish().kind == Kind::kEnd) == ended);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t piece = 1;
  if (size > 0) {
    piece = std::size_t{1} << (data[0] % 12);
    ++data;
    --size;
  }
  const auto [contentType, body] = fuzzing::splitFirstLine(fuzzing::textOf(data, size));
  if (const auto boundary = http::multipartBoundary(contentType)) {
    TOLVEX_FUZZ_EXPECT(!boundary->empty() && boundary->size() <= 70);
    readAll(*boundary, body, piece);
  }
  const std::vector<http::ByteRange> asked = {{0, 5}, {10, 20}, {100, 1}};
  http::RangesAnswer answer(asked);
  answer.headersArrived(206, contentType, "bytes 0-200/201");
  for (std::size_t at = 0; at < body.size(); at += piece) {
    answer.bodyArrived(body.substr(at, piece));
  }
  answer.bodyEnded();
  const std::vector<std::string> arrived = answer.takeArrived();
  TOLVEX_FUZZ_EXPECT(arrived.size() <= asked.size());
  TOLVEX_FUZZ_EXPECT(!answer.usable() || arrived.size() == asked.size());
  for (std::size_t i = 0; i < arrived.size(); ++i) {
    TOLVEX_FUZZ_EXPECT(std::cmp_equal(arrived[i].size(), asked[i].length));
  }
  return 0;
}
