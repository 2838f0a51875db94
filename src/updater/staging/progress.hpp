#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace updater {

// What the progress line of one staged download shows; filled by stageFile.
struct ProgressContext {
  std::string path;
  std::string pendingPath;
  std::int64_t currentFile = 0;  // zero-based position among all accepted catalog entries
  std::int64_t totalFiles = 0;
};

// Progress callback of a staged download: draws "[k of n] PATH DONE / TOTAL" as the
// status line. Does nothing while `total` (the size of this answer) is unknown.
void reportProgress(std::int64_t downloaded, std::int64_t total, const ProgressContext& context);

// `count` with two decimals and a binary unit: "1.50 KB", "1024.00 B", "4.66 GB".
// Counts beyond the last unit stay in petabytes ("8192.00 PB").
std::string formatByteSize(std::int64_t count);

// Writes `text` to standard error cut or padded to the terminal width less one
// column, followed by a carriage return, so that the next status line overwrites
// it. Writes nothing when no terminal is attached.
void writeStatusLine(std::string_view text);

// The columns of the terminal on standard output, else of the one on standard
// error (where the line is drawn); 0 when neither is a terminal.
int terminalColumns();

// Replaces the terminal query for the lifetime of the object (tests set a width).
class ScopedTerminalColumnsOverride {
 public:
  explicit ScopedTerminalColumnsOverride(int columns);
  ~ScopedTerminalColumnsOverride();
  ScopedTerminalColumnsOverride(const ScopedTerminalColumnsOverride&) = delete;
  ScopedTerminalColumnsOverride& operator=(const ScopedTerminalColumnsOverride&) = delete;

 private:
  std::function<int()> previous_;
};

}  // namespace updater
