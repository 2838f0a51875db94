#include "http/ranges_answer.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/errors.hpp"
#include "common/text.hpp"

namespace http {
namespace {

// What the framing of a part may add to its bytes: nginx, Apache and
// cpp-httplib send about 100-150 bytes (a delimiter, Content-Type and
// Content-Range). A server that merges neighbouring ranges sends the gap
// between them too, worth it only when it is smaller than this.
constexpr std::int64_t kFramingBytesPerRange = 512;
constexpr std::int64_t kFramingBytes = std::int64_t{16} * 1024;

std::int64_t maxBodyBytes(const std::vector<ByteRange>& asked) {
  std::int64_t previousEnd = 0;
  std::int64_t bytes = 0;  // cannot overflow: the ranges lie apart below the largest count
  for (const ByteRange& range : asked) {
    TOLVEX_CHECK(range.first >= previousEnd && range.length > 0 &&
                     range.length <= std::numeric_limits<std::int64_t>::max() - range.first,
                 "ranges asked must be ascending, non-empty and apart");
    previousEnd = range.first + range.length;
    bytes += range.length;
  }
  const auto framing =
      kFramingBytes + kFramingBytesPerRange * static_cast<std::int64_t>(asked.size());
  return bytes > std::numeric_limits<std::int64_t>::max() - framing
             ? std::numeric_limits<std::int64_t>::max()
             : bytes + framing;
}

}  // namespace

std::string rangeRequest(std::span<const ByteRange> ranges) {
  std::string value = "bytes=";
  for (const ByteRange& range : ranges) {
    if (&range != ranges.data()) {
      value += ',';
    }
    value += std::to_string(range.first);
    value += '-';
    value += std::to_string(range.first + range.length - 1);
  }
  return value;
}

RangesAnswer::RangesAnswer(std::vector<ByteRange> asked)
    : asked_(std::move(asked)), maxBodyBytes_(maxBodyBytes(asked_)) {
  TOLVEX_CHECK(!asked_.empty(), "no range asked");
}

void RangesAnswer::headersArrived(int status, std::optional<std::string_view> contentType,
                                  std::optional<std::string_view> contentRange) {
  // Trailer fields after a chunked body end a block of the same answer again.
  if (reader_ || started_) {
    return;
  }
  if (status == 200) {
    fail("the server sent the whole file");
    return;
  }
  if (status != 206 || !usable()) {
    return;
  }
  if (contentType && common::asciiLower(common::trim(*contentType)).starts_with("multipart/")) {
    const std::optional<std::string> boundary = multipartBoundary(*contentType);
    if (!boundary) {
      fail("a multipart answer without a usable boundary");
      return;
    }
    reader_.emplace(*boundary);
    return;
  }
  const std::optional<ContentRange> range =
      contentRange ? parseContentRange(*contentRange) : std::nullopt;
  if (!range) {
    fail("a partial answer without a readable Content-Range");
    return;
  }
  partStarted(*range);
}

void RangesAnswer::bodyArrived(std::string_view bytes) {
  if (!usable()) {
    return;
  }
  // What fits below the cap is read first, so that where the network cut the
  // body does not change what arrives.
  const auto room = static_cast<std::size_t>(
      std::min<std::int64_t>(maxBodyBytes_ - bodyBytes_, static_cast<std::int64_t>(bytes.size())));
  const bool tooLong = room < bytes.size();
  bytes = bytes.substr(0, room);
  bodyBytes_ += static_cast<std::int64_t>(room);
  if (reader_) {
    readMultipart(bytes);
  } else if (!started_) {
    fail("a body before its header block");
  } else if (static_cast<std::int64_t>(bytes.size()) > partEnd_ - position_) {
    fail("the answer is longer than its Content-Range");
  } else {
    partBytes(bytes);
    // Its bytes are where its Content-Range puts them, whatever comes next.
    confirmPart();
  }
  if (tooLong) {
    fail("the answer is far longer than the ranges asked");
  }
}

void RangesAnswer::bodyEnded() {
  if (!usable()) {
    return;
  }
  if (reader_ && reader_->finish().kind != MultipartReader::Item::Kind::kEnd) {
    fail(reader_->problem());
  } else if (!reader_ && position_ != partEnd_) {
    fail("the answer is shorter than its Content-Range");
  } else if (!current_.empty()) {
    fail("a part ends inside a range asked");
  } else if (next_ < asked_.size()) {
    fail("the answer holds " + std::to_string(next_) + " of the " + std::to_string(asked_.size()) +
         " ranges asked");
  }
}

std::vector<std::string> RangesAnswer::takeArrived() { return std::exchange(arrived_, {}); }

void RangesAnswer::readMultipart(std::string_view bytes) {
  using Kind = MultipartReader::Item::Kind;
  while (usable()) {
    const MultipartReader::Item item = reader_->next(bytes);
    switch (item.kind) {
      case Kind::kNeedMore:
        return;
      case Kind::kEnd:
        confirmPart();
        return;
      case Kind::kPartStart:
        confirmPart();
        partStarted(item.range);
        break;
      case Kind::kBytes:
        partBytes(item.bytes);
        break;
      case Kind::kUnusable:
        fail(reader_->problem());
        return;
    }
  }
}

void RangesAnswer::partStarted(const ContentRange& range) {
  if (!current_.empty()) {
    fail("a part ends inside a range asked");
  } else if (started_ && range.first < partEnd_) {
    fail("parts overlap or come out of order");
  } else if (next_ == asked_.size() || range.last < asked_[next_].first) {
    fail("a part that was not asked for");
  } else if (range.first > asked_[next_].first) {
    fail("the range from byte " + std::to_string(asked_[next_].first) +
         " is missing or out of order");
  } else {
    started_ = true;
    position_ = range.first;
    partEnd_ = range.last + 1;
  }
}

// Bytes of the part outside the ranges asked (a gap that a server merged) are
// passed over.
void RangesAnswer::partBytes(std::string_view bytes) {
  while (!bytes.empty() && next_ < asked_.size()) {
    const ByteRange& want = asked_[next_];
    const auto size = static_cast<std::int64_t>(bytes.size());
    const std::int64_t skip = std::clamp<std::int64_t>(want.first - position_, 0, size);
    const std::int64_t take = std::min(size - skip, want.first + want.length - position_ - skip);
    if (current_.empty()) {
      // A range asked for, of our own length: grown once, not by doubling.
      current_.reserve(static_cast<std::size_t>(want.length));
    }
    current_.append(bytes.substr(static_cast<std::size_t>(skip), static_cast<std::size_t>(take)));
    bytes.remove_prefix(static_cast<std::size_t>(skip + take));
    position_ += skip + take;
    if (position_ == want.first + want.length) {
      partRanges_.push_back(std::exchange(current_, {}));
      ++next_;
    }
  }
  position_ += static_cast<std::int64_t>(bytes.size());
}

void RangesAnswer::confirmPart() {
  for (std::string& range : partRanges_) {
    arrived_.push_back(std::move(range));
  }
  partRanges_.clear();
}

void RangesAnswer::fail(std::string problem) {
  if (usable()) {
    problem_ = std::move(problem);
  }
}

}  // namespace http
