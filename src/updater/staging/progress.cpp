#include "updater/staging/progress.hpp"

#include <sys/ioctl.h>

#include <array>
#include <cstdio>
#include <utility>

#include "common/output.hpp"

namespace updater {
namespace {

int columnsOf(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0) {
    return 0;
  }
  return size.ws_col;
}

int queryTerminalColumns() {
  // Standard output decides the width when it is a terminal (the usual case);
  // otherwise the line is only drawn when standard error, its destination, is one.
  const int columns = columnsOf(1);
  return columns > 0 ? columns : columnsOf(2);
}

std::function<int()>& columnsQuery() {
  static std::function<int()> current = queryTerminalColumns;
  return current;
}

}  // namespace

void reportProgress(std::int64_t downloaded, std::int64_t total, const ProgressContext& context) {
  if (total <= 0) {
    return;
  }
  std::string text = "[";
  text += std::to_string(context.currentFile + 1);
  text += " of ";
  text += std::to_string(context.totalFiles);
  text += "] ";
  text += context.path;
  text += ' ';
  text += formatByteSize(downloaded);
  text += " / ";
  text += formatByteSize(total);
  writeStatusLine(text);
}

std::string formatByteSize(std::int64_t count) {
  static constexpr std::array<const char*, 6> kPrefixes = {"", "K", "M", "G", "T", "P"};
  auto value = static_cast<double>(count);
  std::size_t unit = 0;
  while (value > 1024.0 && unit + 1 < kPrefixes.size()) {
    value *= 0.0009765625;
    ++unit;
  }
  std::array<char, 64> number{};
  std::snprintf(number.data(), number.size(), "%.2f", value);
  return std::string(number.data()) + " " + kPrefixes[unit] + "B";
}

void writeStatusLine(std::string_view text) {
  const int width = terminalColumns() - 1;
  if (width <= 0) {
    return;
  }
  std::string line(text.substr(0, static_cast<std::size_t>(width)));
  line.resize(static_cast<std::size_t>(width), ' ');
  line += '\r';
  common::writeErr(line);
}

int terminalColumns() { return columnsQuery()(); }

ScopedTerminalColumnsOverride::ScopedTerminalColumnsOverride(int columns)
    : previous_(std::exchange(columnsQuery(), [columns] { return columns; })) {}

ScopedTerminalColumnsOverride::~ScopedTerminalColumnsOverride() {
  columnsQuery() = std::move(previous_);
}

}  // namespace updater
