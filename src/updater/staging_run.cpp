#include "updater/staging_run.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/output.hpp"
#include "common/system.hpp"
#include "delta/block_index.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"

namespace updater {
namespace {

// Jobs posted ahead of the steps taken: enough to keep every worker busy
// between two turns of the loop, few enough to hold little memory.
constexpr std::size_t kJobsAhead = 16;
// The longest single wait: something always wakes the loop earlier.
constexpr std::int64_t kLongestWaitMilliseconds = 1000;

// The -v line of a settled download that tried a delta: the bytes it reused
// and fetched, or why it came whole (said even when the file then fails: the
// fall back may explain why).
void reportRoute(const std::string& path, std::int64_t reused, std::int64_t fetched,
                 const std::string& wholeReason) {
  if (reused >= 0) {
    common::printOut("Delta: " + path + ": reused " + std::to_string(reused) + " bytes, fetched " +
                     std::to_string(fetched) + " bytes");
  } else if (!wholeReason.empty()) {
    common::printOut("Whole download: " + path + ": " + wholeReason);
  }
}

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
      downloads_(requests.size()),
      plan_(requests.size()),
      runner_(pool),
      route_(runner_,
             {.fellBack =
                  [this](std::size_t index, std::string reason) {
                    downloads_[index]->wholeReason = std::move(reason);
                    downloads_[index]->reusedBytes = -1;
                    plan_.fellBack(index);
                  },
              .building = [this](std::size_t index) { plan_.building(index); },
              .built =
                  [this](std::size_t index, std::string digest, std::int64_t reused,
                         std::int64_t fetched) {
                    downloads_[index]->reusedBytes = reused;
                    downloads_[index]->fetchedBytes = fetched;
                    plan_.built(index);
                    onVerified(index, Verification{std::move(digest), nullptr});
                  },
              .progress =
                  [this](std::size_t index, std::int64_t fetched, std::int64_t total) {
                    reportProgress(fetched, total, downloads_[index]->context);
                  },
              .threadsRanOut = [this] { warnThreadsRanOut(); }}) {
  TOLVEX_CHECK(maxInFlight_ > 0, "at least one transfer must be allowed");
}

StagingResult StagingRun::run() {
  if (runner_.workers().ranOutOfThreads()) {
    warnThreadsRanOut();
  }
  now_ = common::monotonicMilliseconds();
  for (;;) {
    submitChecks();
    startTransfers();
    commitSettled();
    if (plan_.finished()) {
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

bool StagingRun::checksDueNow() const {
  return nextCheck_ < requests_.size() && !plan_.abandoned(nextCheck_) &&
         runner_.stepsOutstanding() < kJobsAhead;
}

void StagingRun::submitChecks() {
  while (checksDueNow()) {
    const std::size_t first = nextCheck_;
    nextCheck_ = checkBatchEnd(requests_, first);
    if (nextCheck_ == first + 1) {
      route_.probe(first, requests_[first].path, requests_[first].digest);
    }
    runner_.post([this, first, end = nextCheck_]() -> std::function<void()> {
      auto batch = std::make_shared<std::vector<EntryCheck>>(
          checkEntries(requests_, first, end, lanes_));
      return [this, first, batch] {
        for (std::size_t offset = 0; offset < batch->size(); ++offset) {
          onChecked(first + offset, std::move((*batch)[offset]));
        }
      };
    });
  }
}

void StagingRun::onChecked(std::size_t index, EntryCheck&& found) {
  route_.checked(index);
  const StageRequest& entry = requests_[index];
  if (plan_.abandoned(index)) {
    return;
  }
  if (found.error) {
    fail(index, found.error);
  } else if (found.targetMatches) {
    settle(index, StageOutcome::kUpToDate);
  } else if (!found.refusal.empty()) {
    refusals_[index] = std::move(found.refusal);
    settle(index, StageOutcome::kRefused);
  } else if (!found.staged.digest.empty() && found.staged.digest == entry.digest) {
    // An empty digest text stands for "no regular file": it never matches.
    verified_[index] = found.staged.identity;
    settle(index, StageOutcome::kAlreadyStaged);
  } else {
    downloads_[index] = std::make_unique<Download>();
    downloads_[index]->context = {entry.path, formats::pendingPathOf(entry.path),
                                  entry.currentFile, totalFiles_};
    downloads_[index]->checked = std::move(found.staged);
    plan_.queue(index, found.targetSize >= delta::kMinimumIndexedBytes);
  }
}

void StagingRun::startTransfers() {
  // Each turn asks afresh: a start that fails at once may end later requests.
  while (runner_.running() < maxInFlight_) {
    const auto start =
        plan_.next(now_, [this](std::size_t index) { return route_.rangeDue(index); });
    if (!start) {
      return;
    }
    if (start->step == StagingStep::kRanges) {
      route_.startRange(start->entry);
    } else {
      attempt(start->entry, start->step);
    }
  }
}

void StagingRun::attempt(std::size_t index, StagingStep step) {
  Download& item = *downloads_[index];
  // Only the first attempt may go on from the check: any other, a delta build
  // included, may have changed the file since.
  std::optional<crypto::Sha3Stream> prefix = std::exchange(item.checked.state, std::nullopt);
  DeltaRoute::Files files{.url = {},
                          .indexUrl = {},
                          .oldPath = requests_[index].path,
                          .pendingPath = item.context.pendingPath};
  try {
    // Read once for the attempt: the descriptor may be edited between attempts.
    const std::string descriptor = formats::readSourceDescriptor();
    files.url = formats::remoteUrlIn(descriptor, requests_[index].path);
    files.indexUrl =
        formats::remoteUrlIn(descriptor, formats::blockIndexPathOf(requests_[index].digest));
  } catch (const common::Error&) {
    // recovery point: the error ends the run when this request's turn comes
    fail(index, std::current_exception());
    return;
  }
  if (step == StagingStep::kIndex) {
    route_.begin(index, std::move(files));
    return;
  }
  const http::DownloadSet::FileListener listener{
      [this, index](std::string_view bytes) { downloads_[index]->digest->append(bytes); },
      [this, index] { downloads_[index]->digest->startOver(); }};
  try {
    const std::int64_t existing = runner_.startFile(
        index, files.url, item.context.pendingPath,
        [this, index](std::int64_t downloaded, std::int64_t total) {
          reportProgress(downloaded, total, downloads_[index]->context);
        },
        listener);
    // Each attempt hashes what the file holds, then what it receives; the first
    // goes on from what the check read, when the file still holds just that.
    if (prefix && existing > 0 && existing == item.checked.bytes) {
      item.digest = std::make_unique<StreamingDigest>(runner_.workers(), item.context.pendingPath,
                                                      existing, std::move(*prefix),
                                                      item.checked.identity);
    } else {
      item.digest =
          std::make_unique<StreamingDigest>(runner_.workers(), item.context.pendingPath, existing);
    }
  } catch (const common::CurlError& error) {
    // recovery point: a transfer that could not start is tried again like any other
    attemptEnded(index, &error);
  } catch (const common::Error&) {
    // recovery point: the error ends the run when this request's turn comes
    fail(index, std::current_exception());
  }
}

void StagingRun::transferEnded(http::DownloadSet::Finished& end) {
  const std::optional<Transfer> transfer = runner_.take(end.id);
  if (!transfer) {
    return;  // cancelled since
  }
  if (transfer->kind != Transfer::Kind::kFile) {
    route_.ended(*transfer, end);
    return;
  }
  const std::size_t index = transfer->entry;
  if (plan_.abandoned(index)) {
    return;
  }
  using Result = http::DownloadSet::Finished::Result;
  if (end.result == Result::kComplete) {
    attemptEnded(index, nullptr);
  } else if (end.result == Result::kTransferFailed) {
    const common::CurlError error(end.message, end.cause);
    attemptEnded(index, &error);
  } else {
    downloads_[index]->digest.reset();
    fail(index, end.error);
  }
}

void StagingRun::attemptEnded(std::size_t index, const common::CurlError* failure) {
  const StagingPlan::Decision decision = plan_.transferEnded(index, failure == nullptr, now_);
  if (decision.step == StagingStep::kVerify) {
    verify(index, decision.step);
    return;
  }
  downloads_[index]->digest.reset();
  reporter_.report(*failure, decision.failures, decision.maxAttempts);
  if (decision.step == StagingStep::kGiveUp) {
    verify(index, decision.step);
  }
}

void StagingRun::verify(std::size_t index, StagingStep how) {
  if (how == StagingStep::kVerify) {
    runner_.expectStep();
    downloads_[index]->digest->finish(
        [this, index](std::string digest, common::FileIdentity identity, std::exception_ptr error) {
          runner_.deliver([this, index, verification = Verification{std::move(digest),
                                                                    std::move(error), identity}]() mutable {
            onVerified(index, std::move(verification));
          });
        });
    return;
  }
  runner_.post([this, index]() -> std::function<void()> {
    Verification verification;
    try {
      StagedDigest staged = stagedFileDigest(formats::pendingPathOf(requests_[index].path));
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
  Download& item = *downloads_[index];
  item.digest.reset();
  if (plan_.abandoned(index)) {
    return;
  }
  if (verification.error) {
    fail(index, verification.error);
    return;
  }
  const bool matches =
      !verification.digest.empty() && verification.digest == requests_[index].digest;
  switch (plan_.verified(index, matches)) {
    case StagingStep::kCommit:
      try {
        // A delta build's bytes were hashed as it wrote them into the file that
        // its name leads to; the move checks its owner as well as its identity.
        verified_[index] = verification.identity ? *verification.identity
                                                 : common::identityOf(common::openRegularFile(
                                                                          item.context.pendingPath,
                                                                          O_RDONLY)
                                                                          .get());
      } catch (const common::Error&) {
        // recovery point: the error ends the run when this request's turn comes
        fail(index, std::current_exception());
        return;
      }
      settle(index, StageOutcome::kDownloaded);
      return;
    case StagingStep::kRetry:
      ::unlink(item.context.pendingPath.c_str());
      item.reusedBytes = -1;
      item.wholeReason = "the file built by delta does not match the catalog";
      return;
    default:
      item.stagedDigest = std::move(verification.digest);
      settle(index, StageOutcome::kMismatch);
  }
}

void StagingRun::settle(std::size_t index, StageOutcome outcome) {
  route_.drop(index);
  // Nothing after the first failure will be taken: its downloads stop, keeping
  // what they received for the next run.
  for (const std::size_t later : plan_.settle(index, outcome)) {
    runner_.cancel(later, {Transfer::Kind::kFile});
    route_.drop(later);
    downloads_[later]->digest.reset();
  }
}

void StagingRun::fail(std::size_t index, std::exception_ptr error) {
  errors_[index] = std::move(error);
  settle(index, StageOutcome::kFailed);
}

void StagingRun::commitSettled() {
  for (const std::size_t index : plan_.takeReady()) {
    const StageRequest& settled = requests_[index];
    if (verbose_ && downloads_[index]) {
      const Download& item = *downloads_[index];
      reportRoute(settled.path, item.reusedBytes, item.fetchedBytes, item.wholeReason);
    }
    switch (plan_.outcome(index)) {
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
        rejectStagedFile(settled.path, settled.digest, downloads_[index]->stagedDigest);
      case StageOutcome::kFailed:
        std::rethrow_exception(errors_.at(index));
    }
    downloads_[index].reset();
    verified_.erase(index);
    refusals_.erase(index);
  }
}

void StagingRun::waitForProgress() {
  const std::optional<std::int64_t> retryAt = plan_.nextRetry();
  std::vector<http::DownloadSet::Finished> finished;
  if (runner_.running() == 0 && runner_.stepsOutstanding() == 0 && !checksDueNow()) {
    TOLVEX_CHECK(retryAt.has_value(), "staging has nothing left to wait for");
    // Only pauses remain: they go through the program's one replaceable pause.
    if (*retryAt > now_) {
      common::sleepMilliseconds(*retryAt - now_);
    }
  } else {
    // A step delivered meanwhile, or a worker's wake-up, ends the wait early.
    const std::int64_t untilRetry = std::clamp<std::int64_t>(
        retryAt.value_or(now_ + kLongestWaitMilliseconds) - now_, 0, kLongestWaitMilliseconds);
    finished = runner_.wait(checksDueNow() ? 0 : static_cast<int>(untilRetry));
  }
  now_ = common::monotonicMilliseconds();
  for (auto& end : finished) {
    transferEnded(end);
  }
  runner_.runDeliveredSteps();
}

}  // namespace updater
