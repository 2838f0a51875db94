// An ignore-file line (first line of the input) translated, compiled and
// matched against a path (the rest).
#include "catalog/glob.hpp"
#include "catalog/ignore_rules.hpp"
#include "common/errors.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [pattern, path] = fuzzing::splitFirstLine(fuzzing::textOf(data, size));
  try {
    const std::string translated = catalog::globToRegexString(pattern);
    TOLVEX_FUZZ_EXPECT(translated.starts_with('^') && translated.ends_with('$'));
  } catch (const common::GlobSyntaxError&) {
  }
  try {
    const catalog::IgnoreRules rules({std::string(pattern)});
    static_cast<void>(catalog::isIncluded(rules, path));
  } catch (const common::GlobSyntaxError&) {
  } catch (const common::RegexError&) {
  }
  return 0;
}
