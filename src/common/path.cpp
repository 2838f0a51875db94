#include "common/path.hpp"

#include <vector>

#include "common/text.hpp"

namespace common {
namespace {

std::string joinComponents(const std::vector<std::string_view>& parts, bool absolute) {
  std::string result = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    result += i == 0 ? "" : "/";
    result += parts[i];
  }
  return result;
}

}  // namespace

std::string joinNormalized(std::string_view base, std::string_view name) {
  std::string joined(base);
  joined += '/';
  joined += name;
  const bool absolute = joined.front() == '/';
  std::vector<std::string_view> parts;
  for (const std::string_view part : split(joined, '/')) {
    if (part.empty() || part == ".") {
      continue;
    }
    if (part == ".." && !parts.empty() && parts.back() != "..") {
      parts.pop_back();
    } else if (part != ".." || !absolute) {
      parts.push_back(part);
    }
  }
  return joinComponents(parts, absolute);
}

std::string joinWithOneSlash(std::string_view path, std::string_view name) {
  const bool nameRooted = name.starts_with('/');
  const bool pathEndsInSlash = path.ends_with('/');
  if (pathEndsInSlash && nameRooted) {
    name.remove_prefix(1);
  }
  std::string joined;
  joined.reserve(path.size() + 1 + name.size());
  joined.append(path);
  if (!pathEndsInSlash && !nameRooted) {
    joined.push_back('/');
  }
  joined.append(name);
  return joined;
}

std::string withoutEmptyComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  for (const std::string_view part : split(path, '/')) {
    if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
  }
  return joinComponents(parts, false);
}

std::string parentDirectory(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string(".") : std::string(path.substr(0, slash));
}

std::string_view lastComponent(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace common
