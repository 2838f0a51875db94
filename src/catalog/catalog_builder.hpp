#pragma once

#include <cstdint>

#include "catalog/ignore_rules.hpp"

namespace catalog {

// The `update-catalog` command body: 0 on success, -1 when the key file is missing.
int updateCatalogCommand();

// Walks the working directory, writes updater-catalog.sha3 and prints the
// "Added   : " / "Ignored : " lines; returns the number of catalogued files.
std::int64_t buildCatalog(const IgnoreRules& rules);

}  // namespace catalog
