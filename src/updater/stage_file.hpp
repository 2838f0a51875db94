#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace updater {

// Makes sure that a verified copy of the remote file of one catalog entry lies in
// its staged file (`path` + ".tolvex-pending"), downloading or resuming it as
// needed; `currentFile` and `totalFiles` number the entry for the progress line.
// Returns nothing when the target already has `digest`, else `path`. On a digest
// mismatch, reports it, deletes the staged file and throws ExitRequest(255).
// Throws OSError when a directory of `path` cannot be created, IOError when a
// file cannot be read or written.
std::optional<std::string> stageFile(std::string_view digest, const std::string& path,
                                     std::int64_t currentFile, std::int64_t totalFiles,
                                     bool verbose);

// Creates the missing directories of the directory part of `path`, from the top
// (mode 0777 less the umask). Throws OSError when one cannot be created or a
// component exists but is not a directory.
void createParentDirectories(const std::string& path);

}  // namespace updater
