#include "common/uri.hpp"

namespace common {
namespace {

bool isSchemeChar(char c, bool first) {
  const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) {
    return alpha;
  }
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Length of the scheme at the start of `text`, or 0 when there is none.
std::size_t schemeLength(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ':') {
      return i;
    }
    if (!isSchemeChar(text[i], i == 0)) {
      return 0;
    }
  }
  return 0;
}

void splitAuthority(std::string_view authority, Uri& uri) {
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    const std::size_t colon = userInfo.find(':');
    uri.username = userInfo.substr(0, colon);
    if (colon != std::string_view::npos) {
      uri.password = userInfo.substr(colon + 1);
      uri.hasPassword = true;
    }
    authority.remove_prefix(at + 1);
  }
  // The port follows the last colon that is not inside an IPv6 literal.
  const std::size_t bracket = authority.rfind(']');
  const std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    uri.hostname = authority.substr(0, colon);
    uri.port = authority.substr(colon + 1);
  } else {
    uri.hostname = authority;
  }
}

}  // namespace

Uri parseUri(std::string_view text) {
  Uri uri;
  const std::size_t hash = text.find('#');
  if (hash != std::string_view::npos) {
    uri.fragment = text.substr(hash + 1);
    uri.hasFragment = true;
    text = text.substr(0, hash);
  }
  const std::size_t question = text.find('?');
  if (question != std::string_view::npos) {
    uri.query = text.substr(question + 1);
    uri.hasQuery = true;
    text = text.substr(0, question);
  }
  const std::size_t scheme = schemeLength(text);
  if (scheme > 0) {
    uri.scheme = text.substr(0, scheme);
    text.remove_prefix(scheme + 1);
  }
  if (text.starts_with("//")) {
    text.remove_prefix(2);
    const std::size_t slash = text.find('/');
    splitAuthority(text.substr(0, slash), uri);
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
  }
  uri.path = text;
  return uri;
}

std::string assembleUri(const Uri& uri) {
  std::string text;
  if (!uri.scheme.empty()) {
    text += uri.scheme;
    text += "://";
  }
  if (!uri.username.empty()) {
    text += uri.username;
    if (uri.hasPassword) {
      text += ':';
      text += uri.password;
    }
    text += '@';
  }
  text += uri.hostname;
  if (!uri.port.empty()) {
    text += ':';
    text += uri.port;
  }
  text += uri.path;
  if (uri.hasQuery) {
    text += '?';
    text += uri.query;
  }
  if (uri.hasFragment) {
    text += '#';
    text += uri.fragment;
  }
  return text;
}

}  // namespace common
