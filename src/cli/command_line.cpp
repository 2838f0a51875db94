#include "cli/command_line.hpp"

#include <vector>

#include "catalog/release_stamp.hpp"
#include "common/errors.hpp"
#include "common/text.hpp"

namespace cli {
namespace {

// The help texts are printed byte for byte as users' scripts and documents know
// them: "/home/user/" is literally that, whatever the real home directory, and
// the spaces around "[options]" stay as they are.
constexpr std::string_view kMainHelp = R"(tolvex v1.6: simple http file sync

Usage:
   [options] COMMAND

Commands:

  update-catalog   Create updater-catalog.sha3 & updater-catalog.sig
  make-source-json Create updater-source.json with pubkey & url.
  keygen           Create public & private keys at /home/user/.tolvex-signer-keypair
  update           [DEFAULT] Update local files based on updater-source.json

Options:
  -h, --help
)";

constexpr std::string_view kUpdateCatalogHelp = R"(Create updater-catalog.sha3 & updater-catalog.sig

Usage:
  update-catalog [options] 

Options:
  -h, --help
)";

constexpr std::string_view kMakeSourceJsonHelp = R"(Create updater-source.json with pubkey & url.

Usage:
  make-source-json [options] url

Arguments:
  url

Options:
  -h, --help
)";

constexpr std::string_view kKeygenHelp =
    R"(Create public & private keys at /home/user/.tolvex-signer-keypair

Usage:
  keygen [options] 

Options:
  -h, --help
)";

constexpr std::string_view kUpdateHelp =
    R"([DEFAULT] Update local files based on updater-source.json

Usage:
  update [options] 

Options:
  -h, --help
  -v, --verbose
)";

struct CommandRow {
  std::string_view name;
  Command command;
  std::string_view help;
};

// Matched in this order.
constexpr CommandRow kCommands[] = {
    {"update-catalog", Command::kUpdateCatalog, kUpdateCatalogHelp},
    {"make-source-json", Command::kMakeSourceJson, kMakeSourceJsonHelp},
    {"keygen", Command::kKeygen, kKeygenHelp},
    {"update", Command::kUpdate, kUpdateHelp},
};

// The options of the commands besides -h and --help. Help texts list only
// those that existed before scripts came to compare the texts.
enum class Option { kVerbose, kRelease, kExpires, kKeepReleases };

struct OptionRow {
  Command command;
  std::string_view shortName;  // empty when it has none
  std::string_view longName;
  Option option;
};

constexpr OptionRow kOptions[] = {
    {Command::kUpdate, "-v", "--verbose", Option::kVerbose},
    {Command::kUpdateCatalog, "", "--release", Option::kRelease},
    {Command::kUpdateCatalog, "", "--expires", Option::kExpires},             // takes DAYS
    {Command::kUpdateCatalog, "", "--keep-releases", Option::kKeepReleases},  // takes K
};

const OptionRow* findOption(Command command, std::string_view token) {
  for (const OptionRow& row : kOptions) {
    if (row.command == command &&
        (token == row.longName || (!row.shortName.empty() && token == row.shortName))) {
      return &row;
    }
  }
  return nullptr;
}

// The days of "--expires DAYS": a whole number from 1 to the longest expiry.
std::int64_t expiryDaysOf(const std::string* value) {
  if (value == nullptr) {
    throw common::UsageError("Missing argument(s): --expires DAYS");
  }
  const std::optional<std::int64_t> days = common::parseDecimal(*value);
  if (!days || *days < 1 || *days > catalog::kMaxExpiryDays) {
    throw common::UsageError("Invalid --expires: '" + *value + "' (days, 1 to " +
                             std::to_string(catalog::kMaxExpiryDays) + ")");
  }
  return *days;
}

// The K of "--keep-releases K": a whole number from 0 to the most kept.
std::size_t keptReleasesOf(const std::string* value) {
  if (value == nullptr) {
    throw common::UsageError("Missing argument(s): --keep-releases K");
  }
  const std::optional<std::int64_t> kept = common::parseDecimal(*value);
  if (!kept || *kept < 0 || *kept > static_cast<std::int64_t>(catalog::kMaxEarlierReleases)) {
    throw common::UsageError("Invalid --keep-releases: '" + *value + "' (0 to " +
                             std::to_string(catalog::kMaxEarlierReleases) + ")");
  }
  return static_cast<std::size_t>(*kept);
}

bool isHelp(std::string_view token) { return token == "-h" || token == "--help"; }

std::string joined(const std::vector<std::string>& tokens) {
  std::string text;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) {
      text += ", ";
    }
    text += tokens[i];
  }
  return text;
}

void rejectLeftovers(const std::vector<std::string>& leftovers) {
  if (!leftovers.empty()) {
    throw common::UsageError("Unknown argument(s): " + joined(leftovers));
  }
}

// Consumes every remaining token for `row`; leftovers of the top level are
// shared, so a token before the command name can become its url.
ParsedCommandLine parseCommand(const CommandRow& row, std::span<const std::string> tokens,
                               std::vector<std::string>& leftovers) {
  Invocation invocation;
  invocation.command = row.command;
  bool optionsEnded = false;
  bool expiresGiven = false;
  const std::string* expiresValue = nullptr;  // checked last: a later help request wins
  bool keepGiven = false;
  const std::string* keepValue = nullptr;  // likewise
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (!optionsEnded && isHelp(token)) {
      return HelpRequest{row.help};
    }
    const OptionRow* option = optionsEnded ? nullptr : findOption(row.command, token);
    if (option == nullptr) {
      if (token == "--") {
        optionsEnded = true;
      } else {
        leftovers.push_back(token);
      }
      continue;
    }
    switch (option->option) {
      case Option::kVerbose:
        invocation.verbose = true;
        break;
      case Option::kRelease:
        invocation.release = true;
        break;
      case Option::kExpires:
        invocation.release = true;
        expiresGiven = true;
        expiresValue = i + 1 < tokens.size() ? &tokens[++i] : nullptr;
        break;
      case Option::kKeepReleases:
        keepGiven = true;
        keepValue = i + 1 < tokens.size() ? &tokens[++i] : nullptr;
        break;
    }
  }
  if (expiresGiven) {
    invocation.expiryDays = expiryDaysOf(expiresValue);
  }
  if (keepGiven) {
    invocation.keepReleases = keptReleasesOf(keepValue);
  }
  if (row.command == Command::kMakeSourceJson) {
    if (leftovers.empty()) {
      throw common::UsageError("Missing argument(s): url");
    }
    invocation.url = leftovers.front();
    leftovers.erase(leftovers.begin());
  }
  rejectLeftovers(leftovers);
  return invocation;
}

}  // namespace

ParsedCommandLine parseCommandLine(std::span<const std::string> tokens) {
  std::vector<std::string> leftovers;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (!optionsEnded && isHelp(token)) {
      return HelpRequest{kMainHelp};
    }
    for (const CommandRow& row : kCommands) {
      if (token == row.name) {
        return parseCommand(row, tokens.subspan(i + 1), leftovers);
      }
    }
    if (token == "--") {
      optionsEnded = true;
    } else {
      leftovers.push_back(token);
    }
  }
  rejectLeftovers(leftovers);
  return Invocation{};
}

}  // namespace cli
