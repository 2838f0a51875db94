#pragma once

#include <cstddef>
#include <cstdint>

#include "catalog/ignore_rules.hpp"

namespace catalog {

// The `update-catalog` command body: 0 on success, -1 when the key file is missing.
int updateCatalogCommand();

// Walks the working directory, writes updater-catalog.sha3 and prints the
// "Added   : " / "Ignored : " lines; returns the number of catalogued files.
// Throws IOError for a file that cannot be read or the catalog that cannot be
// written, GlobSyntaxError or RegexError for a bad ignore pattern; each is raised
// after the lines of every earlier file were written. Digests are computed on
// common::workerCount() threads.
std::int64_t buildCatalog(const IgnoreRules& rules);

// buildCatalog(rules) with the digests computed on `workers` threads (inline on
// this thread when it is 1). The lines, their order and the point at which a
// failure is raised do not depend on `workers`.
std::int64_t buildCatalog(const IgnoreRules& rules, std::size_t workers);

// Records the program name from the command line (argv[0]). The executable file
// name, which is kept out of the catalog, is searched from it along PATH when
// "/proc/self/exe" cannot be read. The entry point calls this once at start-up.
void setProgramName(const char* argv0);

}  // namespace catalog
