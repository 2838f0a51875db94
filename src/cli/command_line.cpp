#include "cli/command_line.hpp"

#include <vector>

#include "common/errors.hpp"

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
  for (const std::string& token : tokens) {
    if (!optionsEnded && isHelp(token)) {
      return HelpRequest{row.help};
    }
    if (!optionsEnded && row.command == Command::kUpdate &&
        (token == "-v" || token == "--verbose")) {
      invocation.verbose = true;
    } else if (token == "--") {
      optionsEnded = true;
    } else {
      leftovers.push_back(token);
    }
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
