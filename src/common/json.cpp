#include "common/json.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "common/errors.hpp"
#include "common/text.hpp"

namespace common {
namespace {

// The parser's message up to where it starts to quote the text: "...: syntax
// error while parsing value - invalid literal; last read: 'TEXT'" keeps "...:
// syntax error while parsing value".
std::string unquotedMessage(std::string_view message) {
  return std::string(message.substr(0, std::min(message.find(" - "), message.find("; last read"))));
}

}  // namespace

JsonObject JsonObject::parse(std::string_view text, Quoting quoting) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    // recovery point: the parser's failure becomes the project's error kind
    throw JsonParsingError(quoting == Quoting::kNever ? unquotedMessage(e.what()) : e.what());
  }
  TOLVEX_CHECK(document.is_object(), "JSON top level must be an object");
  JsonObject object;
  for (const auto& [name, value] : document.items()) {
    object.members_[name] = value.is_string() ? value.get<std::string>() : std::string();
  }
  return object;
}

std::string JsonObject::takeStringMember(const std::string& name) {
  const auto it = members_.find(name);
  if (it == members_.end()) {
    throw KeyError("key not found: " + name);
  }
  return std::move(it->second);
}

std::string JsonObject::stringMember(const std::string& name) const {
  const auto it = members_.find(name);
  if (it == members_.end()) {
    throw KeyError("key not found: " + name);
  }
  return it->second;
}

std::string escapeJsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      // Lower case here, unlike the other control bytes: readers accept both.
      case '\v':
        out += "\\u000b";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          out += "\\u00";
          out += hexByte(byte);
        } else {
          out += c;
        }
      }
    }
  }
  return out;
}

std::string compactJsonObject(
    const std::vector<std::pair<std::string_view, std::string_view>>& members) {
  std::string out = "{";
  for (const auto& [name, value] : members) {
    if (out.size() > 1) {
      out += ',';
    }
    out += '"';
    out += escapeJsonString(name);
    out += "\":\"";
    out += escapeJsonString(value);
    out += '"';
  }
  out += '}';
  return out;
}

}  // namespace common
