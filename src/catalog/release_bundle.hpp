#pragma once

#include <string>
#include <vector>

#include "catalog/tool_folder.hpp"
#include "catalog/version_store.hpp"
#include "formats/release_history.hpp"

namespace catalog {

// Writes the bundle of the release's patches, then the description of the
// release, as "CATALOG.patches" and "CATALOG.release.zst" after
// `catalogDigest`, the digest text of the catalog being published, unless
// `folder` holds both already and this run wrote no description of `files`
// (an unchanged republish writes nothing). Each version of `files` whose
// description the folder holds gets a line, with the patches that description
// lists (their earlier versions are those of `history`, as
// VersionStore::publish found them); without any, nothing is written. Returns
// a warning when the description would be longer than a client reads or
// either file cannot be written: clients then fetch the description of each
// file, so the publish goes on.
std::vector<std::string> publishRelease(ToolFolder& folder, const std::string& catalogDigest,
                                        const std::vector<DescribedFile>& files,
                                        const formats::ReleaseHistory& history);

}  // namespace catalog
