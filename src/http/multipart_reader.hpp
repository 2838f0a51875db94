#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/content_range.hpp"

namespace http {

// The boundary of a Content-Type value "multipart/byteranges; boundary=B" (type
// and parameter names in any case, B a token or a quoted string). Nothing for
// another type, a missing or repeated boundary, or one that is not 1 to 70 of
// the characters that RFC 2046 allows, ending in another than a space.
std::optional<std::string> multipartBoundary(std::string_view contentType);

// Reads the body of a multipart/byteranges answer as it arrives, in pieces of
// any size, and hands out its parts in order: each part's Content-Range, then
// its bytes. A part's length is the one its Content-Range gives, and the
// delimiter must follow right after it, so that a part shorter or longer than
// it claims is caught. It reads input from a server: lines outside the parts
// are capped, and so is the number of header fields of a part, whatever comes;
// memory stays a few KiB. An answer it cannot read ends it as a value, not an
// exception.
class MultipartReader {
 public:
  struct Item {
    enum class Kind {
      kNeedMore,   // every byte given has been read
      kPartStart,  // a part begins: `range` is its Content-Range
      kBytes,      // `bytes` (a view into the input) continue the current part
      kEnd,        // the closing delimiter came; the rest of the body is ignored
      kUnusable,   // the body cannot be read: problem() says why
    };
    Kind kind = Kind::kNeedMore;
    ContentRange range;
    std::string_view bytes;
  };

  // Reads a body whose parts are separated by `boundary` (multipartBoundary()).
  explicit MultipartReader(std::string_view boundary);

  // Reads on in `input`, removing from its front what it has read, up to the
  // next item. Call it until it gives kNeedMore, then again with the next
  // piece. After kEnd it reads everything and gives kNeedMore; after
  // kUnusable it gives kUnusable again.
  Item next(std::string_view& input);

  // At the end of the body: kEnd when the closing delimiter came, else
  // kUnusable (the body stopped short).
  Item finish();

  const std::string& problem() const noexcept { return problem_; }

 private:
  enum class State { kPreamble, kFields, kContent, kContentEnd, kDelimiter, kEnd, kUnusable };

  // Gathers bytes of `input` up to a line feed; true once a whole line (its
  // line end removed) is in line_.
  bool takeLine(std::string_view& input);
  Item lineRead();
  Item delimiterLine(bool afterPreamble);
  Item fieldLine();
  Item unusable(std::string problem);

  const std::string dashBoundary_;
  State state_ = State::kPreamble;
  std::string line_;
  std::size_t preambleBytes_ = 0;
  std::size_t fields_ = 0;
  std::optional<ContentRange> range_;
  std::int64_t contentLeft_ = 0;
  bool contentEndsInCr_ = false;  // the current part's last byte so far is a CR
  bool bareLineFeed_ = false;     // the line in line_ ended without a CR
  std::string problem_;
};

}  // namespace http
