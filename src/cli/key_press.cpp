#include "cli/key_press.hpp"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "common/system.hpp"

namespace cli {
namespace {

// The terminal state to restore, reachable from a signal handler.
termios savedTerminal{};
volatile sig_atomic_t terminalChanged = 0;

void restoreTerminal() {
  if (terminalChanged != 0) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    terminalChanged = 0;
  }
}

// Restores the terminal, then lets the signal do what it would have done.
void restoreAndReraise(int signalNumber) {
  restoreTerminal();
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Non-canonical input without echo for its lifetime; errors of the terminal
// calls are ignored, so a standard input that is no terminal still works.
class RawTerminal {
 public:
  RawTerminal() {
    if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
      return;
    }
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
      struct sigaction action {};
      action.sa_handler = restoreAndReraise;
      ::sigemptyset(&action.sa_mask);
      ::sigaction(kFatalSignals[i], &action, &previous_[i]);
    }
    termios raw = savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    terminalChanged = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    active_ = true;
  }
  ~RawTerminal() {
    if (!active_) {
      return;
    }
    restoreTerminal();
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
      ::sigaction(kFatalSignals[i], &previous_[i], nullptr);
    }
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  bool active_ = false;
  struct sigaction previous_[std::size(kFatalSignals)]{};
};

// True when a byte was waiting on standard input; that byte is consumed.
bool pollKeyPress() {
  int waiting = 0;
  if (::ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0 || waiting <= 0) {
    return false;
  }
  std::fflush(stdout);
  char byte = 0;
  if (::read(STDIN_FILENO, &byte, 1) < 0) {
    std::perror("read()");
  }
  return true;
}

}  // namespace

void waitForKeyPress(double seconds) {
  const RawTerminal terminal;
  const double start = common::wallClockSeconds();
  while (common::wallClockSeconds() - start < seconds) {
    if (pollKeyPress()) {
      return;
    }
    common::sleepMilliseconds(1);
  }
}

}  // namespace cli
