#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file.hpp"
#include "crypto/lane_width.hpp"
#include "crypto/sha3.hpp"
#include "formats/catalog_file.hpp"
#include "http/connection_pool.hpp"
#include "updater/apply/staged_file.hpp"
#include "updater/staging/retry.hpp"

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

// The requests for `entries`, in catalog order. A path listed twice (also under
// names that differ only in empty or "." components) is requested once, by its
// first entry: moving it a second time would fail after the first move. The
// entries' texts are moved, not copied: a catalog may list many files.
std::vector<StageRequest> stageRequestsOf(std::vector<formats::CatalogEntry>&& entries);

// What staging came to: the staged files in request order, and how many entries
// were refused (each reported on standard error) and so will not be updated.
struct StagingResult {
  std::vector<StagedFile> files;
  std::size_t refused = 0;
};

// Makes sure that a verified copy of the remote file of each request lies in its
// staged file (formats::pendingPathOf), downloading or resuming it through
// `pool` as needed, and returns the staged files in request order; a target
// that already has its digest is left alone and not listed, and a staged file
// beside it, which nothing would take, is removed. A large target
// whose old copy is here is first updated by delta, when the server publishes
// its block index; the staged file is verified all the same. The paths must be
// distinct; `totalFiles` numbers the entries on the progress line. Failed
// attempts are reported through `reporter`. Before anything is downloaded for
// an out-of-date target, its directories are made as needed and walked as
// openTargetDirectory does: an entry behind another user's link is refused with
// an error line and left alone, and the others go on. Digests are computed on
// worker threads and up to `maxInFlight` downloads run at once on this thread,
// each with its own attempts and pauses; yet each request's outcome is taken in
// request order, so the "Already downloaded" lines, the refusals, the mismatch
// report and any error come out where staging one request after another would
// put them: the first failing request ends the run once every request before
// it is staged, while the downloads after it stop and keep what they received.
// On a digest mismatch, reports it, deletes the staged file and throws
// ExitRequest(255). Throws OSError when a directory cannot be created, IOError
// when a file cannot be read or written. Targets are hashed `lanes` at a time.
// `catalogDigest`, the digest text of the signed catalog, names its release
// description and bundle (none are asked for without it).
StagingResult stageFiles(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
                         std::int64_t totalFiles, bool verbose, FailureReporter& reporter,
                         crypto::LaneWidth lanes, std::size_t maxInFlight = kMaxTransfersInFlight,
                         const std::string& catalogDigest = "");

// The path of the first target among `requests` that lacks its catalog digest,
// found without writing anything, as a run in a directory that may not be
// written needs; nothing when every target has it. Targets are hashed `lanes`
// at a time. Throws IOError when a target cannot be read.
std::optional<std::string> firstOutOfDateTarget(const std::vector<StageRequest>& requests,
                                                crypto::LaneWidth lanes);

// The digest text of a staged file, and which file it was.
struct StagedDigest {
  std::string digest;  // "" when there is no staged file
  common::FileIdentity identity;
  // The state behind `digest`, of its first `bytes` bytes: a download that
  // resumes the file goes on from it instead of reading them again.
  std::optional<crypto::Sha3Stream> state;
  std::int64_t bytes = 0;
};

// The digest of the staged file `pending`, read without following a link and
// without blocking; "" when there is none. Anything else there (a
// link, a named pipe, a socket, a device) is removed, the entry itself and never
// what it points to, so that the file is downloaded afresh; so is a file that
// another user owns, who could change it after it is verified. A file of this
// user with other permission bits is given 0600. Throws IOError
// "staged path is a directory: PATH" for a directory, whose content is never
// touched.
StagedDigest stagedFileDigest(const common::FileAt& pending);

// Reports on standard error that the staged file of `path` has the digest text
// `actual` instead of the catalog's `expected`, deletes it and throws
// ExitRequest(255).
[[noreturn]] void rejectStagedFile(const std::string& path, std::string_view expected,
                                   const std::string& actual);

}  // namespace updater
