#include "catalog/glob.hpp"

#include <array>
#include <cstddef>
#include <vector>

#include "common/errors.hpp"
#include "regex/regex.hpp"

namespace catalog {
namespace {

// Any number of whole path segments, ending in a separator or at the end.
constexpr std::string_view kGlobstar = R"re((?:[^\/]*(?:\/|$))*)re";
constexpr std::string_view kOneSegmentChar = "[^/]";
constexpr std::string_view kEscapable = "\\*?[{$()+.]^|";

struct NamedClass {
  std::string_view name;
  std::string_view text;
};

constexpr std::array<NamedClass, 14> kNamedClasses = {{
    {"upper", "A-Z"},
    {"lower", "a-z"},
    {"alpha", "a-zA-Z"},
    {"digit", "0-9"},
    {"xdigit", "0-9A-Fa-f"},
    {"alnum", "a-zA-Z0-9"},
    {"punct", R"re(-!"#$%&'()*+,./\\:;<=>?@[\]^_`{|}~)re"},
    {"blank", R"re( \t)re"},
    {"space", R"re(\s)re"},
    {"ascii", R"re(\x00-\x7F)re"},
    {"cntrl", R"re(\x00-\x1F\x7F)re"},
    {"graph", R"re(\x21-\x7E)re"},
    {"print", R"re(\x20-\x7E )re"},
    {"word", R"re(\w)re"},
}};

// One call of globToRegexString: the pattern, the output and the state that
// carries from one pattern character to the next.
class Translator {
 public:
  explicit Translator(std::string_view pattern) : pattern_(pattern) {
    out_.reserve(2 * pattern.size() + 2);
    out_ += '^';
  }

  std::string run() {
    while (pos_ < pattern_.size()) {
      const bool followsGlobstar = afterGlobstar_;
      afterGlobstar_ = false;
      step(followsGlobstar);
      ++pos_;
    }
    if (inClass_) {
      fail("Missing ']'", pattern_.size() + 1);
    }
    if (inBraces_) {
      fail("Missing '}'", pattern_.size() + 1);
    }
    out_ += '$';
    return std::move(out_);
  }

 private:
  // The pattern character after the current one, or 0 at the end.
  char next() const { return pos_ + 1 < pattern_.size() ? pattern_[pos_ + 1] : '\0'; }
  bool hasNext() const { return pos_ + 1 < pattern_.size(); }

  [[noreturn]] void fail(std::string_view text, std::size_t caretColumn) const {
    std::string message(text);
    message += "\n\n  ";
    message += pattern_;
    message += '\n';
    message.append(caretColumn, ' ');
    message += "^\n\n";
    throw common::GlobSyntaxError(message);
  }

  void escaped(char c) {
    out_ += '\\';
    out_ += c;
  }

  // Escapes, separators, wildcards and extended groups.
  void step(bool followsGlobstar) {
    const char c = pattern_[pos_];
    switch (c) {
      case '\\':
        return backslash();
      case '/':
        // The globstar expression already ends in a separator.
        if (!followsGlobstar) {
          out_ += '/';
        }
        return;
      case '*':
        return star();
      case '?':
        return opener(c, kOneSegmentChar);
      case '+':
        return opener(c, "\\+");
      case '@':
        return opener(c, "@");
      case '!':
        return bang();
      case '(':
      case '|':
        return groups_.empty() ? escaped(c) : out_.push_back(c);
      case ')':
        return closeGroup();
      default:
        return stepBracketOrBrace(c);
    }
  }

  // Bracket expressions, brace alternations and the remaining characters.
  void stepBracketOrBrace(char c) {
    switch (c) {
      case '[':
        return openBracket();
      case ']':
        out_ += ']';
        inClass_ = false;
        return;
      case '-':
        return dash();
      case '{':
        return openBrace();
      case ',':
        out_ += inBraces_ ? ")|(?:" : ",";
        return;
      case '}':
        out_ += inBraces_ ? "))" : "}";
        inBraces_ = false;
        return;
      case '$':
      case '.':
      case '^':
        return escaped(c);
      default:
        out_ += c;
        return;
    }
  }

  void backslash() {
    if (!hasNext()) {
      fail("No character to escape", pos_ + 2);
    }
    const char n = next();
    if (kEscapable.find(n) != std::string_view::npos) {
      out_ += '\\';
    }
    out_ += n;
    ++pos_;
  }

  void star() {
    if (next() == '(') {
      groups_.push_back('*');
    } else if (next() == '*') {
      out_ += kGlobstar;
      ++pos_;
      afterGlobstar_ = true;
    } else {
      out_ += "[^/]*";
    }
  }

  // "?", "+" and "@": the opener of an extended group, or `plain` on its own.
  void opener(char c, std::string_view plain) {
    if (next() == '(') {
      groups_.push_back(c);
    } else {
      out_ += plain;
    }
  }

  void bang() {
    if (inClass_) {
      out_ += '^';
    } else if (next() == '(') {
      out_ += "(?!";
      groups_.push_back('!');
      ++pos_;
    } else {
      escaped('!');
    }
  }

  void closeGroup() {
    if (groups_.empty()) {
      escaped(')');
      return;
    }
    out_ += ')';
    const char opened = groups_.back();
    groups_.pop_back();
    switch (opened) {
      case '!':
        out_ += "[^/]*";
        break;
      case '@':
        out_ += "{1}";
        break;
      default:
        out_ += opened;
        break;
    }
  }

  void openBracket() {
    const char n = next();
    if (hasNext() && (n == '!' || n == '-' || n == ']' || n == '^')) {
      out_ += '[';
      if (n == '!') {
        out_ += '^';
      } else if (n == '-') {
        out_ += '-';
      } else {
        escaped(n);
      }
      ++pos_;
      inClass_ = true;
    } else if (inClass_ && n == ':') {
      namedClass();
    } else if (inClass_) {
      fail("Cannot nest groups", pos_);
    } else {
      out_ += '[';
      inClass_ = true;
    }
  }

  // "[:name:]" inside a bracket expression; the outer bracket stays open.
  void namedClass() {
    const std::size_t start = pos_ + 2;
    std::size_t end = pattern_.find_first_of(":]", start);
    if (end == std::string_view::npos) {
      end = pattern_.size();
    }
    if (end + 1 >= pattern_.size() || pattern_[end + 1] != ']') {
      fail("Missing ']' after class", end + 2);
    }
    const std::string_view name = pattern_.substr(start, end - start);
    for (const NamedClass& named : kNamedClasses) {
      if (named.name == name) {
        out_ += named.text;
        pos_ = end + 1;
        return;
      }
    }
    fail("Unknown class name '" + std::string(name) + "'", end + 2);
  }

  void dash() {
    out_ += '-';
    if (!inClass_) {
      return;
    }
    const auto before = static_cast<unsigned char>(pattern_[pos_ - 1]);
    const auto after = static_cast<unsigned char>(next());
    if (after == '-' || after < before) {
      fail("Invalid range", pos_ + 2);
    }
  }

  void openBrace() {
    if (inBraces_) {
      fail("Cannot nest groups", pos_ + 2);
    }
    out_ += "(?:(?:";
    inBraces_ = true;
  }

  std::string_view pattern_;
  std::string out_;
  std::size_t pos_ = 0;
  bool inClass_ = false;
  bool inBraces_ = false;
  // Set for the one character after a "**": only a "/" right there is dropped,
  // so that 'a/**/b/c' keeps the separator between "b" and "c".
  bool afterGlobstar_ = false;
  std::vector<char> groups_;
};

}  // namespace

std::string globToRegexString(std::string_view pattern) { return Translator(pattern).run(); }

bool globMatches(std::string_view path, std::string_view pattern) {
  return regex::Regex(globToRegexString(pattern)).search(path);
}

}  // namespace catalog
