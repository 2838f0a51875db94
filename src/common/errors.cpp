#include "common/errors.hpp"

#include <cstring>

namespace common {

OSError osError(int errorNumber, std::string_view info) {
  std::string message = std::strerror(errorNumber);
  message += "\nAdditional info: ";
  message += info;
  return OSError(std::move(message));
}

void failCheck(const char* file, int line, const char* condition, std::string_view text) {
  std::string message = file;
  message += '(';
  message += std::to_string(line);
  message += ") `";
  message += condition;
  message += "` ";
  message += text;
  throw AssertionDefect(std::move(message));
}

}  // namespace common
