#include "http/response_headers.hpp"

#include <charconv>

#include "common/text.hpp"

namespace http {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view withoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  return line;
}

// libcurl takes the protocol name in any case.
bool isStatusLine(std::string_view line) {
  return line.size() >= 5 && common::asciiLower(line.substr(0, 5)) == "http/";
}

// "HTTP/1.1 206 Partial Content" and "HTTP/2 200" give the three digits; 0 otherwise.
int statusOf(std::string_view statusLine) {
  const std::size_t space = statusLine.find(' ');
  if (!isStatusLine(statusLine) || space == std::string_view::npos ||
      statusLine.size() < space + 4) {
    return 0;
  }
  const std::string_view digits = statusLine.substr(space + 1, 3);
  int status = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), status);
  return error == std::errc() && end == digits.data() + digits.size() && status >= 100 ? status : 0;
}

}  // namespace

bool isTokenCharacter(char c) {
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kSymbols.find(c) != std::string_view::npos;
}

std::optional<std::pair<std::string_view, std::string_view>> parseHeaderField(
    std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view name = line.substr(0, colon);
  for (const char c : name) {
    if (!isTokenCharacter(c)) {
      return std::nullopt;
    }
  }
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && isBlank(value.front())) {
    value.remove_prefix(1);
  }
  while (!value.empty() && isBlank(value.back())) {
    value.remove_suffix(1);
  }
  return std::pair{name, value};
}

std::optional<std::string_view> ResponseHeaders::find(std::string_view name) const {
  const auto found = fields_.find(common::asciiLower(name));
  if (found == fields_.end()) {
    return std::nullopt;
  }
  return std::string_view(found->second);
}

bool HeaderCollector::addLine(std::string_view line) {
  line = withoutLineEnd(line);
  if (line.empty()) {
    betweenBlocks_ = true;
    return true;
  }
  // Trailer fields after a body arrive between blocks too: only a status line
  // starts a new block.
  if (betweenBlocks_ && isStatusLine(line)) {
    betweenBlocks_ = false;
    statusLine_ = line;
    headers_.status_ = statusOf(line);
    headers_.fields_.clear();
    return false;
  }
  if (const auto field = parseHeaderField(line)) {
    headers_.fields_.insert_or_assign(common::asciiLower(field->first), std::string(field->second));
  }
  return false;
}

}  // namespace http
