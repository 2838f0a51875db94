#include "common/output.hpp"

#include <cstdio>
#include <string>

namespace common {
namespace {

void writeFlushed(std::FILE* stream, std::string_view text) {
  // Output failures (a closed pipe) are not worth failing an update for.
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

std::string withLineFeed(std::string_view line) {
  std::string text(line);
  text += '\n';
  return text;
}

}  // namespace

void printOut(std::string_view line) { writeFlushed(stdout, withLineFeed(line)); }
void printErr(std::string_view line) { writeFlushed(stderr, withLineFeed(line)); }
void writeOut(std::string_view text) { writeFlushed(stdout, text); }
void writeErr(std::string_view text) { writeFlushed(stderr, text); }

}  // namespace common
