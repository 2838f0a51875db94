#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace updater {

// Probe passes before an update is given up on locked files, and the pause after each.
inline constexpr std::int64_t kLockProbePasses = 12;
inline constexpr std::int64_t kLockProbePauseMilliseconds = 5000;

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

}  // namespace updater
