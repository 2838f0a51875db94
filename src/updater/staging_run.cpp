#include "updater/staging_run.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <limits>

#include "common/errors.hpp"
#include "common/output.hpp"
#include "common/system.hpp"
#include "crypto/sha3.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"
#include "updater/retry.hpp"

namespace updater {
namespace {

// Consecutive entries checked by one job: one hand-over between threads per
// batch instead of per file, which on small files costs as much as the hashing.
constexpr std::size_t kEntriesPerCheckJob = 16;
// A batch also ends at this many bytes of targets, so that large files are
// spread over the workers instead of being hashed one after another by one.
constexpr std::int64_t kBytesPerCheckJob = std::int64_t{4} << 20;
// Jobs submitted ahead of the results taken: enough to keep every worker busy
// between two turns of the loop, few enough to hold little memory.
constexpr std::size_t kJobsAhead = 16;
// Waiting for this many results at once, rather than one, saves wake-ups when
// nothing else is going on; the first of them is rarely far behind.
constexpr std::size_t kJobsPerWakeUp = 4;
// The longest single wait: something always wakes the loop earlier.
constexpr std::int64_t kLongestWaitMilliseconds = 1000;

// The size of the file at `path` (links followed), 0 when there is none.
std::int64_t sizeOf(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? static_cast<std::int64_t>(status.st_size) : 0;
}

}  // namespace

std::size_t StagingRun::checkBatchEnd(std::size_t first) const {
  const std::size_t last = std::min(first + kEntriesPerCheckJob, items_.size());
  std::int64_t bytes = 0;
  for (std::size_t end = first; end < last; ++end) {
    bytes += sizeOf(request(end).path);
    if (bytes >= kBytesPerCheckJob) {
      return end + 1;
    }
  }
  return last;
}

StagingRun::Digests StagingRun::digestsOf(const StageRequest* request,
                                          const std::string& pendingPath) {
  Digests digests;
  try {
    if (request != nullptr) {
      digests.targetMatches = crypto::sha3FileHexIfRegular(request->path) == request->digest;
    }
    if (!digests.targetMatches) {
      digests.staged = stagedFileDigest(pendingPath);
    }
  } catch (const common::Error&) {
    // recovery point: raised when this request's turn comes, after every earlier one
    digests.error = std::current_exception();
  }
  return digests;
}

StagingRun::StagingRun(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
                       std::int64_t totalFiles, bool verbose, std::size_t maxInFlight)
    : requests_(requests),
      verbose_(verbose),
      maxInFlight_(maxInFlight),
      workers_(common::workerCount()),
      ledger_(requests.size()),
      downloads_(pool),
      // The loop bounds what it submits itself: a submission must never wait.
      pool_(workers_, std::numeric_limits<std::size_t>::max(), [this] {
        // Pairs with the store before the loop's last look at the results: either
        // that look sees this result, or this sees the flag.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (wakeOnResult_.load()) {
          downloads_.wake();
        }
      }) {
  TOLVEX_CHECK(maxInFlight_ > 0, "at least one transfer must be allowed");
  items_.reserve(requests.size());
  for (const StageRequest& request : requests) {
    Item item;
    item.context = {request.path, formats::pendingPathOf(request.path), request.currentFile,
                    totalFiles};
    items_.push_back(std::move(item));
  }
}

std::vector<std::string> StagingRun::run() {
  now_ = common::monotonicMilliseconds();
  for (;;) {
    submitChecks();
    startTransfers();
    commitSettled();
    if (ledger_.finished()) {
      return std::move(staged_);
    }
    waitForProgress();
  }
}

bool StagingRun::checksDueNow() const {
  return nextCheck_ < items_.size() && !abandoned(nextCheck_) && pool_.outstanding() < kJobsAhead;
}

