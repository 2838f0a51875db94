#include "cli/command_line.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "common/errors.hpp"

namespace {

using cli::Command;

struct ParseCase {
  std::vector<std::string> tokens;
  // Exactly one of the three is expected.
  std::optional<cli::Invocation> invocation;
  std::string helpStartsWith;
  std::string usageError;
};

cli::Invocation run(Command command, bool verbose = false, std::string url = {}) {
  return cli::Invocation{command, verbose, std::move(url), false, {}};
}

ParseCase help(std::vector<std::string> tokens, std::string start) {
  return {std::move(tokens), std::nullopt, std::move(start), {}};
}
ParseCase error(std::vector<std::string> tokens, std::string message) {
  return {std::move(tokens), std::nullopt, {}, std::move(message)};
}
ParseCase ok(std::vector<std::string> tokens, cli::Invocation invocation) {
  return {std::move(tokens), std::move(invocation), {}, {}};
}

TEST(CommandLine, ParsesEveryShapeOfCommandLine) {
  const std::string kMain = "tolvex v1.6";
  const std::string kKeygen = "Create public & private keys";
  const ParseCase cases[] = {
      help({"-h"}, kMain),
      help({"--help", "keygen"}, kMain),
      help({"-h", "keygen"}, kMain),
      help({"keygen", "-h"}, kKeygen),
      help({"keygen", "-h", "extra"}, kKeygen),
      help({"bogus", "-h"}, kMain),
      help({"update", "--help"}, "[DEFAULT] Update"),
      help({"make-source-json", "-h"}, "Create updater-source.json"),
      help({"update-catalog", "-h"}, "Create updater-catalog.sha3"),
      error({"--", "-h"}, "Unknown argument(s): -h"),
      ok({"--", "keygen"}, run(Command::kKeygen)),
      ok({"--"}, run(Command::kNone)),
      error({"-v", "update"}, "Unknown argument(s): -v"),
      error({"x", "update"}, "Unknown argument(s): x"),
      error({"update", "keygen"}, "Unknown argument(s): keygen"),
      ok({"update"}, run(Command::kUpdate)),
      ok({"update", "-v"}, run(Command::kUpdate, true)),
      ok({"update", "--verbose", "-v"}, run(Command::kUpdate, true)),
      error({"update", "--verbose=1"}, "Unknown argument(s): --verbose=1"),
      error({"update", "-vv"}, "Unknown argument(s): -vv"),
      error({"update", "a", "b"}, "Unknown argument(s): a, b"),
      error({"update", "--", "-v"}, "Unknown argument(s): -v"),
      ok({"make-source-json", "http://h/"}, run(Command::kMakeSourceJson, false, "http://h/")),
      ok({"http://h/", "make-source-json"}, run(Command::kMakeSourceJson, false, "http://h/")),
      error({"first", "make-source-json", "second"}, "Unknown argument(s): second"),
      error({"make-source-json"}, "Missing argument(s): url"),
      error({"make-source-json", "u", "v"}, "Unknown argument(s): v"),
      ok({"make-source-json", "-x"}, run(Command::kMakeSourceJson, false, "-x")),
      ok({"make-source-json", "--", "-h"}, run(Command::kMakeSourceJson, false, "-h")),
      error({"keygen", "-v"}, "Unknown argument(s): -v"),
      ok({"update-catalog", "--release"}, {Command::kUpdateCatalog, false, {}, true, {}}),
      ok({"update-catalog", "--expires", "30"}, {Command::kUpdateCatalog, false, {}, true, 30}),
      error({"update-catalog", "--expires", "0"}, "Invalid --expires: '0' (days, 1 to 36500)"),
      error({"update-catalog", "--expires"}, "Missing argument(s): --expires DAYS"),
      ok({"update-catalog", "--keep-releases", "0"},
         {Command::kUpdateCatalog, false, {}, false, {}, 0}),
      error({"update-catalog", "--keep-releases", "101"},
            "Invalid --keep-releases: '101' (0 to 100)"),
      error({"update", "--release"}, "Unknown argument(s): --release"),
      error({""}, "Unknown argument(s): "),
      error({"a", "", "b"}, "Unknown argument(s): a, , b"),
  };
  for (const ParseCase& c : cases) {
    std::string trace;
    for (const auto& token : c.tokens) {
      trace += "'" + token + "' ";
    }
    SCOPED_TRACE(trace);
    try {
      const cli::ParsedCommandLine parsed = cli::parseCommandLine(c.tokens);
      ASSERT_TRUE(c.usageError.empty()) << "expected error " << c.usageError;
      if (c.invocation) {
        const auto* invocation = std::get_if<cli::Invocation>(&parsed);
        ASSERT_NE(invocation, nullptr) << "got help";
        EXPECT_EQ(invocation->command, c.invocation->command);
        EXPECT_EQ(invocation->verbose, c.invocation->verbose);
        EXPECT_EQ(invocation->url, c.invocation->url);
        EXPECT_EQ(invocation->release, c.invocation->release);
        EXPECT_EQ(invocation->expiryDays, c.invocation->expiryDays);
        EXPECT_EQ(invocation->keepReleases, c.invocation->keepReleases);
      } else {
        const auto* help = std::get_if<cli::HelpRequest>(&parsed);
        ASSERT_NE(help, nullptr) << "got an invocation";
        EXPECT_TRUE(help->text.starts_with(c.helpStartsWith)) << help->text;
      }
    } catch (const common::UsageError& e) {
      EXPECT_EQ(e.message(), c.usageError);
    }
  }
}

}  // namespace
