#include "cli/entry.hpp"

#include <string>
#include <vector>

#include "catalog/catalog_builder.hpp"
#include "cli/command_line.hpp"
#include "cli/key_press.hpp"
#include "cli/keypair_file.hpp"
#include "cli/source_descriptor.hpp"
#include "common/errors.hpp"
#include "common/output.hpp"
#include "http/curl_library.hpp"
#include "updater/update_driver.hpp"

namespace cli {
namespace {

constexpr double kArgumentlessWaitSeconds = 5.0;

int runCommand(const Invocation& invocation) {
  switch (invocation.command) {
    case Command::kUpdateCatalog:
      return catalog::updateCatalogCommand();
    case Command::kMakeSourceJson:
      return makeSourceJsonCommand(invocation.url);
    case Command::kKeygen:
      return keygenCommand();
    case Command::kUpdate:
      return updater::update(invocation.verbose);
    case Command::kNone:
      break;
  }
  return 0;
}

int runArguments(const std::vector<std::string>& tokens) {
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
  return runCommand(std::get<Invocation>(parsed));
}

// Started without arguments (from a file manager, say): update, then leave the
// window open a moment so that its outcome can be read.
int runArgumentless() {
  const int result = updater::update(false);
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

int runMain(int argc, char** argv) {
  try {
    http::loadCurlLibrary();
    catalog::setProgramName(argc > 0 ? argv[0] : "");
    const std::vector<std::string> tokens(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int result = tokens.empty() ? runArgumentless() : runArguments(tokens);
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