void StagingRun::submitChecks() {
  // Bounded per turn as well: without workers each check runs here, and the
  // transfers need their turn too.
  for (std::size_t submitted = 0; submitted < kJobsAhead && checksDueNow(); ++submitted) {
    const std::size_t first = nextCheck_;
    nextCheck_ = checkBatchEnd(first);
    pool_.submit(
        [requests = &requests_, first, end = nextCheck_] {
          std::vector<Digests> batch;
          batch.reserve(end - first);
          for (std::size_t index = first; index < end; ++index) {
            const StageRequest& request = (*requests)[index];
            batch.push_back(digestsOf(&request, formats::pendingPathOf(request.path)));
          }
          return batch;
        },
        [this, first](std::vector<Digests>&& batch) {
          for (std::size_t offset = 0; offset < batch.size(); ++offset) {
            onChecked(first + offset, std::move(batch[offset]));
          }
        });
  }
}

void StagingRun::onChecked(std::size_t index, Digests&& digests) {
  if (abandoned(index)) {
    return;
  }
  Item& item = items_[index];
  if (digests.error) {
    fail(index, digests.error);
    return;
  }
  if (digests.targetMatches) {
    settle(index, StageOutcome::kUpToDate);
    return;
  }
  try {
    createParentDirectories(request(index).path);
  } catch (const common::Error&) {
    // recovery point: the error ends the run when this request's turn comes
    fail(index, std::current_exception());
    return;
  }
  // An empty digest text stands for "no regular file": it never matches a staged
  // file, so a request with an empty digest can never be staged.
  if (!digests.staged.empty() && digests.staged == request(index).digest) {
    settle(index, StageOutcome::kAlreadyStaged);
    return;
  }
  item.phase = Phase::kQueued;
  queue_.push_back(index);
}

std::optional<std::size_t> StagingRun::dueRetry() const {
  for (const std::size_t index : paused_) {
    if (items_[index].retryAt <= now_) {
      return index;
    }
  }
  return std::nullopt;
}

std::optional<std::int64_t> StagingRun::earliestRetry() const {
  std::optional<std::int64_t> earliest;
  for (const std::size_t index : paused_) {
    earliest = std::min(earliest.value_or(items_[index].retryAt), items_[index].retryAt);
  }
  return earliest;
}

void StagingRun::startTransfers() {
  // Each turn looks afresh: a start that fails at once may end the run's later
  // requests and so change both lists.
  while (downloads_.running() < maxInFlight_) {
    std::size_t index = 0;
    if (const auto due = dueRetry()) {
      // A retry goes first: its request is older than any still queued.
      index = *due;
      paused_.erase(index);
    } else if (!queue_.empty()) {
      index = queue_.front();
      queue_.pop_front();
    } else {
      return;
    }
    attempt(index);
  }
}

void StagingRun::attempt(std::size_t index) {
  Item& item = items_[index];
  item.phase = Phase::kRunning;
  try {
    // The URL is formed anew at each attempt: the descriptor may have been edited.
    downloads_.start(index, formats::remoteUrl(request(index).path), item.context.pendingPath,
                     [this, index](std::int64_t downloaded, std::int64_t total) {
                       reportProgress(downloaded, total, items_[index].context);
                     });
  } catch (const common::CurlError& error) {
    // recovery point: a transfer that could not start is tried again like any other
    transferFailed(index, error.message());
  } catch (const common::Error&) {
    // recovery point: the error ends the run when this request's turn comes
    fail(index, std::current_exception());
  }
}

void StagingRun::attemptEnded(const http::DownloadSet::Finished& end) {
  using Result = http::DownloadSet::Finished::Result;
  switch (end.result) {
    case Result::kComplete:
      verify(end.id);
      break;
    case Result::kTransferFailed:
      transferFailed(end.id, end.message);
      break;
    case Result::kFileFailed:
      fail(end.id, end.error);
      break;
  }
}

void StagingRun::transferFailed(std::size_t index, std::string_view message) {
  Item& item = items_[index];
  const bool again = item.attempts.spend();
  reportTransferFailure(message, item.attempts.failures(), item.attempts.maxAttempts());
  if (!again) {
    // Given up on: the staged file's digest decides, as for a complete one.
    verify(index);
    return;
  }
  item.phase = Phase::kPaused;
  item.retryAt = now_ + kTransferDelaySeconds * 1000;
  paused_.insert(index);
}

