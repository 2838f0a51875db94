#include "updater/staging/staging_check.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/sha3_batch.hpp"
#include "formats/tool_files.hpp"
#include "updater/apply/target_directory.hpp"

namespace updater {
namespace {

// Consecutive entries checked by one job: one hand-over between threads per
// batch instead of per file, which on small files costs as much as the hashing.
constexpr std::size_t kEntriesPerCheckJob = 16;
// A batch also ends at this many bytes of targets, so that the work is spread
// over the workers.
constexpr std::int64_t kBytesPerCheckJob = std::int64_t{4} << 20;
// Targets from this size on are checked with others of like size wherever they
// are in the catalog: among consecutive entries a large file has no peer, and
// the lanes would hash it alone at a third of their speed.
constexpr std::int64_t kGroupedTargetBytes = std::int64_t{1} << 20;

// Removes the staged file of `path`, whose target is up to date: nothing would
// ever take it. Only the entry itself goes, and only where staging could
// write, so that no link sends the removal elsewhere.
void removeUnusedStagedFile(const std::string& path) {
  // A look by name first: nearly always, nothing is there.
  struct stat status {};
  if (::lstat(formats::pendingPathOf(path).c_str(), &status) == 0) {
    removeStagedFile(path);
  }
}

// `readStaged`: whether the check may read the staged file, asked only when
// it has to.
EntryCheck check(const StageRequest& request, crypto::Sha3FileOutcome&& target,
                 const std::function<bool()>& readStaged) {
  EntryCheck found;
  try {
    if (target.error) {
      throw std::move(*target.error);
    }
    found.targetMatches = target.digest == request.digest;
    if (found.targetMatches && readStaged()) {
      removeUnusedStagedFile(request.path);
    }
    if (!found.targetMatches) {
      found.targetSize = common::regularFileSize(request.path);
      found.targetDigest = std::move(target.digest);
      // Before anything is written there, the staged file's removal included.
      TargetDirectory directory = openTargetDirectory(request.path, true);
      found.refusal = std::move(directory.refusal);
      if (found.refusal.empty() && readStaged()) {
        found.staged = stagedFileDigest(entryFilesIn(std::move(directory.fd), request.path).staged);
      }
    }
  } catch (const common::Error&) {
    // recovery point: raised when this request's turn comes, after every earlier one
    found.error = std::current_exception();
  }
  return found;
}

// Jobs posted ahead of the steps taken: enough to keep every worker busy
// between two turns of the loop, few enough to hold little memory.
constexpr std::size_t kJobsAhead = 16;

}  // namespace

CheckBatcher::Batch CheckBatcher::next(const std::function<std::int64_t(std::size_t)>& sizeOf) {
  Batch batch;
  std::int64_t bytes = 0;
  while (walked_ < entries_ && batch.entries.size() < kEntriesPerCheckJob &&
         bytes < kBytesPerCheckJob) {
    const std::size_t entry = walked_++;
    const std::int64_t size = sizeOf(entry);
    if (size >= kGroupedTargetBytes) {
      large_.emplace_back(size, entry);
      continue;
    }
    batch.entries.push_back(entry);
    bytes += size;
  }
  if (!batch.entries.empty() || walked_ < entries_) {
    return batch;
  }
  if (groupSize_ == 0) {
    // Largest first: the last jobs are the shortest, so the workers end together.
    std::ranges::stable_sort(large_, std::greater<>(), [](const auto& item) { return item.first; });
    // Three files of 256 MiB in one job of lanes would leave a core idle.
    groupSize_ = std::clamp<std::size_t>((large_.size() + workers_ - 1) / workers_, 1, laneWidth_);
  }
  const std::size_t end = std::min(nextLarge_ + groupSize_, large_.size());
  for (; nextLarge_ < end; ++nextLarge_) {
    batch.entries.push_back(large_[nextLarge_].second);
  }
  batch.large = true;
  return batch;
}

bool EntryChecks::claim(std::size_t entry, Claim by) {
  Claim none = Claim::kNone;
  return stagedClaims_[entry].compare_exchange_strong(none, by);
}

std::vector<EntryCheck> EntryChecks::checkEntries(std::span<const std::size_t> entries) {
  std::vector<std::string> paths;
  for (const std::size_t entry : entries) {
    paths.push_back(requests_[entry].path);
  }
  // The batch's targets share the hasher's lanes.
  std::vector<crypto::Sha3FileOutcome> targets = crypto::sha3FilesHexIfRegular(paths, lanes_);
  std::vector<EntryCheck> checks;
  for (std::size_t at = 0; at < entries.size(); ++at) {
    const std::size_t entry = entries[at];
    checks.push_back(check(requests_[entry], std::move(targets[at]),
                           [this, entry] { return claim(entry, Claim::kCheck); }));
  }
  return checks;
}

bool EntryChecks::due(const TransferRunner& runner) const {
  return !batcher_.done() && runner.stepsOutstanding() < kJobsAhead;
}

std::vector<std::size_t> EntryChecks::post(TransferRunner& runner,
                                           std::function<void(std::size_t, EntryCheck&&)> checked,
                                           const std::function<bool(std::size_t)>& abandoned) {
  CheckBatcher::Batch batch = batcher_.next(
      [this](std::size_t entry) { return common::regularFileSize(requests_[entry].path); });
  std::erase_if(batch.entries, abandoned);
  if (batch.entries.empty()) {
    return {};
  }
  auto entries = std::make_shared<const std::vector<std::size_t>>(std::move(batch.entries));
  runner.post([this, entries, checked = std::move(checked)]() -> std::function<void()> {
    auto checks = std::make_shared<std::vector<EntryCheck>>(checkEntries(*entries));
    return [entries, checks, checked] {
      for (std::size_t at = 0; at < entries->size(); ++at) {
        checked((*entries)[at], std::move((*checks)[at]));
      }
    };
  });
  return batch.large ? *entries : std::vector<std::size_t>();
}

}  // namespace updater
