#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "catalog/version_plan.hpp"

namespace cli {

enum class Command { kNone, kUpdateCatalog, kMakeSourceJson, kKeygen, kUpdate };

// A command line that names what to run (kNone: nothing, as for a lone "--").
struct Invocation {
  Command command = Command::kNone;
  bool verbose = false;  // update
  std::string url;       // make-source-json
  // update-catalog: write a release line ("--release"), expiring after this
  // many days ("--expires DAYS", which implies "--release").
  bool release = false;
  std::optional<std::int64_t> expiryDays;
  // update-catalog: the releases before the current one whose versions get
  // patches ("--keep-releases K"; 0: none).
  std::size_t keepReleases = catalog::kDefaultEarlierReleases;
};

// A help request: the text to print on standard output (exit status 1).
struct HelpRequest {
  std::string_view text;
};

using ParsedCommandLine = std::variant<Invocation, HelpRequest>;

// Parses the arguments after the program name. Throws UsageError with
// "Unknown argument(s): ...", "Missing argument(s): url", or about the value of
// "--expires" or "--keep-releases".
ParsedCommandLine parseCommandLine(std::span<const std::string> tokens);

}  // namespace cli
