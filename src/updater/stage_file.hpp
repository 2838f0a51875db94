#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace updater {

// Downloads that run at once while entries are staged. Past eight, a run over a
// slow link gains little, and a server sees no more connections from one client
// than a browser would open.
inline constexpr std::size_t kMaxTransfersInFlight = 8;

// One catalog entry to stage: its digest text, its relative path, and its
// zero-based position among all accepted catalog entries (for the progress line).
struct StageRequest {
  std::string digest;
  std::string path;
  std::int64_t currentFile = 0;
};

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

// Stages every request as stageFile does and returns the paths of the staged
// files, in request order. The paths must be distinct. Digests are computed on
// worker threads and up to `maxInFlight` downloads run at once on this thread,
// each with its own attempts and pauses; yet each request's outcome is taken in
// request order, so the "Already downloaded" lines, the mismatch report and any
// error come out where staging one request after another would put them: the
// first failing request ends the run once every request before it is staged,
// while the downloads after it stop and keep what they received.
std::vector<std::string> stageFiles(const std::vector<StageRequest>& requests,
                                    std::int64_t totalFiles, bool verbose,
                                    std::size_t maxInFlight = kMaxTransfersInFlight);

// Creates the missing directories of the directory part of `path`, from the top
// (mode 0777 less the umask). Throws OSError when one cannot be created or a
// component exists but is not a directory.
void createParentDirectories(const std::string& path);

// Reports on standard error that the staged file of `path` has the digest text
// `actual` instead of the catalog's `expected`, deletes it and throws
// ExitRequest(255).
[[noreturn]] void rejectStagedFile(const std::string& path, std::string_view expected,
                                   const std::string& actual);

}  // namespace updater
