#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace http {

// Whether `c` may appear in a token (field names, parameter names), RFC 9110
// section 5.6.2.
bool isTokenCharacter(char c);

// One header field line split as HTTP defines it: the name (a token), a colon,
// optional blanks, the value, optional trailing blanks. Nothing when `line`
// (without its line end) is not a field.
std::optional<std::pair<std::string_view, std::string_view>> parseHeaderField(
    std::string_view line);

// The fields of one response header block. Looking a field up costs the same
// however many the block holds; names compare without case, and the last of
// repeated fields wins.
class ResponseHeaders {
 public:
  // The status code of the block's status line ("HTTP/1.1 206 ..." gives 206),
  // 0 when it has none that reads as one.
  int status() const noexcept { return status_; }
  // The value of the field called `name` (any case), nothing when absent.
  std::optional<std::string_view> find(std::string_view name) const;
  std::size_t size() const noexcept { return fields_.size(); }

 private:
  friend class HeaderCollector;

  int status_ = 0;
  std::unordered_map<std::string, std::string> fields_;  // by lower-case name
};

// Collects the header lines of one exchange, which holds a block per answer
// (redirects and interim answers come first). A block starts with a status
// line after a blank line (or at the first line) and ends with a blank line;
// lines inside it that are not fields are skipped and leave its fields alone.
class HeaderCollector {
 public:
  // Takes one line as libcurl hands it over, line end included. True when it
  // was the blank line that ends a block, whose fields headers() then holds.
  bool addLine(std::string_view line);
  const ResponseHeaders& headers() const noexcept { return headers_; }
  const std::string& statusLine() const noexcept { return statusLine_; }

 private:
  ResponseHeaders headers_;
  std::string statusLine_;
  bool betweenBlocks_ = true;
};

}  // namespace http
