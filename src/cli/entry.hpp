#pragma once

#include "updater/run/trust.hpp"

namespace cli {

// The whole program: binds libcurl, parses the command line, runs one command
// and returns the process exit status. `trustedKeys` are the publisher keys
// that `update` accepts, built into the executable. Every error ends here: usage errors with
// status 255, anything else unhandled with "Error: unhandled exception: ..." and 1.
int runMain(int argc, char** argv, const updater::TrustedKeys& trustedKeys);

}  // namespace cli