void StagingRun::verify(std::size_t index) {
  items_[index].phase = Phase::kVerifying;
  // Hashed on a worker: a large file would hold up every other transfer here.
  pool_.submit(
      [pending = items_[index].context.pendingPath] {
        return std::vector<Digests>{digestsOf(nullptr, pending)};
      },
      [this, index](std::vector<Digests>&& digests) {
        onVerified(index, std::move(digests.front()));
      });
}

void StagingRun::onVerified(std::size_t index, Digests&& digests) {
  if (abandoned(index)) {
    return;
  }
  Item& item = items_[index];
  if (digests.error) {
    fail(index, digests.error);
  } else if (!digests.staged.empty() && digests.staged == request(index).digest) {
    settle(index, StageOutcome::kDownloaded);
  } else {
    item.stagedDigest = std::move(digests.staged);
    settle(index, StageOutcome::kMismatch);
    stopAfter(index);
  }
}

void StagingRun::settle(std::size_t index, StageOutcome outcome) {
  items_[index].phase = Phase::kDone;
  ledger_.settle(index, outcome);
}

void StagingRun::fail(std::size_t index, std::exception_ptr error) {
  items_[index].error = std::move(error);
  settle(index, StageOutcome::kFailed);
  stopAfter(index);
}

void StagingRun::stopAfter(std::size_t index) {
  // Nothing after the first failure will be taken: its downloads stop, keeping
  // what they received for the next run.
  for (std::size_t later = index + 1; later < items_.size(); ++later) {
    if (abandoned(later) && items_[later].phase == Phase::kRunning) {
      downloads_.cancel(later);
      items_[later].phase = Phase::kDone;
    }
  }
  std::erase_if(queue_, [this](std::size_t queued) { return abandoned(queued); });
  std::erase_if(paused_, [this](std::size_t paused) { return abandoned(paused); });
}

void StagingRun::commitSettled() {
  for (const std::size_t index : ledger_.takeReady()) {
    const StageRequest& settled = request(index);
    switch (ledger_.outcome(index)) {
      case StageOutcome::kUpToDate:
        break;
      case StageOutcome::kAlreadyStaged:
        if (verbose_) {
          common::printOut("Already downloaded: " + settled.path);
        }
        staged_.push_back(settled.path);
        break;
      case StageOutcome::kDownloaded:
        staged_.push_back(settled.path);
        break;
      case StageOutcome::kMismatch:
        rejectStagedFile(settled.path, settled.digest, items_[index].stagedDigest);
      case StageOutcome::kFailed:
        std::rethrow_exception(items_[index].error);
    }
  }
}

void StagingRun::waitForProgress() {
  const bool checksNow = checksDueNow();
  const std::optional<std::int64_t> retryAt = earliestRetry();
  const std::int64_t untilRetry = std::clamp<std::int64_t>(
      retryAt.value_or(now_ + kLongestWaitMilliseconds) - now_, 0, kLongestWaitMilliseconds);
  std::vector<http::DownloadSet::Finished> finished;
  if (downloads_.running() > 0) {
    wakeOnResult_.store(true);
    // A result that arrived before the flag was set wakes nobody: take it now.
    if (pool_.consumeReady() == 0) {
      finished = downloads_.wait(checksNow ? 0 : static_cast<int>(untilRetry));
    }
    wakeOnResult_.store(false);
  } else if (checksNow) {
    // More checks can go out at once.
  } else if (pool_.outstanding() > 0) {
    pool_.awaitReady(kJobsPerWakeUp - 1, std::chrono::milliseconds(untilRetry));
  } else {
    TOLVEX_CHECK(retryAt.has_value(), "staging has nothing left to wait for");
    // Only pauses remain: they go through the program's one replaceable pause.
    if (*retryAt > now_) {
      common::sleepMilliseconds(*retryAt - now_);
    }
  }
  now_ = common::monotonicMilliseconds();
  for (const auto& end : finished) {
    if (!abandoned(end.id)) {
      attemptEnded(end);
    }
  }
  pool_.consumeReady();
}

}  // namespace updater
