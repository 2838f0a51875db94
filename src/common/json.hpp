#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace common {

// The string members of a JSON object; layout, member order and further members
// do not matter to the readers of the key file and the source descriptor.
class JsonObject {
 public:
  // Throws JsonParsingError for text that is not JSON and AssertionDefect when
  // the top level is not an object.
  static JsonObject parse(std::string_view text);

  // The member's value; a value that is not a JSON string counts as "".
  // Throws KeyError "key not found: NAME" when the member is missing.
  std::string stringMember(const std::string& name) const;

 private:
  std::unordered_map<std::string, std::string> members_;
};

// A one-line JSON object of string members in the given order, without any
// whitespace; strings are escaped byte by byte, so UTF-8 passes unaltered.
std::string compactJsonObject(
    const std::vector<std::pair<std::string_view, std::string_view>>& members);

// `text` with JSON string escapes applied (without the enclosing quotes).
std::string escapeJsonString(std::string_view text);

}  // namespace common
