#include "updater/staging/staging.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_set>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/output.hpp"
#include "common/path.hpp"
#include "crypto/sha3.hpp"
#include "crypto/sha3_batch.hpp"
#include "formats/tool_files.hpp"
#include "updater/apply/target_directory.hpp"
#include "updater/staging/staging_run.hpp"

namespace updater {

void rejectStagedFile(const std::string& path, std::string_view expected,
                      const std::string& actual) {
  common::printErr("");
  common::printErr("Hash mismatch for " + path);
  common::printErr("  remote catalog: " + std::string(expected));
  common::printErr("  downloaded    : " + actual);
  // The next run starts this file afresh; a file already gone is just as good.
  removeStagedFile(path);
  throw common::ExitRequest(255);
}

namespace {

// Removes the entry `pending`, never what it points to.
void removeStagedEntry(const common::FileAt& pending) {
  if (!common::removeEntry(pending)) {
    throw common::osError(errno, pending.shown);
  }
}

}  // namespace

StagedDigest stagedFileDigest(const common::FileAt& pending) {
  const std::string& pendingPath = pending.shown;
  struct stat status {};
  if (::fstatat(pending.at(), pending.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    // No staged file, or not even its directory yet (created later, or failing then).
    if (errno == ENOENT || errno == ENOTDIR) {
      return {};
    }
    throw common::osError(errno, pendingPath);
  }
  if (S_ISDIR(status.st_mode)) {
    throw common::IOError("staged path is a directory: " + pendingPath);
  }
  if (!S_ISREG(status.st_mode)) {
    // Whoever can write here could point a root-run update at any file.
    removeStagedEntry(pending);
    return {};
  }
  const common::FileDescriptor file = common::openRegularFile(pending, O_RDONLY);
  if (::fstat(file.get(), &status) != 0) {
    throw common::osError(errno, pendingPath);
  }
  // Its owner could change it after it is verified, whatever its mode.
  if (status.st_uid != ::geteuid()) {
    removeStagedEntry(pending);
    return {};
  }
  // An earlier version created staged files with the umask's mode.
  if ((status.st_mode & 07777) != common::kPrivateFileMode &&
      ::fchmod(file.get(), common::kPrivateFileMode) != 0) {
    throw common::osError(errno, pendingPath);
  }
  crypto::Sha3Stream state;
  state.updateFromFile(file.get(), status.st_size, pendingPath);
  std::string digest = state.currentHex();
  return {std::move(digest), {status.st_dev, status.st_ino}, std::move(state), status.st_size};
}

std::vector<StageRequest> stageRequestsOf(std::vector<formats::CatalogEntry>&& entries) {
  std::vector<StageRequest> requests;
  std::unordered_set<std::string> seen;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    formats::CatalogEntry& entry = entries[index];
    if (seen.insert(common::withoutEmptyComponents(entry.path)).second) {
      requests.push_back(
          {std::move(entry.digest), std::move(entry.path), static_cast<std::int64_t>(index)});
    }
  }
  entries.clear();
  return requests;
}

std::optional<std::string> firstOutOfDateTarget(const std::vector<StageRequest>& requests,
                                                crypto::LaneWidth lanes) {
  // A few at a time: the first that is out of date ends the search.
  constexpr std::size_t kTargetsAtOnce = 64;
  for (std::size_t first = 0; first < requests.size(); first += kTargetsAtOnce) {
    const std::size_t end = std::min(first + kTargetsAtOnce, requests.size());
    std::vector<std::string> paths;
    for (std::size_t index = first; index < end; ++index) {
      paths.push_back(requests[index].path);
    }
    std::vector<crypto::Sha3FileOutcome> targets = crypto::sha3FilesHexIfRegular(paths, lanes);
    for (std::size_t at = 0; at < paths.size(); ++at) {
      if (targets[at].error) {
        throw std::move(*targets[at].error);
      }
      if (targets[at].digest != requests[first + at].digest) {
        return std::move(paths[at]);
      }
    }
  }
  return std::nullopt;
}

StagingResult stageFiles(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
                         std::int64_t totalFiles, bool verbose, FailureReporter& reporter,
                         crypto::LaneWidth lanes, std::size_t maxInFlight,
                         const std::string& catalogDigest) {
  if (requests.empty()) {
    return {};
  }
  return StagingRun(pool, requests, totalFiles, verbose, reporter, lanes, maxInFlight,
                    catalogDigest)
      .run();
}

}  // namespace updater
