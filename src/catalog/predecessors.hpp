#pragma once

#include <map>
#include <string>

#include "formats/file_description.hpp"
#include "formats/release_history.hpp"

namespace catalog {

// For each path of `current` that `previous` lacks, the file of `previous`
// that a client likely holds in its place, since a client never deletes what
// a catalog drops; the first that answers of:
//  1. the same path with its version-like parts changed: equal once every run
//     of decimal digits counts as one ("app-1.4.2/x" for "app-1.5.0/x"),
//     preferring a path that `current` lacks, then the highest version;
//  2. the same file name in the folder that the path's folder was renamed
//     from: for a folder that `previous` lacks, the folder that `current`
//     lacks sharing the most file names with it;
//  3. a file with the same digest text anywhere (a move), preferring a path
//     that `current` lacks, then the first.
// Only a path that formats::mayPrecede accepts and that has a digest text
// precedes, and only a path with a digest text gets one. Linear in the
// releases but for sorting, and the same answer for the same releases.
std::map<std::string, formats::FileDescription::Predecessor> findPredecessors(
    const formats::Release& previous, const formats::Release& current);

}  // namespace catalog
