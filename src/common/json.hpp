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
  // Whether a parse error may quote the text: never for a file that holds a secret.
  enum class Quoting { kAllowed, kNever };

  // Throws JsonParsingError for text that is not JSON and AssertionDefect when
  // the top level is not an object. With Quoting::kNever the error says what is
  // wrong and at which line and column, and shows none of the text.
  static JsonObject parse(std::string_view text, Quoting quoting = Quoting::kAllowed);

  // The member's value; a value that is not a JSON string counts as "".
  // Throws KeyError "key not found: NAME" when the member is missing.
  std::string stringMember(const std::string& name) const;
  // stringMember(name), moved out so that no copy stays behind in this object.
  std::string takeStringMember(const std::string& name);

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
