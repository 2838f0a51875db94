#include "updater/staging_check.hpp"

#include <algorithm>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "formats/tool_files.hpp"
#include "updater/delta_route.hpp"
#include "updater/target_directory.hpp"

namespace updater {
namespace {

// Consecutive entries checked by one job: one hand-over between threads per
// batch instead of per file, which on small files costs as much as the hashing.
constexpr std::size_t kEntriesPerCheckJob = 16;
// A batch also ends at this many bytes of targets, so that large files are
// spread over the workers instead of being hashed one after another by one.
constexpr std::int64_t kBytesPerCheckJob = std::int64_t{4} << 20;

EntryCheck check(const StageRequest& request, crypto::Sha3FileOutcome&& target) {
  EntryCheck found;
  try {
    if (target.error) {
      throw std::move(*target.error);
    }
    found.targetMatches = target.digest == request.digest;
    if (!found.targetMatches) {
      found.targetSize = common::regularFileSize(request.path);
      // Before anything is written there, the staged file's removal included.
      found.refusal = openTargetDirectory(request.path, true).refusal;
      if (found.refusal.empty()) {
        found.staged = stagedFileDigest(formats::pendingPathOf(request.path));
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

std::size_t checkBatchEnd(const std::vector<StageRequest>& requests, std::size_t first) {
  const std::size_t last = std::min(first + kEntriesPerCheckJob, requests.size());
  std::int64_t bytes = 0;
  for (std::size_t end = first; end < last; ++end) {
    const std::int64_t size = common::regularFileSize(requests[end].path);
    if (size >= DeltaRoute::kProbedTargetBytes) {
      // Checked alone, so that its index header is asked for while it is hashed.
      return end == first ? end + 1 : end;
    }
    bytes += size;
    if (bytes >= kBytesPerCheckJob) {
      return end + 1;
    }
  }
  return last;
}

std::vector<EntryCheck> checkEntries(const std::vector<StageRequest>& requests, std::size_t first,
                                     std::size_t end, crypto::Sha3Lanes lanes) {
  std::vector<std::string> paths;
  for (std::size_t index = first; index < end; ++index) {
    paths.push_back(requests[index].path);
  }
  // The batch's targets share the hasher's lanes.
  std::vector<crypto::Sha3FileOutcome> targets = crypto::sha3FilesHexIfRegular(paths, lanes);
  std::vector<EntryCheck> checks;
  for (std::size_t index = first; index < end; ++index) {
    checks.push_back(check(requests[index], std::move(targets[index - first])));
  }
  return checks;
}

bool EntryChecks::due(const TransferRunner& runner) const {
  return next_ < requests_.size() && runner.stepsOutstanding() < kJobsAhead;
}

std::optional<std::size_t> EntryChecks::post(
    TransferRunner& runner, std::function<void(std::size_t, EntryCheck&&)> checked) {
  const std::size_t first = next_;
  next_ = checkBatchEnd(requests_, first);
  runner.post([this, first, end = next_, checked = std::move(checked)]() -> std::function<void()> {
    auto batch =
        std::make_shared<std::vector<EntryCheck>>(checkEntries(requests_, first, end, lanes_));
    return [first, batch, checked] {
      for (std::size_t offset = 0; offset < batch->size(); ++offset) {
        checked(first + offset, std::move((*batch)[offset]));
      }
    };
  });
  return next_ == first + 1 ? std::optional(first) : std::nullopt;
}

}  // namespace updater
