#include "support/process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace testing_support {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int outPipe[2];
  int errPipe[2];
  int inPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0 ||
      ::pipe2(inPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  std::vector<std::string> environment;
  if (const char* path = std::getenv("PATH")) {
    environment.push_back(std::string("PATH=") + path);
  }
  for (const auto& [name, value] : options.environment) {
    environment.push_back(name + "=" + value);
  }
  std::vector<char*> args;
  for (const auto& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::vector<char*> env;
  for (auto& entry : environment) {
    env.push_back(entry.data());
  }
  env.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
      ::_exit(127);
    }
    ::execve(args[0], args.data(), env.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ::close(inPipe[0]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  // Small inputs only (a key press): they fit in the pipe buffer.
  if (!options.standardInput.empty()) {
    const ssize_t written =
        ::write(inPipe[1], options.standardInput.data(), options.standardInput.size());
    EXPECT_EQ(written, static_cast<ssize_t>(options.standardInput.size()));
  }
  ::close(inPipe[1]);
}

Process::~Process() {
  if (!result_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  closeFd(outFd_);
  closeFd(errFd_);
}

void Process::kill(int signal) { ::kill(pid_, signal); }

void Process::pump(int timeoutMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) <= 0) {
    return;
  }
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) {
      continue;
    }
    const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
    if (count > 0) {
      (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(count));
    } else {
      closeFd(i == 0 ? outFd_ : errFd_);
    }
  }
}

std::string Process::errSoFar() {
  if (errFd_ >= 0 || outFd_ >= 0) {
    pump(0);
  }
  return err_;
}

ProcessResult Process::wait() {
  if (result_) {
    return *result_;
  }
  while (outFd_ >= 0 || errFd_ >= 0) {
    pump(-1);
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  ProcessResult result;
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  result.out = out_;
  result.err = err_;
  result_ = result;
  return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  Process process(argv, options);
  return process.wait();
}

}  // namespace testing_support
