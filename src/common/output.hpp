#pragma once

#include <string_view>

namespace common {

// All user-visible text goes through here: whole lines, each flushed at once.

// `line` and a line feed on standard output.
void printOut(std::string_view line);
// `line` and a line feed on standard error.
void printErr(std::string_view line);
// `text` as it is on standard output (help texts carry their own line feeds).
void writeOut(std::string_view text);
// `text` as it is on standard error (the progress line, which ends in "\r").
void writeErr(std::string_view text);

}  // namespace common
