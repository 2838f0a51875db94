#pragma once

#include <cstdio>
#include <string>

namespace updater_testing {

struct Output {
  std::string out;
  std::string err;
};

// Sends the process's standard output and error (the descriptors, so C and
// C++ writers alike) to files until finish(); neither is then a terminal.
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  // Restores both descriptors and returns what was written meanwhile.
  Output finish();

 private:
  std::FILE* outFile_;
  std::FILE* errFile_;
  int savedOut_;
  int savedErr_;
  bool finished_ = false;
};

}  // namespace updater_testing
