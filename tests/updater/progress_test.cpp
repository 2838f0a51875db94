#include "updater/staging/progress.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "captured_output.hpp"

namespace {

using updater_testing::CapturedOutput;

TEST(Progress, FormatByteSizeUsesBinaryUnitsWithTwoDecimals) {
  const std::vector<std::pair<std::int64_t, std::string>> cases = {
      {0, "0.00 B"},
      {1, "1.00 B"},
      {1024, "1024.00 B"},
      {1025, "1.00 KB"},
      {1536, "1.50 KB"},
      {1048576, "1024.00 KB"},
      {1572864, "1.50 MB"},
      {5000000000, "4.66 GB"},
      {std::int64_t{1} << 50, "1024.00 TB"},
      {(std::int64_t{1} << 50) + 1, "1.00 PB"},
      // Past the last unit the count stays in petabytes.
      {std::int64_t{1} << 61, "2048.00 PB"},
  };
  for (const auto& [count, expected] : cases) {
    SCOPED_TRACE(count);
    EXPECT_EQ(updater::formatByteSize(count), expected);
  }
}

std::string drawn(int columns, std::string_view text) {
  const updater::ScopedTerminalColumnsOverride terminal(columns);
  CapturedOutput capture;
  updater::writeStatusLine(text);
  return capture.finish().err;
}

TEST(Progress, StatusLineFillsTheTerminalLessOneColumn) {
  const std::string hundred(100, 'x');
  struct Case {
    const char* name;
    int columns;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"short text is padded", 80, "abc", "abc" + std::string(76, ' ') + "\r"},
      {"long text is cut", 80, hundred, std::string(79, 'x') + "\r"},
      {"exact fit", 4, "abc", "abc\r"},
      {"two columns", 2, "abc", "a\r"},
      {"one column leaves nothing", 1, "abc", ""},
      {"no terminal", 0, "abc", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(drawn(c.columns, c.text), c.expected);
  }
}

TEST(Progress, ReportShowsEntryNumbersPathAndSizes) {
  const updater::ProgressContext context{"docs/manual.pdf", "docs/manual.pdf.tolvex-pending", 2,
                                         12};
  const updater::ScopedTerminalColumnsOverride terminal(60);
  CapturedOutput capture;
  updater::reportProgress(1572864, 3145728, context);
  updater::reportProgress(10, 0, context);   // size unknown: nothing drawn
  updater::reportProgress(10, -1, context);  // likewise
  const auto output = capture.finish();
  const std::string text = "[3 of 12] docs/manual.pdf 1.50 MB / 3.00 MB";
  EXPECT_EQ(output.err, text + std::string(59 - text.size(), ' ') + "\r");
  EXPECT_EQ(output.out, "");
}

TEST(Progress, NothingIsDrawnWhenNeitherStreamIsATerminal) {
  CapturedOutput capture;  // both descriptors now lead to files
  const int columns = updater::terminalColumns();
  updater::reportProgress(1, 2, {"a", "a.tolvex-pending", 0, 1});
  const auto output = capture.finish();
  EXPECT_EQ(columns, 0);
  EXPECT_EQ(output.err, "");
}

// A pseudo-terminal of the given width; the slave side is `slave`.
struct PseudoTerminal {
  int master = -1;
  int slave = -1;
  explicit PseudoTerminal(unsigned short columns) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(::grantpt(master), 0);
    EXPECT_EQ(::unlockpt(master), 0);
    slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    EXPECT_EQ(::ioctl(slave, TIOCSWINSZ, &size), 0);
  }
  ~PseudoTerminal() {
    ::close(slave);
    ::close(master);
  }
};

TEST(Progress, WidthComesFromStandardOutputElseStandardError) {
  const PseudoTerminal narrow(50);
  const PseudoTerminal wide(120);
  struct Case {
    const char* name;
    int out;  // -1: a file
    int err;
    int expected;
  };
  const std::vector<Case> cases = {
      {"both terminals: standard output decides", narrow.slave, wide.slave, 50},
      {"only standard output", narrow.slave, -1, 50},
      {"only standard error", -1, wide.slave, 120},
      {"neither", -1, -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int columns = -1;
    {
      CapturedOutput capture;
      if (c.out >= 0) {
        ::dup2(c.out, 1);
      }
      if (c.err >= 0) {
        ::dup2(c.err, 2);
      }
      columns = updater::terminalColumns();
    }
    EXPECT_EQ(columns, c.expected);
  }
}

}  // namespace
