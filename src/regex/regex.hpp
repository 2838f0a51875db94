#pragma once

#include <memory>
#include <string_view>

namespace regex {

// A compiled regular expression (PCRE2, 8-bit, UTF mode; subjects need not be
// valid UTF-8, since file names are bytes).
class Regex {
 public:
  // Throws RegexError with the engine's message when `pattern` cannot be compiled,
  // including an empty group such as "(?:)".
  explicit Regex(std::string_view pattern);
  ~Regex();
  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;

  // True when the expression matches somewhere in `subject`.
  bool search(std::string_view subject) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace regex
