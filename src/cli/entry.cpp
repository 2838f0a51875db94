#include "cli/entry.hpp"

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/key_press.hpp"
#include "cli/publish_commands.hpp"
#include "common/errors.hpp"
#include "common/output.hpp"
#include "crypto/lane_width.hpp"
#include "updater/run/run_update.hpp"

namespace cli {
namespace {

constexpr double kArgumentlessWaitSeconds = 5.0;

// What a command may need of the process besides its own arguments.
struct ProcessInputs {
  std::string_view argv0;
  const updater::TrustedKeys& trustedKeys;
  // libcurl's functions, loaded at start-up, and the CA bundle the environment names.
  updater::Network network;
  // How many files are hashed at a time: TOLVEX_SHA3_LANES narrows it.
  crypto::LaneWidth sha3Lanes;
};

int runCommand(const Invocation& invocation, const ProcessInputs& inputs) {
  switch (invocation.command) {
    case Command::kUpdateCatalog:
      return updateCatalogCommand(inputs.argv0, inputs.sha3Lanes, invocation.release,
                                  invocation.expiryDays, invocation.keepReleases);
    case Command::kMakeSourceJson:
      return makeSourceJsonCommand(invocation.url);
    case Command::kKeygen:
      return keygenCommand();
    case Command::kUpdate:
      return updater::runUpdate(
          {invocation.verbose, inputs.trustedKeys, inputs.network, inputs.sha3Lanes});
    case Command::kNone:
      break;
  }
  return 0;
}

int runArguments(const std::vector<std::string>& tokens, const ProcessInputs& inputs) {
  ParsedCommandLine parsed;
  try {
    parsed = parseCommandLine(tokens);
  } catch (const common::UsageError& e) {
    // recovery point: a malformed command line is the user's error, not the program's
    common::printErr(e.message());
    return 255;
  }
  if (const auto* help = std::get_if<HelpRequest>(&parsed)) {
    common::writeOut(help->text);
    return 1;
  }
  return runCommand(std::get<Invocation>(parsed), inputs);
}

// Started without arguments (from a file manager, say): update, then leave the
// window open a moment so that its outcome can be read.
int runArgumentless(const ProcessInputs& inputs) {
  const int result =
      updater::runUpdate({false, inputs.trustedKeys, inputs.network, inputs.sha3Lanes});
  waitForKeyPress(kArgumentlessWaitSeconds);
  return result;
}

void reportUnhandled(std::string_view message, std::string_view kind) {
  std::string line = "Error: unhandled exception: ";
  line += message;
  line += " [";
  line += kind;
  line += ']';
  common::printErr(line);
}

}  // namespace

int runMain(int argc, char** argv, const updater::TrustedKeys& trustedKeys) {
  // Past a file size limit (ulimit -f) a write then fails with EFBIG, which is
  // reported, instead of the signal ending the process without a word.
  ::signal(SIGXFSZ, SIG_IGN);
  try {
    const ProcessInputs inputs{
        argc > 0 && argv[0] != nullptr ? argv[0] : "", trustedKeys,
        updater::loadNetwork(std::getenv("CURL_CA_BUNDLE"), std::getenv("SSL_CERT_FILE")),
        crypto::laneWidthFromSetting(std::getenv("TOLVEX_SHA3_LANES"))};
    const std::vector<std::string> tokens(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int result = tokens.empty() ? runArgumentless(inputs) : runArguments(tokens, inputs);
    return result & 0xff;
  } catch (const common::ExitRequest& request) {
    return request.status() & 0xff;
  } catch (const common::Error& e) {
    reportUnhandled(e.message(), e.kindName());
    return 1;
  } catch (const std::exception& e) {
    reportUnhandled(e.what(), "Exception");
    return 1;
  } catch (...) {
    reportUnhandled("unknown error", "Exception");
    return 1;
  }
}

}  // namespace cli
