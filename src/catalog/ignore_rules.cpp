#include "catalog/ignore_rules.hpp"

#include <exception>
#include <optional>

#include "catalog/glob.hpp"
#include "common/errors.hpp"
#include "common/text.hpp"
#include "formats/ignore_file.hpp"
#include "regex/regex.hpp"

namespace catalog {
namespace {

// One glob pattern, translated and compiled at its first test. A failure is
// kept as well, so that every later test raises the same error again.
class CompiledPattern {
 public:
  bool matches(std::string_view path, std::string_view pattern) {
    if (failure_) {
      std::rethrow_exception(failure_);
    }
    if (!regex_) {
      compile(pattern);
    }
    return regex_->search(path);
  }

 private:
  void compile(std::string_view pattern) {
    try {
      regex_.emplace(globToRegexString(pattern));
    } catch (const common::Error&) {
      // recovery point: the error is stored for later tests, then passed on.
      failure_ = std::current_exception();
      throw;
    }
  }

  std::optional<regex::Regex> regex_;
  std::exception_ptr failure_;
};

}  // namespace

// Per line: the include pattern (after "!") and the whole line as an ignore pattern.
struct IgnoreRules::Cache {
  explicit Cache(std::size_t lineCount) : include(lineCount), ignore(lineCount) {}
  std::vector<CompiledPattern> include;
  std::vector<CompiledPattern> ignore;
};

IgnoreRules::IgnoreRules() : IgnoreRules(std::vector<std::string>{}) {}

IgnoreRules::IgnoreRules(std::vector<std::string> lines)
    : lines_(std::move(lines)), cache_(std::make_unique<Cache>(lines_.size())) {}

IgnoreRules::~IgnoreRules() = default;
IgnoreRules::IgnoreRules(IgnoreRules&&) noexcept = default;
IgnoreRules& IgnoreRules::operator=(IgnoreRules&&) noexcept = default;

const std::vector<std::string>& IgnoreRules::lines() const { return lines_; }

IgnoreRules loadIgnoreRules() { return IgnoreRules(formats::readIgnoreFileLines()); }

bool isIncluded(const IgnoreRules& rules, std::string_view path) {
  if (rules.lines_.empty()) {
    return true;
  }
  TOLVEX_CHECK(rules.cache_ != nullptr, "ignore rules used after a move");
  IgnoreRules::Cache& cache = *rules.cache_;
  bool included = true;
  for (std::size_t i = 0; i < rules.lines_.size(); ++i) {
    const std::string_view line = common::trim(rules.lines_[i]);
    if (!line.empty() && line.front() == '!' && cache.include[i].matches(path, line.substr(1))) {
      return true;
    }
    if (cache.ignore[i].matches(path, line)) {
      included = false;
    }
  }
  return included;
}

}  // namespace catalog
