#include "regex/regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstddef>
#include <string>

#include "common/errors.hpp"

namespace regex {
namespace {

struct CodeDeleter {
  void operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }
};
using CodePtr = std::unique_ptr<pcre2_code, CodeDeleter>;
using MatchDataPtr = std::unique_ptr<pcre2_match_data, MatchDataDeleter>;

// The message names the place in the expression: the user wrote a glob
// pattern and would not otherwise see which translation failed.
[[noreturn]] void throwCompileError(std::string_view text, std::size_t offset,
                                    std::string_view pattern) {
  throw common::RegexError(std::string(text) + " at offset " + std::to_string(offset) + " in '" +
                           std::string(pattern) + "'");
}

std::string engineMessage(int errorCode) {
  PCRE2_UCHAR buffer[256];
  const int length = pcre2_get_error_message(errorCode, buffer, sizeof buffer);
  if (length < 0) {
    return "unknown error " + std::to_string(errorCode);
  }
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

// Older library versions refuse a null pointer even with length 0.
PCRE2_SPTR bytesOf(std::string_view text) {
  return reinterpret_cast<PCRE2_SPTR>(text.empty() ? "" : text.data());
}

// Length of the bracket expression starting at `open` (a "["), up to and
// including its closing "]"; the rest of the pattern when it is not closed
// (the engine reports that case itself).
std::size_t bracketLength(std::string_view pattern, std::size_t open) {
  std::size_t i = open + 1;
  if (i < pattern.size() && pattern[i] == '^') {
    ++i;
  }
  // A "]" right after the opener (or its "^") is a literal member.
  if (i < pattern.size() && pattern[i] == ']') {
    ++i;
  }
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\\') {
      i += 2;
    } else if (c == '[' && i + 1 < pattern.size() && pattern[i + 1] == ':') {
      const std::size_t end = pattern.find(":]", i + 2);
      i = end == std::string_view::npos ? i + 1 : end + 2;
    } else if (c == ']') {
      return i + 1 - open;
    } else {
      ++i;
    }
  }
  return pattern.size() - open;
}

// Length of the group opener at `open` ("(", "(?:" or "(?!"), or 0 for any
// other kind of parenthesis.
std::size_t plainOpenerLength(std::string_view pattern, std::size_t open) {
  if (open + 1 < pattern.size() && pattern[open + 1] == '?') {
    const bool known =
        open + 2 < pattern.size() && (pattern[open + 2] == ':' || pattern[open + 2] == '!');
    return known ? 3 : 0;
  }
  return 1;
}

// The engine accepts "()" and "(?:)", but an empty alternative group is always
// the sign of a broken pattern (such as "{}" in a glob), so it is refused.
void rejectEmptyGroups(std::string_view pattern) {
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\\') {
      if (i + 1 < pattern.size() && pattern[i + 1] == 'Q') {
        const std::size_t end = pattern.find("\\E", i + 2);
        i = end == std::string_view::npos ? pattern.size() : end + 2;
      } else {
        i += 2;
      }
    } else if (c == '[') {
      i += bracketLength(pattern, i);
    } else if (c == '(') {
      const std::size_t opener = plainOpenerLength(pattern, i);
      if (opener != 0 && i + opener < pattern.size() && pattern[i + opener] == ')') {
        throwCompileError("empty group is not allowed", i, pattern);
      }
      ++i;
    } else {
      ++i;
    }
  }
}

}  // namespace

struct Regex::Impl {
  CodePtr code;
  // One match block per expression; it makes search() unsafe to call for the
  // same Regex from two threads at once, which no caller does.
  MatchDataPtr matchData;
  std::string pattern;
};

Regex::Regex(std::string_view pattern) : impl_(std::make_unique<Impl>()) {
  impl_->pattern = std::string(pattern);
  rejectEmptyGroups(pattern);
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  impl_->code.reset(pcre2_compile(bytesOf(pattern), pattern.size(),
                                  PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &errorCode, &errorOffset,
                                  nullptr));
  if (!impl_->code) {
    throwCompileError(engineMessage(errorCode), errorOffset, pattern);
  }
  impl_->matchData.reset(pcre2_match_data_create_from_pattern(impl_->code.get(), nullptr));
  TOLVEX_CHECK(impl_->matchData != nullptr, "cannot allocate regex match data");
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

bool Regex::search(std::string_view subject) const {
  TOLVEX_CHECK(impl_ != nullptr, "search on a moved-from Regex");
  const int result = pcre2_match(impl_->code.get(), bytesOf(subject), subject.size(), 0, 0,
                                 impl_->matchData.get(), nullptr);
  if (result >= 0) {
    return true;
  }
  if (result == PCRE2_ERROR_NOMATCH) {
    return false;
  }
  // A match or depth limit: the expression cannot be decided on this subject.
  throw common::RegexError(engineMessage(result) + " while matching '" + std::string(subject) +
                           "' against '" + impl_->pattern + "'");
}

}  // namespace regex
