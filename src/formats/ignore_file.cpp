#include "formats/ignore_file.hpp"

#include "common/file.hpp"
#include "common/text.hpp"
#include "formats/tool_files.hpp"

namespace formats {

std::vector<std::string> readIgnoreFileLines() {
  const std::string path(kIgnoreFileName);
  if (!common::isRegularFile(path)) {
    return {};
  }
  const std::string text = common::readWholeFile(path);
  std::vector<std::string> lines;
  for (const std::string_view line : common::split(common::trim(text), '\n')) {
    lines.emplace_back(line);
  }
  return lines;
}

}  // namespace formats
