#pragma once

#include <string>
#include <string_view>

namespace catalog {

// The regular expression of glob `pattern`, anchored with "^" and "$".
// Throws GlobSyntaxError (message with the pattern and a caret line).
std::string globToRegexString(std::string_view pattern);

// True when the whole `path` matches glob `pattern` (translated and compiled anew).
bool globMatches(std::string_view path, std::string_view pattern);

}  // namespace catalog
