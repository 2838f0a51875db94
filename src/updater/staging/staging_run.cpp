#include "updater/staging/staging_run.hpp"

#include <algorithm>
#include <utility>

#include "common/errors.hpp"
#include "common/system.hpp"
#include "delta/block_index.hpp"
#include "formats/file_description.hpp"
#include "formats/tool_files.hpp"
#include "updater/apply/target_directory.hpp"

namespace updater {

// The longest single wait: something always wakes the loop earlier.
constexpr std::int64_t kLongestWaitMilliseconds = 1000;

StagingRun::StagingRun(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
                       std::int64_t totalFiles, bool verbose, FailureReporter& reporter,
                       crypto::LaneWidth lanes, std::size_t maxInFlight,
                       const std::string& catalogDigest)
    : requests_(requests),
      reporter_(reporter),
      totalFiles_(totalFiles),
      downloads_(requests.size()),
      plan_(requests.size()),
      outcomes_(requests, verbose),
      checks_(requests, lanes),
      runner_(pool, maxInFlight, lanes),
      route_(runner_, lanes, {catalogDigest, totalFiles}) {}

StagingResult StagingRun::run() {
  if (runner_.workers().ranOutOfThreads()) {
    runner_.warnThreadsRanOut();
  }
  now_ = common::monotonicMilliseconds();
  for (;;) {
    submitChecks();
    startTransfers();
    for (const std::size_t index : plan_.takeReady()) {
      outcomes_.take(index, plan_.outcome(index));
      downloads_[index].reset();
    }
    if (plan_.finished()) {
      return std::move(outcomes_.result());
    }
    waitForProgress();
  }
}

bool StagingRun::checksDueNow() const { return checks_.due(runner_); }

void StagingRun::submitChecks() {
  while (checksDueNow()) {
    const std::vector<std::size_t> large = checks_.post(
        runner_,
        [this](std::size_t index, EntryCheck&& found) { onChecked(index, std::move(found)); },
        [this](std::size_t index) { return plan_.abandoned(index); });
    for (const std::size_t index : large) {
      // The index header of a target large enough is asked for while it is hashed.
      route_.probe(index, requests_[index].path, requests_[index].digest);
    }
  }
}

void StagingRun::onChecked(std::size_t index, EntryCheck&& found) {
  route_.checked(index);
  const StageRequest& entry = requests_[index];
  if (plan_.abandoned(index)) {
    return;
  }
  const bool outOfDate = !found.error && !found.targetMatches && found.refusal.empty();
  if (plan_.startedEarly(index) && !outOfDate) {
    dropEarly(index, found.targetMatches);
  }
  if (found.error) {
    fail(index, found.error);
  } else if (found.targetMatches) {
    settle(index, StageOutcome::kUpToDate);
  } else if (!found.refusal.empty()) {
    outcomes_.refused(index, std::move(found.refusal));
    settle(index, StageOutcome::kRefused);
  } else if (plan_.startedEarly(index)) {
    confirmEarly(index);
  } else if (!found.staged.digest.empty() && found.staged.digest == entry.digest) {
    // An empty digest text stands for "no regular file": it never matches.
    outcomes_.staged(index, found.staged.identity);
    settle(index, StageOutcome::kAlreadyStaged);
  } else {
    downloads_[index] = std::make_unique<FileDownload>(
        ProgressContext{entry.path, formats::pendingPathOf(entry.path), entry.currentFile,
                        totalFiles_},
        std::move(found.staged));
    route_.offer().foundOutOfDate();
    // A target that the publisher may have described takes its route, as a
    // large one does for its delta.
    const bool described = route_.offer().asksDescriptions() && !found.targetDigest.empty() &&
                           found.targetSize >= formats::kMinimumDescribedBytes &&
                           found.targetSize <= formats::kMaximumPatchedBytes;
    // A new file (or one whose target is no regular file) asks what the
    // publisher has for it, alone or from the release description, when the
    // offer says so (PublisherOffer::newFileRoute).
    const std::optional<std::int64_t> newFile =
        found.targetDigest.empty() ? route_.offer().newFileRoute(entry.digest) : std::nullopt;
    if (described || newFile) {
      described_[index] = {std::move(found.targetDigest), newFile ? 0 : found.targetSize};
    }
    const bool routed = described || found.targetSize >= delta::kMinimumIndexedBytes;
    plan_.queue(index, newFile ? *newFile : routed ? found.targetSize : 0);
  }
}

void StagingRun::startTransfers() {
  // Each turn asks afresh: a start that fails at once may end later requests.
  while (runner_.hasRoom()) {
    const auto start =
        plan_.next(now_, [this](std::size_t index) { return route_.rangeDue(index); });
    if (!start) {
      return;
    }
    if (start->step == StagingStep::kRanges) {
      route_.startRange(start->entry);
    } else if (start->step == StagingStep::kApply) {
      route_.apply(start->entry);
    } else {
      attempt(*start);
    }
    takeRouteEvents();
  }
}

void StagingRun::attempt(const StagingPlan::Start& start) {
  const std::size_t index = start.entry;
  FileDownload& item = *downloads_[index];
  try {
    // Each attempt reaches the directory anew by the link rule, and acts only
    // through the descriptor it got: a directory swapped for another user's
    // link since the check (during a retry pause, say) refuses the entry.
    ReachedEntry reached = openEntryFiles(requests_[index].path);
    if (!reached.files) {
      item.stop();
      outcomes_.refused(index, std::move(reached.refusal));
      settle(index, StageOutcome::kRefused);
      return;
    }
    DeltaRoute::Files files = attemptFiles(requests_[index], std::move(*reached.files));
    if (start.step == StagingStep::kIndex) {
      item.stop();
      auto target = described_.extract(index);
      route_.begin(index, std::move(files),
                   target ? std::optional(std::move(target.mapped())) : std::nullopt);
    } else {
      item.start(runner_, index, files, start.stopAt);
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
  if (end.result == Result::kFileFailed) {
    downloads_[index]->stop();
    fail(index, end.error);
    return;
  }
  const common::CurlError error(end.message, end.cause);
  attemptEnded(index, end.result == Result::kComplete ? nullptr : &error);
}

void StagingRun::attemptEnded(std::size_t index, const common::CurlError* failure) {
  const StagingPlan::Decision decision = plan_.transferEnded(index, failure == nullptr, now_);
  if (decision.step == StagingStep::kNone) {
    downloads_[index]->stop();  // the attempt that goes on hashes the file afresh
    return;
  }
  if (decision.step != StagingStep::kVerify) {
    downloads_[index]->stop();
    reporter_.report(*failure, decision.failures, decision.maxAttempts);
  }
  if (decision.step == StagingStep::kVerify || decision.step == StagingStep::kGiveUp) {
    downloads_[index]->verify(
        runner_, decision.step == StagingStep::kGiveUp,
        [this, index](Verification&& verification) { onVerified(index, std::move(verification)); });
  }
}

void StagingRun::onVerified(std::size_t index, Verification&& verification) {
  if (plan_.settled(index)) {
    return;  // an early download whose check ended it
  }
  if (plan_.startedEarly(index)) {
    early_[index].verified = std::move(verification);  // its check decides
    return;
  }
  FileDownload& item = *downloads_[index];
  item.stop();
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
        outcomes_.staged(index, item.identity(verification));
      } catch (const common::Error&) {
        // recovery point: the error ends the run when this request's turn comes
        fail(index, std::current_exception());
        return;
      }
      settle(index, StageOutcome::kDownloaded);
      return;
    case StagingStep::kRetry:
      removeStagedFile(requests_[index].path);
      outcomes_.cameWhole(index, "the file built by delta does not match the catalog");
      return;
    default:
      outcomes_.mismatched(index, std::move(verification.digest));
      settle(index, StageOutcome::kMismatch);
  }
}

void StagingRun::settle(std::size_t index, StageOutcome outcome) {
  route_.drop(index);
  described_.erase(index);
  // Nothing after the first failure will be taken: its downloads stop, keeping
  // what they received for the next run; but what an early start staged goes,
  // for no check will say whether its target needs it.
  for (const StagingPlan::Stopped& later : plan_.settle(index, outcome)) {
    dropEarly(later.entry, later.early);
  }
}

void StagingRun::fail(std::size_t index, std::exception_ptr error) {
  outcomes_.failed(index, std::move(error));
  settle(index, StageOutcome::kFailed);
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
    takeRouteEvents();
  }
  // Each step's events are handed over before the next step runs, as if told at once.
  for (const auto& step : runner_.takeDeliveredSteps()) {
    step();
    takeRouteEvents();
  }
}

}  // namespace updater
