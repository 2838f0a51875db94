#include "http/multipart_reader.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/text.hpp"
#include "http/response_headers.hpp"

namespace http {
namespace {

// RFC 2046 section 5.1.1.
constexpr std::size_t kMaxBoundaryBytes = 70;
// Delimiter and field lines are short: a Content-Range line of the largest
// numbers takes about 80 bytes, a delimiter at most 74 and its padding.
constexpr std::size_t kMaxLineBytes = 1024;
// Servers send no preamble; a little is read past, no more.
constexpr std::size_t kMaxPreambleBytes = 1024;
// Servers send two fields per part (Content-Type and Content-Range).
constexpr std::size_t kMaxPartFields = 16;

bool isBoundaryCharacter(char c) {
  constexpr std::string_view kSymbols = "'()+_,-./:=? ";
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kSymbols.find(c) != std::string_view::npos;
}

bool isValidBoundary(std::string_view boundary) {
  return !boundary.empty() && boundary.size() <= kMaxBoundaryBytes && boundary.back() != ' ' &&
         std::all_of(boundary.begin(), boundary.end(), isBoundaryCharacter);
}

void skipBlanks(std::string_view& text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
}

std::string_view withoutTrailingBlanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// The run of token characters at the front of `text`, removed from it.
std::string_view takeToken(std::string_view& text) {
  const auto end = std::find_if_not(text.begin(), text.end(), isTokenCharacter);
  const std::string_view token = text.substr(0, static_cast<std::size_t>(end - text.begin()));
  text.remove_prefix(token.size());
  return token;
}

// A parameter value at the front of `text` (a token, or a quoted string with
// its escapes undone), removed from it; nothing when there is none.
std::optional<std::string> takeParameterValue(std::string_view& text) {
  if (text.empty() || text.front() != '"') {
    const std::string_view token = takeToken(text);
    return token.empty() ? std::nullopt : std::optional<std::string>(token);
  }
  std::string value;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '"') {
      text.remove_prefix(i + 1);
      return value;
    }
    if (text[i] == '\\' && ++i == text.size()) {
      break;
    }
    value += text[i];
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> multipartBoundary(std::string_view contentType) {
  std::string_view rest = contentType;
  const std::string_view type = common::trim(rest.substr(0, rest.find(';')));
  if (common::asciiLower(type) != "multipart/byteranges") {
    return std::nullopt;
  }
  rest.remove_prefix(std::min(rest.size(), rest.find(';')));
  std::optional<std::string> boundary;
  for (;;) {
    skipBlanks(rest);
    if (rest.empty()) {
      break;
    }
    if (rest.front() != ';') {
      return std::nullopt;
    }
    rest.remove_prefix(1);
    skipBlanks(rest);
    if (rest.empty()) {
      break;
    }
    const std::string name = common::asciiLower(takeToken(rest));
    if (name.empty() || rest.empty() || rest.front() != '=') {
      return std::nullopt;
    }
    rest.remove_prefix(1);
    std::optional<std::string> value = takeParameterValue(rest);
    if (!value || (name == "boundary" && boundary)) {
      return std::nullopt;
    }
    if (name == "boundary") {
      boundary = std::move(value);
    }
  }
  if (!boundary || !isValidBoundary(*boundary)) {
    return std::nullopt;
  }
  return boundary;
}

MultipartReader::MultipartReader(std::string_view boundary)
    : dashBoundary_(std::string("--").append(boundary)) {}

MultipartReader::Item MultipartReader::next(std::string_view& input) {
  using Kind = Item::Kind;
  for (;;) {
    switch (state_) {
      case State::kEnd:
        input = {};
        return {Kind::kNeedMore, {}, {}};
      case State::kUnusable:
        return {Kind::kUnusable, {}, {}};
      case State::kContent: {
        if (input.empty()) {
          return {Kind::kNeedMore, {}, {}};
        }
        const auto count = static_cast<std::size_t>(
            std::min<std::int64_t>(contentLeft_, static_cast<std::int64_t>(input.size())));
        const std::string_view bytes = input.substr(0, count);
        input.remove_prefix(count);
        contentLeft_ -= static_cast<std::int64_t>(count);
        if (count > 0) {
          contentEndsInCr_ = bytes.back() == '\r';
        }
        if (contentLeft_ == 0) {
          state_ = State::kContentEnd;
        }
        return {Kind::kBytes, {}, bytes};
      }
      default: {
        if (!takeLine(input)) {
          if (line_.size() > kMaxLineBytes) {
            return unusable("a line outside the parts is longer than " +
                            std::to_string(kMaxLineBytes) + " bytes");
          }
          return {Kind::kNeedMore, {}, {}};
        }
        const Item item = lineRead();
        line_.clear();
        if (item.kind != Kind::kNeedMore) {
          return item;
        }
      }
    }
  }
}

MultipartReader::Item MultipartReader::finish() {
  if (state_ == State::kEnd) {
    return {Item::Kind::kEnd, {}, {}};
  }
  if (state_ == State::kUnusable) {
    return {Item::Kind::kUnusable, {}, {}};
  }
  return unusable("the answer ends before its closing delimiter");
}

bool MultipartReader::takeLine(std::string_view& input) {
  const std::size_t feed = input.find('\n');
  const std::size_t length = feed == std::string_view::npos ? input.size() : feed;
  // One byte past the cap is kept, so that next() sees the line is too long.
  const std::size_t room = kMaxLineBytes + 1 - std::min(line_.size(), kMaxLineBytes + 1);
  if (length > room) {
    line_.append(input.substr(0, room));
    input.remove_prefix(room);
    return false;
  }
  line_.append(input.substr(0, length));
  if (feed == std::string_view::npos) {
    input = {};
    return false;
  }
  input.remove_prefix(feed + 1);
  bareLineFeed_ = line_.empty() || line_.back() != '\r';
  if (!bareLineFeed_) {
    line_.pop_back();
  }
  return true;
}

// kNeedMore: the line is read and the next one may follow.
MultipartReader::Item MultipartReader::lineRead() {
  switch (state_) {
    case State::kPreamble:
      return delimiterLine(true);
    case State::kFields:
      return fieldLine();
    case State::kContentEnd:
      // A bare line feed after a part that ends in CR may be the rest of a
      // CRLF whose CR was taken for the part's last byte: a part one byte short.
      if (!line_.empty() || (bareLineFeed_ && contentEndsInCr_)) {
        return unusable("a part does not end where its Content-Range says");
      }
      state_ = State::kDelimiter;
      return {Item::Kind::kNeedMore, {}, {}};
    default:
      return delimiterLine(false);
  }
}

MultipartReader::Item MultipartReader::delimiterLine(bool afterPreamble) {
  const std::string_view line = withoutTrailingBlanks(line_);
  if (line == dashBoundary_) {
    state_ = State::kFields;
    fields_ = 0;
    range_.reset();
    return {Item::Kind::kNeedMore, {}, {}};
  }
  if (line.size() == dashBoundary_.size() + 2 && line.starts_with(dashBoundary_) &&
      line.ends_with("--")) {
    state_ = State::kEnd;
    return {Item::Kind::kEnd, {}, {}};
  }
  if (!afterPreamble) {
    return unusable("a part does not end where its Content-Range says");
  }
  preambleBytes_ += line_.size() + 1;
  if (preambleBytes_ > kMaxPreambleBytes) {
    return unusable("no delimiter in the first " + std::to_string(kMaxPreambleBytes) + " bytes");
  }
  return {Item::Kind::kNeedMore, {}, {}};
}

MultipartReader::Item MultipartReader::fieldLine() {
  if (line_.empty()) {
    if (!range_) {
      return unusable("a part without a Content-Range");
    }
    if (range_->last - range_->first == std::numeric_limits<std::int64_t>::max()) {
      return unusable("a part too long to count");
    }
    state_ = State::kContent;
    contentLeft_ = range_->last - range_->first + 1;
    return {Item::Kind::kPartStart, *range_, {}};
  }
  if (++fields_ > kMaxPartFields) {
    return unusable("a part with more than " + std::to_string(kMaxPartFields) + " header fields");
  }
  const auto field = parseHeaderField(line_);
  if (!field) {
    return unusable("a part header line that is no field");
  }
  if (common::asciiLower(field->first) != "content-range") {
    return {Item::Kind::kNeedMore, {}, {}};
  }
  if (range_) {
    return unusable("a part with two Content-Range fields");
  }
  range_ = parseContentRange(field->second);
  if (!range_) {
    return unusable("a part with an unreadable Content-Range");
  }
  return {Item::Kind::kNeedMore, {}, {}};
}

MultipartReader::Item MultipartReader::unusable(std::string problem) {
  state_ = State::kUnusable;
  problem_ = std::move(problem);
  return {Item::Kind::kUnusable, {}, {}};
}

}  // namespace http
