#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace updater {

// Probe passes before an update is given up on locked files, and the pause after each.
inline constexpr std::int64_t kLockProbePasses = 12;
inline constexpr std::int64_t kLockProbePauseMilliseconds = 5000;

// From this many staged files on, one sync of each file system replaces the
// per-file and per-directory syncs.
inline constexpr std::size_t kWholeFileSystemSyncThreshold = 16;

// Probes the targets of `paths` for one pass and returns those that cannot be
// replaced now, in list order. An existing target must open for writing (without
// being created); a missing one, or a dangling symbolic link, which the move
// replaces without following, needs a writable directory. Never creates a file.
std::vector<std::string> findLockedFiles(const std::vector<std::string>& paths);

// `paths` in list notation: @["a", "b"] with C-style escapes inside the quotes.
std::string formatPathList(const std::vector<std::string>& paths);

// Probes up to kLockProbePasses times, reporting the locked files and pausing
// after each pass that finds one. True as soon as nothing is locked.
bool waitForUnlockedFiles(const std::vector<std::string>& paths);

// Moves each staged file over its target, in list order. A replaced regular file
// keeps its permission bits. The staged files reach stable storage before the
// first move, and the moves themselves are synced afterwards. Throws OSError
// when a sync or a move fails (earlier targets stay replaced) and IOError when a
// cross-device copy cannot be made.
void applyStagedFiles(const std::vector<std::string>& paths);

// The move for staged and target files on different file systems: copies `from`
// over `to` (created or truncated; neither is opened through a link), syncs it
// and deletes `from`. If that deletion
// fails, `to` is deleted as well and the deletion's OSError is thrown.
void copyAcrossDevices(const std::string& from, const std::string& to);

}  // namespace updater
