#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace catalog {

// The lines of the ignore file, untrimmed; empty when there is no ignore file.
// Translated patterns are compiled on first use and kept for the rest of the run.
class IgnoreRules {
 public:
  IgnoreRules();
  explicit IgnoreRules(std::vector<std::string> lines);
  ~IgnoreRules();
  IgnoreRules(IgnoreRules&&) noexcept;
  IgnoreRules& operator=(IgnoreRules&&) noexcept;

  const std::vector<std::string>& lines() const;

 private:
  friend bool isIncluded(const IgnoreRules& rules, std::string_view path);
  struct Cache;
  std::vector<std::string> lines_;
  std::unique_ptr<Cache> cache_;
};

// Reads the ignore file of the working directory. Throws IOError
// "cannot open: NAME" when it exists but cannot be read.
IgnoreRules loadIgnoreRules();

// True when the file at relative `path` goes into the catalog. Throws
// GlobSyntaxError or RegexError for a bad pattern met on the way.
bool isIncluded(const IgnoreRules& rules, std::string_view path);

}  // namespace catalog
