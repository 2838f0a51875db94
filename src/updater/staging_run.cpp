#include "updater/staging_run.hpp"

#include <fcntl.h>

#include <algorithm>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/ordered_pool.hpp"
#include "common/output.hpp"
#include "common/system.hpp"
#include "crypto/sha3.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"
#include "updater/target_directory.hpp"

namespace updater {
namespace {

// Consecutive entries checked by one job: one hand-over between threads per
// batch instead of per file, which on small files costs as much as the hashing.
constexpr std::size_t kEntriesPerCheckJob = 16;
// A batch also ends at this many bytes of targets, so that large files are
// spread over the workers instead of being hashed one after another by one.
constexpr std::int64_t kBytesPerCheckJob = std::int64_t{4} << 20;
// Jobs posted ahead of the steps taken: enough to keep every worker busy
// between two turns of the loop, few enough to hold little memory.
constexpr std::size_t kJobsAhead = 16;
// The longest single wait: something always wakes the loop earlier.
constexpr std::int64_t kLongestWaitMilliseconds = 1000;

}  // namespace

StagingRun::StagingRun(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
                       std::int64_t totalFiles, bool verbose, FailureReporter& reporter,
                       crypto::Sha3Lanes lanes, std::size_t maxInFlight)
    : requests_(requests),
      verbose_(verbose),
      reporter_(reporter),
      lanes_(lanes),
      maxInFlight_(maxInFlight),
      totalFiles_(totalFiles),
      items_(requests.size()),
      ledger_(requests.size()),
      downloads_(pool),
      digestLanes_(workers_, lanes, common::workerCount()),
      workers_(common::workerCount()) {
  TOLVEX_CHECK(maxInFlight_ > 0, "at least one transfer must be allowed");
}

StagingRun::Download& StagingRun::download(std::size_t index) {
  TOLVEX_CHECK(items_[index].download != nullptr, "a request without a download");
  return *items_[index].download;
}

StagingResult StagingRun::run() {
  if (workers_.ranOutOfThreads()) {
    warnThreadsRanOut();
  }
  now_ = common::monotonicMilliseconds();
  for (;;) {
    submitChecks();
    startTransfers();
    commitSettled();
    if (ledger_.finished()) {
      return std::move(result_);
    }
    waitForProgress();
  }
}

void StagingRun::warnThreadsRanOut() {
  if (!warnedThreads_) {
    warnedThreads_ = true;
    common::printErr("warning: cannot start another thread; working on one");
  }
}

void StagingRun::postJob(std::function<std::function<void()>()> job) {
  ++jobsOutstanding_;
  workers_.post([this, job = std::move(job)] { deliver(job()); });
}

void StagingRun::deliver(std::function<void()> step) {
  {
    const std::lock_guard lock(deliveredMutex_);
    delivered_.push_back(std::move(step));
  }
  downloads_.wake();
}

void StagingRun::runDeliveredSteps() {
  std::vector<std::function<void()>> steps;
  {
    const std::lock_guard lock(deliveredMutex_);
    steps.swap(delivered_);
  }
  for (const auto& step : steps) {
    --jobsOutstanding_;
    step();
  }
}

StagingRun::Check StagingRun::check(const StageRequest& request, crypto::Sha3FileOutcome&& target) {
  Check found;
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

std::size_t StagingRun::checkBatchEnd(std::size_t first) const {
  const std::size_t last = std::min(first + kEntriesPerCheckJob, items_.size());
  std::int64_t bytes = 0;
  for (std::size_t end = first; end < last; ++end) {
    const std::int64_t size = common::regularFileSize(request(end).path);
    if (size >= kProbedTargetBytes) {
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

bool StagingRun::checksDueNow() const {
  return nextCheck_ < items_.size() && !abandoned(nextCheck_) && jobsOutstanding_ < kJobsAhead;
}

void StagingRun::submitChecks() {
  while (checksDueNow()) {
    const std::size_t first = nextCheck_;
    nextCheck_ = checkBatchEnd(first);
    if (nextCheck_ == first + 1) {
      probeSize(first);
    }
    postJob([this, first, end = nextCheck_]() -> std::function<void()> {
      std::vector<std::string> paths;
      for (std::size_t index = first; index < end; ++index) {
        paths.push_back(request(index).path);
      }
      // The batch's targets share the hasher's lanes.
      std::vector<crypto::Sha3FileOutcome> targets = crypto::sha3FilesHexIfRegular(paths, lanes_);
      auto batch = std::make_shared<std::vector<Check>>();
      for (std::size_t index = first; index < end; ++index) {
        batch->push_back(check(request(index), std::move(targets[index - first])));
      }
      return [this, first, batch] {
        for (std::size_t offset = 0; offset < batch->size(); ++offset) {
          onChecked(first + offset, std::move((*batch)[offset]));
        }
      };
    });
  }
}

void StagingRun::onChecked(std::size_t index, Check&& found) {
  endProbe(index);
  if (abandoned(index)) {
    return;
  }
  if (found.error) {
    fail(index, found.error);
    return;
  }
  if (found.targetMatches) {
    settle(index, StageOutcome::kUpToDate);
    return;
  }
  if (!found.refusal.empty()) {
    refusals_[index] = std::move(found.refusal);
    settle(index, StageOutcome::kRefused);
    return;
  }
  // An empty digest text stands for "no regular file": it never matches a staged
  // file, so a request with an empty digest can never be staged.
  if (!found.staged.digest.empty() && found.staged.digest == request(index).digest) {
    verified(index, found.staged.identity, StageOutcome::kAlreadyStaged);
    return;
  }
  const StageRequest& entry = request(index);
  items_[index].download = std::make_unique<Download>();
  download(index).context = {entry.path, formats::pendingPathOf(entry.path), entry.currentFile,
                             totalFiles_};
  download(index).targetSize = found.targetSize;
  download(index).checked = std::move(found.staged);
  items_[index].phase = Phase::kQueued;
  queue_.push_back(index);
}

void StagingRun::startTransfers() {
  // Each turn looks afresh: a start that fails at once may end the run's later
  // requests and so change both lists.
  while (downloads_.running() < maxInFlight_) {
    std::size_t index = 0;
    if (const auto due = retries_.takeDue(now_)) {
      // A retry goes first: its request is older than any still queued.
      index = *due;
    } else if (startRangeFetch()) {
      // The ranges of a delta come next, for the same reason.
      continue;
    } else if (const auto queued = takeQueued()) {
      index = *queued;
    } else {
      return;
    }
    attempt(index);
  }
}

std::optional<std::size_t> StagingRun::takeQueued() {
  if (!retries_.opensNewStarts()) {
    return std::nullopt;
  }
  // The first in request order that may start: a delta waits for a free one,
  // while the requests behind it go on.
  const auto found =
      std::ranges::find_if(queue_, [this](std::size_t queued) { return deltaMayStart(queued); });
  if (found == queue_.end()) {
    return std::nullopt;
  }
  const std::size_t index = *found;
  queue_.erase(found);
  return index;
}

void StagingRun::attempt(std::size_t index) {
  items_[index].phase = Phase::kRunning;
  Download& item = download(index);
  // Only the first attempt may go on from the check: any other, a delta build
  // included, may have changed the file since.
  std::optional<crypto::Sha3Stream> prefix = std::exchange(item.checked.state, std::nullopt);
  try {
    const std::string descriptor = formats::readSourceDescriptor();
    item.url = formats::remoteUrlIn(descriptor, request(index).path);
    item.indexUrl =
        formats::remoteUrlIn(descriptor, formats::blockIndexPathOf(request(index).digest));
  } catch (const common::Error&) {
    // recovery point: the error ends the run when this request's turn comes
    fail(index, std::current_exception());
    return;
  }
  if (triesDelta(index)) {
    fetchIndex(index);
    return;
  }
  const http::DownloadSet::FileListener listener{
      [this, index](std::string_view bytes) { download(index).digest->append(bytes); },
      [this, index] { download(index).digest->startOver(); }};
  const std::size_t id = nextTransferId_++;
  try {
    const std::int64_t existing = downloads_.start(
        id, item.url, item.context.pendingPath,
        [this, index](std::int64_t downloaded, std::int64_t total) {
          reportProgress(downloaded, total, download(index).context);
        },
        listener);
    transfers_.emplace(id, Transfer{Transfer::Kind::kFile, index});
    // Each attempt hashes what the file holds, then what it receives; the first
    // goes on from what the check read, when the file still holds just that.
    if (prefix && existing > 0 && existing == item.checked.bytes) {
      item.digest =
          std::make_unique<StreamingDigest>(digestLanes_, item.context.pendingPath, existing,
                                            std::move(*prefix), item.checked.identity);
    } else {
      item.digest =
          std::make_unique<StreamingDigest>(digestLanes_, item.context.pendingPath, existing);
    }
  } catch (const common::CurlError& error) {
    // recovery point: a transfer that could not start is tried again like any other
    transferFailed(index, error);
  } catch (const common::Error&) {
    // recovery point: the error ends the run when this request's turn comes
    fail(index, std::current_exception());
  }
}

void StagingRun::startFetch(const Transfer& transfer, const common::Uri& url,
                            std::optional<http::DownloadSet::ByteRange> range,
                            std::size_t maxBytes) {
  const std::size_t id = nextTransferId_++;
  downloads_.fetch(id, url, range, maxBytes, {});
  transfers_.emplace(id, transfer);
}

bool StagingRun::hasTransfer(std::size_t index, Transfer::Kind kind) const {
  return std::ranges::any_of(transfers_, [index, kind](const auto& entry) {
    return entry.second.request == index && entry.second.kind == kind;
  });
}

void StagingRun::cancelTransfers(std::size_t index, std::initializer_list<Transfer::Kind> kinds) {
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (it->second.request == index && std::ranges::find(kinds, it->second.kind) != kinds.end()) {
      downloads_.cancel(it->first);
      it = transfers_.erase(it);
    } else {
      ++it;
    }
  }
}

void StagingRun::transferEnded(http::DownloadSet::Finished& end) {
  const auto found = transfers_.find(end.id);
  TOLVEX_CHECK(found != transfers_.end(), "a transfer ended that was never started");
  const Transfer transfer = found->second;
  transfers_.erase(found);
  const std::size_t index = transfer.request;
  switch (transfer.kind) {
    case Transfer::Kind::kRange:
      rangeEnded(transfer, end);
      break;
    case Transfer::Kind::kProbe:
      probeEnded(index, end);
      break;
    case Transfer::Kind::kPrefetch:
      prefetchEnded(index, end);
      break;
    case Transfer::Kind::kIndex:
      if (!abandoned(index)) {
        indexEnded(index, end);
      }
      break;
    case Transfer::Kind::kFile:
      if (!abandoned(index)) {
        attemptEnded(index, end);
      }
      break;
  }
}

void StagingRun::attemptEnded(std::size_t index, http::DownloadSet::Finished& end) {
  using Result = http::DownloadSet::Finished::Result;
  switch (end.result) {
    case Result::kComplete:
      retries_.recovered(index);
      verifyStreamed(index);
      break;
    case Result::kTransferFailed:
      transferFailed(index, common::CurlError(end.message, end.cause));
      break;
    case Result::kFileFailed:
      download(index).digest.reset();
      fail(index, end.error);
      break;
  }
}

void StagingRun::transferFailed(std::size_t index, const common::CurlError& error) {
  Download& item = download(index);
  item.digest.reset();
  const bool again = item.attempts.spend();
  reporter_.report(error, item.attempts.failures(), item.attempts.maxAttempts());
  if (!again) {
    // Given up on: the staged file's digest decides, as for a complete one.
    verifyByReading(index);
    return;
  }
  items_[index].phase = Phase::kPaused;
  retries_.paused(index, now_ + kTransferDelaySeconds * 1000);
}

void StagingRun::verifyStreamed(std::size_t index) {
  items_[index].phase = Phase::kVerifying;
  ++jobsOutstanding_;
  download(index).digest->finish([this, index](std::string digest, common::FileIdentity identity,
                                               std::exception_ptr error) {
    deliver([this, index,
             verification = Verification{std::move(digest), std::move(error), identity}]() mutable {
      onVerified(index, std::move(verification));
    });
  });
}

void StagingRun::verifyByReading(std::size_t index) {
  items_[index].phase = Phase::kVerifying;
  postJob([this, index]() -> std::function<void()> {
    Verification verification;
    try {
      StagedDigest staged = stagedFileDigest(formats::pendingPathOf(request(index).path));
      verification.digest = std::move(staged.digest);
      verification.identity = staged.identity;
    } catch (const common::Error&) {
      // recovery point: raised when this request's turn comes
      verification.error = std::current_exception();
    }
    return [this, index, verification = std::move(verification)]() mutable {
      onVerified(index, std::move(verification));
    };
  });
}

void StagingRun::onVerified(std::size_t index, Verification&& verification) {
  Download& item = download(index);
  item.digest.reset();
  if (abandoned(index)) {
    return;
  }
  if (verification.error) {
    fail(index, verification.error);
  } else if (!verification.digest.empty() && verification.digest == request(index).digest) {
    verified(index, verification.identity, StageOutcome::kDownloaded);
  } else if (item.deltaWrote && !item.restartedWhole) {
    // The index, or the prefix it left, was wrong: it cost bytes, never a file.
    ::unlink(item.context.pendingPath.c_str());
    item.restartedWhole = true;
    item.reusedBytes = -1;
    item.wholeReason = "the file built by delta does not match the catalog";
    requeueFirst(index);
  } else {
    item.stagedDigest = std::move(verification.digest);
    settle(index, StageOutcome::kMismatch);
    stopAfter(index);
  }
}

void StagingRun::verified(std::size_t index, std::optional<common::FileIdentity> identity,
                          StageOutcome outcome) {
  if (!identity) {
    // A delta build's bytes were hashed as it wrote them into the file that its
    // name leads to; the move checks its owner as well as its identity.
    try {
      identity = common::identityOf(
          common::openRegularFile(download(index).context.pendingPath, O_RDONLY).get());
    } catch (const common::Error&) {
      // recovery point: the error ends the run when this request's turn comes
      fail(index, std::current_exception());
      return;
    }
  }
  verified_[index] = *identity;
  settle(index, outcome);
}

void StagingRun::settle(std::size_t index, StageOutcome outcome) {
  dropPrefetch(index);
  retries_.recovered(index);
  items_[index].phase = Phase::kDone;
  ledger_.settle(index, outcome);
}

void StagingRun::fail(std::size_t index, std::exception_ptr error) {
  errors_[index] = std::move(error);
  settle(index, StageOutcome::kFailed);
  stopAfter(index);
}

void StagingRun::stopAfter(std::size_t index) {
  // Nothing after the first failure will be taken: its downloads stop, keeping
  // what they received for the next run.
  for (std::size_t later = index + 1; later < items_.size(); ++later) {
    if (abandoned(later)) {
      retries_.recovered(later);
    }
    if (abandoned(later) && items_[later].phase == Phase::kRunning) {
      cancelTransfers(later, {Transfer::Kind::kFile, Transfer::Kind::kIndex});
      cancelRanges(later);
      setRoute(later, Route::kWhole);
      download(later).digest.reset();
      items_[later].phase = Phase::kDone;
    }
  }
  std::erase_if(queue_, [this](std::size_t queued) { return abandoned(queued); });
}

void StagingRun::commitSettled() {
  for (const std::size_t index : ledger_.takeReady()) {
    const StageRequest& settled = request(index);
    if (verbose_ && items_[index].download) {
      reportRoute(index);
    }
    switch (ledger_.outcome(index)) {
      case StageOutcome::kUpToDate:
        break;
      case StageOutcome::kAlreadyStaged:
        if (verbose_) {
          common::printOut("Already downloaded: " + settled.path);
        }
        result_.files.push_back({settled.path, verified_.at(index)});
        break;
      case StageOutcome::kRefused:
        reportRefusal(settled.path, refusals_.at(index));
        ++result_.refused;
        break;
      case StageOutcome::kDownloaded:
        result_.files.push_back({settled.path, verified_.at(index)});
        break;
      case StageOutcome::kMismatch:
        rejectStagedFile(settled.path, settled.digest, download(index).stagedDigest);
      case StageOutcome::kFailed:
        std::rethrow_exception(errors_.at(index));
    }
    items_[index].download.reset();
    verified_.erase(index);
    refusals_.erase(index);
  }
}

void StagingRun::reportRoute(std::size_t index) const {
  const Download& item = *items_[index].download;
  const std::string& path = request(index).path;
  if (item.reusedBytes >= 0) {
    common::printOut("Delta: " + path + ": reused " + std::to_string(item.reusedBytes) +
                     " bytes, fetched " + std::to_string(item.fetchedBytes) + " bytes");
  } else if (!item.wholeReason.empty()) {
    // Said even when the file then fails: the fall back may explain why.
    common::printOut("Whole download: " + path + ": " + item.wholeReason);
  }
}

void StagingRun::waitForProgress() {
  const std::optional<std::int64_t> retryAt = retries_.nextRetry();
  std::vector<http::DownloadSet::Finished> finished;
  if (downloads_.running() == 0 && jobsOutstanding_ == 0 && !checksDueNow()) {
    TOLVEX_CHECK(retryAt.has_value(), "staging has nothing left to wait for");
    // Only pauses remain: they go through the program's one replaceable pause.
    if (*retryAt > now_) {
      common::sleepMilliseconds(*retryAt - now_);
    }
  } else {
    // A step delivered meanwhile, or a worker's wake-up, ends the wait early.
    const std::int64_t untilRetry = std::clamp<std::int64_t>(
        retryAt.value_or(now_ + kLongestWaitMilliseconds) - now_, 0, kLongestWaitMilliseconds);
    finished = downloads_.wait(checksDueNow() ? 0 : static_cast<int>(untilRetry));
  }
  now_ = common::monotonicMilliseconds();
  for (auto& end : finished) {
    transferEnded(end);
  }
  runDeliveredSteps();
}

void StagingRun::requeueFirst(std::size_t index) {
  // Older than any request still queued, so it goes first.
  items_[index].phase = Phase::kQueued;
  queue_.push_front(index);
}

}  // namespace updater
