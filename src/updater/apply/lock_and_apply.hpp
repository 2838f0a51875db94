#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "updater/apply/locked_files.hpp"
#include "updater/apply/staged_file.hpp"

namespace updater {

// From this many staged files on, one sync of each file system replaces the
// per-file and per-directory syncs.
inline constexpr std::size_t kWholeFileSystemSyncThreshold = 16;

// Moves each staged file over its target, in list order. Just before, the
// target's directory is walked again as openTargetDirectory does, and the file
// at the staged name must still be the one verified (same identity) and
// belong to this user; otherwise that target is refused (an error line on
// standard error; a staged file that is not the one verified is deleted) and
// the others are moved all the same. A staged file takes the permission bits
// of the regular file it replaces, or `newFileMode` for a new target. The
// staged files reach stable storage before the first move, and the moves
// themselves are synced afterwards. Returns false when a target was refused.
// Throws OSError when a sync or a move fails (earlier targets stay replaced)
// and IOError when a cross-device copy cannot be made.
bool applyStagedFiles(const std::vector<StagedFile>& files, mode_t newFileMode);

// The move when a staged file cannot be renamed over its target, which lies on
// another file system: copies the open staged file `staged` into a new private
// file (formats::copyPathOf) in the target's `directory`, gives it the staged
// file's permission bits, syncs it and renames it over `name`, so that the
// target is the old file or the new one at every moment; then deletes the
// staged file `pendingName`. Throws IOError when the copy cannot be written
// (the copy is removed) and OSError when a rename or the deletion fails.
void copyAcrossDevices(int directory, int staged, const std::string& pendingName,
                       const std::string& name);

}  // namespace updater
