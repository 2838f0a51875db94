#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/content_range.hpp"
#include "http/multipart_reader.hpp"

namespace http {

// The value of a Range field that asks for `ranges`: "bytes=0-9,20-29".
std::string rangeRequest(std::span<const ByteRange> ranges);

// The answer to a request for several ranges of a file, judged as it arrives:
// it cuts the bytes of each range asked out of the answer's parts, and says
// when the answer cannot serve them. Parts must come in ascending order
// without overlap, each range asked lying whole in one part (a server may
// merge neighbouring ranges into one part); whatever else a server sends (the
// whole file, parts out of order, a range missing, a part longer or shorter
// than it says, a broken multipart body, far more bytes than asked) makes the
// answer unusable, a value for the caller, who then asks another way. Memory
// holds the ranges asked and a few KiB.
class RangesAnswer {
 public:
  // `asked` must be ascending, non-empty ranges that do not overlap
  // (AssertionDefect otherwise).
  explicit RangesAnswer(std::vector<ByteRange> asked);

  // A header block of the answer: its status and its Content-Type and
  // Content-Range values (nothing when absent). Statuses other than 200 and
  // 206 are left to the transfer, which fails on them; blocks after the first
  // 206 (trailers) change nothing.
  void headersArrived(int status, std::optional<std::string_view> contentType,
                      std::optional<std::string_view> contentRange);
  // The next piece of the body.
  void bodyArrived(std::string_view bytes);
  // The body arrived whole: anything asked and missing makes it unusable.
  void bodyEnded();

  const std::vector<ByteRange>& asked() const noexcept { return asked_; }
  // Whether the answer still serves the ranges, or did to its end.
  bool usable() const noexcept { return problem_.empty(); }
  // Why the answer is unusable; "" while it is not.
  const std::string& problem() const noexcept { return problem_; }
  // The bytes of the ranges asked that arrived whole so far, the first of
  // them in the order asked, handed over once.
  std::vector<std::string> takeArrived();

 private:
  void partStarted(const ContentRange& range);
  void partBytes(std::string_view bytes);
  void readMultipart(std::string_view bytes);
  // The current part ended where it said: its ranges have arrived.
  void confirmPart();
  void fail(std::string problem);

  const std::vector<ByteRange> asked_;
  std::int64_t maxBodyBytes_ = 0;
  std::int64_t bodyBytes_ = 0;
  std::optional<MultipartReader> reader_;
  bool started_ = false;
  std::int64_t position_ = 0;  // of the next byte of the current part
  std::int64_t partEnd_ = 0;   // one past the current part's last byte
  std::size_t next_ = 0;       // the first range asked not yet whole
  std::string current_;        // the bytes of asked_[next_] so far
  // Ranges whole in the current part, until the delimiter after it shows
  // that the part was as long as it said.
  std::vector<std::string> partRanges_;
  std::vector<std::string> arrived_;
  std::string problem_;
};

}  // namespace http
