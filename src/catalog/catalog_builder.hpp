#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "catalog/ignore_rules.hpp"
#include "common/ordered_pool.hpp"

namespace catalog {

// Walks the working directory, writes the catalog file and prints the
// "Added   : " / "Ignored : " lines; returns the number of catalogued files.
// The tool's own files in the root and `executableName` (the running program)
// are left out. Digests are computed on `workers` threads (inline on this
// thread when it is 1); the lines, their order and the point at which a
// failure is raised do not depend on `workers`. Throws IOError for a file that
// cannot be read or the catalog that cannot be written, GlobSyntaxError or
// RegexError for a bad ignore pattern; each is raised after the lines of every
// earlier file were written.
std::int64_t buildCatalog(const IgnoreRules& rules, std::string_view executableName,
                          std::size_t workers = common::workerCount());

}  // namespace catalog
