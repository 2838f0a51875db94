#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "catalog/block_index_folder.hpp"
#include "catalog/ignore_rules.hpp"
#include "catalog/version_store.hpp"
#include "common/file.hpp"
#include "common/ordered_pool.hpp"
#include "crypto/lane_width.hpp"

namespace catalog {

// What a walk put into the catalog.
struct CatalogContent {
  std::int64_t fileCount = 0;
  std::unordered_set<std::string> indexedDigests;  // digest texts whose index the catalog needs
  formats::Release release;                        // the digest text of each regular file, by path
  std::vector<DescribedFile> described;            // the versions with a copy or known not to pay
};

// Walks the working directory, writes the catalog's lines into `catalog`, the
// block indexes of its large files into `indexes`, the compressed copies of
// the files that VersionStore describes into `versions`, and prints the
// "Added   : " / "Ignored : " lines. The tool's own files in the root and
// `executableName` (the running program) are left out. Digests are computed on
// `workers` threads (inline on this thread when it is 1), each hashing batches
// of files `lanes` at a time; the lines, their order and the point at which a
// failure is raised depend on neither.
// Throws IOError for a file that cannot be read or the catalog that cannot be
// written, OSError for an index or copy that cannot be written, GlobSyntaxError or
// RegexError for a bad ignore pattern; each is raised after the lines of every
// earlier file were written.
CatalogContent buildCatalog(const IgnoreRules& rules, std::string_view executableName,
                            common::OutputFile& catalog, BlockIndexFolder& indexes,
                            VersionStore& versions, crypto::LaneWidth lanes,
                            std::size_t workers = common::workerCount());

}  // namespace catalog
