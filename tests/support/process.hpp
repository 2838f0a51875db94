#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessOptions {
  std::string workingDirectory;  // empty: the test's own
  // The child's whole environment is PATH plus these (HOME among them, usually).
  std::map<std::string, std::string> environment;
  std::string standardInput;  // fed to the child, then closed
};

struct ProcessResult {
  int exitStatus = -1;  // -1 when ended by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

// A child process with captured standard output and error.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const ProcessOptions& options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void kill(int signal);
  // Waits for the end, collecting the output.
  ProcessResult wait();
  // What standard error has received so far (for tests that act mid-run).
  std::string errSoFar();

 private:
  void pump(int timeoutMs);
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<ProcessResult> result_;
};

// Runs `argv` to its end.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

}  // namespace testing_support
