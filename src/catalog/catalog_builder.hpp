#pragma once

#include <cstdint>

#include "catalog/ignore_rules.hpp"

namespace catalog {

// The `update-catalog` command body: 0 on success, -1 when the key file is missing.
int updateCatalogCommand();

// Walks the working directory, writes updater-catalog.sha3 and prints the
// "Added   : " / "Ignored : " lines; returns the number of catalogued files.
std::int64_t buildCatalog(const IgnoreRules& rules);

// Records the program name from the command line (argv[0]). The executable file
// name, which is kept out of the catalog, is searched from it along PATH when
// "/proc/self/exe" cannot be read. The entry point calls this once at start-up.
void setProgramName(const char* argv0);

}  // namespace catalog
