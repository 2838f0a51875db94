#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace updater {

// One accepted catalog line: the digest text (compared, never parsed) and the
// relative path of the file.
struct CatalogEntry {
  std::string digest;
  std::string path;

  bool operator==(const CatalogEntry&) const = default;
};

// The entries of a catalog text, in catalog order: one per line holding " *",
// split at its first occurrence. Lines without it, and paths that begin with
// "/" or contain "..", are skipped silently. Duplicates are kept.
std::vector<CatalogEntry> parseCatalog(std::string_view text);

// The `update` command body: brings the working directory up to the signed
// catalog. Returns 0, or -1 on a reported failure; throws common::ExitRequest(255)
// on a key or digest mismatch.
int update(bool verbose);

}  // namespace updater
