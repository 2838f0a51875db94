#pragma once

#include <map>
#include <string>
#include <vector>

#include "catalog/tool_folder.hpp"
#include "catalog/version_plan.hpp"
#include "catalog/version_store.hpp"

namespace catalog {

// Writes the bundle of the release's patches, then the description of the
// release, as "CATALOG.patches" and "CATALOG.release.zst" after
// `catalogDigest`, the digest text of the catalog being published, unless
// `folder` holds both already and this run wrote no description of a version
// of `plans` (an unchanged republish writes nothing). Each version of `plans`
// whose description the folder holds gets a line, with the patches from its
// sources and the predecessors that description lists (as
// VersionStore::publish wrote it); without any, nothing is written. Returns
// a warning when the description would be longer than a client reads or
// either file cannot be written: clients then fetch the description of each
// file, so the publish goes on.
std::vector<std::string> publishRelease(ToolFolder& folder, const std::string& catalogDigest,
                                        const std::map<std::string, VersionPlan>& plans);

}  // namespace catalog
