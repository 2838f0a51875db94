#pragma once

namespace cli {

// The whole program: binds libcurl, parses the command line, runs one command
// and returns the process exit status. Every error ends here: usage errors with
// status 255, anything else unhandled with "Error: unhandled exception: ..." and 1.
int runMain(int argc, char** argv);

}  // namespace cli
