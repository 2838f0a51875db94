#pragma once

#include <string>
#include <string_view>

namespace common {

// Paths here are texts with "/" separators; nothing is looked up on disk.

// `base` and `name` joined with "/" and normalised: repeated "/" collapse, "."
// disappears, ".." removes the component before it. A ".." with nothing before
// it stays in a relative path and vanishes at the root.
std::string joinNormalized(std::string_view base, std::string_view name);

// `name` appended to `path` with exactly one "/" between them. `name` is
// appended as text, never re-parsed, so "?", "#" or "%" in it stay as they are.
std::string joinWithOneSlash(std::string_view path, std::string_view name);

// `path` with empty and "." components dropped: lexically different names of
// one file ("a//b", "./a/b") give the same text.
std::string withoutEmptyComponents(std::string_view path);

// Everything before the last "/" of `path`, or "." when it has none.
std::string parentDirectory(std::string_view path);

// Everything after the last "/" of `path` (all of it when it has none).
std::string_view lastComponent(std::string_view path);

}  // namespace common
