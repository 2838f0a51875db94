#include "captured_output.hpp"

#include <unistd.h>

namespace updater_testing {
namespace {

std::string contentOf(std::FILE* file) {
  std::string content;
  char buffer[4096];
  std::rewind(file);
  for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    content.append(buffer, count);
  }
  return content;
}

}  // namespace

CapturedOutput::CapturedOutput()
    : outFile_(std::tmpfile()), errFile_(std::tmpfile()), savedOut_(::dup(1)), savedErr_(::dup(2)) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(::fileno(outFile_), 1);
  ::dup2(::fileno(errFile_), 2);
}

CapturedOutput::~CapturedOutput() {
  finish();
  std::fclose(outFile_);
  std::fclose(errFile_);
  ::close(savedOut_);
  ::close(savedErr_);
}

Output CapturedOutput::finish() {
  if (!finished_) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut_, 1);
    ::dup2(savedErr_, 2);
    finished_ = true;
  }
  return {contentOf(outFile_), contentOf(errFile_)};
}

}  // namespace updater_testing
