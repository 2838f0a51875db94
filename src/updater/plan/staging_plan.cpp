#include "updater/plan/staging_plan.hpp"

#include <algorithm>

#include "common/errors.hpp"

namespace updater {

StagingPlan::StagingPlan(std::size_t entries, std::int64_t maxAttempts,
                         std::int64_t pauseMilliseconds)
    : maxAttempts_(maxAttempts),
      pauseMilliseconds_(pauseMilliseconds),
      entries_(entries),
      ledger_(entries) {}

void StagingPlan::queue(std::size_t entry, std::int64_t deltaBytes) {
  entries_[entry].deltaBytes = deltaBytes;
  requeue(entry, deltaBytes > 0 ? Stage::kQueuedForDelta : Stage::kQueued);
}

std::optional<StagingPlan::Start> StagingPlan::next(
    std::int64_t now, const std::function<bool(std::size_t)>& rangeDue) {
  if (const auto due = retries_.takeDue(now)) {
    // A retry goes first, but an entry before it, checked while it paused,
    // takes its turn: its outcome is taken first, and the retry waits a pause
    // more, so a failing server still sees one attempt at a time.
    if (const auto older = takeQueued(*due)) {
      retries_.paused(*due, now + pauseMilliseconds_);
      return begin(*older);
    }
    return begin(*due);
  }
  // The routes under way come next: their entries started before any queued.
  const Held holding = held();
  for (const auto& [entry, bytes] : underway_) {
    Stage& stage = entries_[entry].stage;
    if (stage == Stage::kAwaitingRoom && roomFor(holding, bytes)) {
      stage = Stage::kApplying;
      return Start{entry, StagingStep::kApply};
    }
    if ((stage == Stage::kBuilding || stage == Stage::kEarlyBuilding) && rangeDue(entry)) {
      return Start{entry, StagingStep::kRanges};
    }
  }
  if (retries_.opensNewStarts()) {
    if (const std::optional<std::size_t> queued = takeQueued(entries_.size())) {
      return begin(*queued);
    }
  }
  // Last, so that the patches of the entries that start now share its request.
  for (const auto& [entry, bytes] : underway_) {
    if (entries_[entry].stage == Stage::kApplying && rangeDue(entry)) {
      return Start{entry, StagingStep::kRanges};
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> StagingPlan::takeQueued(std::size_t before) {
  // A delta waits for a free place, while the entries behind it go on.
  const auto end = queue_.lower_bound(before);
  const Held holding = held();
  const auto found = std::find_if(queue_.begin(), end, [&](std::size_t queued) {
    const Entry& item = entries_[queued];
    return item.stage != Stage::kQueuedForDelta || roomFor(holding, item.deltaBytes);
  });
  if (found == end) {
    return std::nullopt;
  }
  const std::size_t entry = *found;
  queue_.erase(found);
  return entry;
}

StagingPlan::Held StagingPlan::held() const {
  Held held;
  for (const auto& [entry, bytes] : underway_) {
    if (entries_[entry].stage != Stage::kAwaitingRoom) {
      ++held.routes;
      held.bytes += bytes;
    }
  }
  return held;
}

bool StagingPlan::roomFor(const Held& held, std::int64_t deltaBytes) {
  return held.routes < kMaxDeltasUnderway ||
         (held.routes < kMaxSmallDeltasUnderway && held.bytes + deltaBytes <= kSmallDeltasBytes);
}

StagingPlan::Start StagingPlan::begin(std::size_t entry) {
  Entry& item = entries_[entry];
  switch (item.stage) {
    case Stage::kQueuedForDelta:
      item.stage = Stage::kIndex;
      underway_.emplace(entry, item.deltaBytes);
      return {entry, StagingStep::kIndex};
    case Stage::kEarlyPaused:
      item.stage = Stage::kEarlyWhole;
      return {entry, StagingStep::kWhole, kEarlyWholeBytes};
    case Stage::kQueuedAfterBuild:
    case Stage::kPausedAfterBuild:
      item.stage = Stage::kWholeAfterBuild;
      return {entry, StagingStep::kWhole};
    case Stage::kQueued:
    case Stage::kPaused:
      item.stage = Stage::kWhole;
      return {entry, StagingStep::kWhole};
    default:
      common::failCheck(__FILE__, __LINE__, "waiting", "an entry started that was not waiting");
  }
}

StagingPlan::Decision StagingPlan::transferEnded(std::size_t entry, bool complete,
                                                 std::int64_t now) {
  Entry& item = entries_[entry];
  const Stage running = item.stage;
  TOLVEX_CHECK(running == Stage::kWhole || running == Stage::kWholeAfterBuild ||
                   running == Stage::kEarlyWhole || running == Stage::kCappedWhole,
               "a download ended that was not running");
  const bool afterBuild = running == Stage::kWholeAfterBuild;
  const bool early = running == Stage::kEarlyWhole;
  if (complete && (early || running == Stage::kCappedWhole)) {
    // Complete as far as it may go unconfirmed, the file perhaps whole.
    retries_.recovered(entry);
    if (early) {
      item.stage = Stage::kEarlyHeld;
    } else {
      requeue(entry);
    }
    return {StagingStep::kNone};
  }
  const Stage verifying = afterBuild ? Stage::kVerifyingBuilt
                          : early    ? Stage::kEarlyVerifying
                                     : Stage::kVerifying;
  if (complete) {
    retries_.recovered(entry);
    item.stage = verifying;
    return {StagingStep::kVerify};
  }
  ++item.failures;
  if (item.failures >= maxAttempts_) {
    // Given up on: the staged file's digest decides, as for a complete one.
    item.stage = verifying;
    return {StagingStep::kGiveUp, item.failures, maxAttempts_};
  }
  item.stage = afterBuild ? Stage::kPausedAfterBuild : early ? Stage::kEarlyPaused : Stage::kPaused;
  retries_.paused(entry, now + pauseMilliseconds_);
  return {StagingStep::kPause, item.failures, maxAttempts_};
}

void StagingPlan::building(std::size_t entry) {
  Stage& stage = entries_[entry].stage;
  // Also a delta after its patch failed.
  if (stage == Stage::kIndex || stage == Stage::kApplying) {
    stage = Stage::kBuilding;
  }
}

void StagingPlan::applying(std::size_t entry, std::int64_t bytes) {
  Stage& stage = entries_[entry].stage;
  TOLVEX_CHECK(stage == Stage::kIndex || stage == Stage::kBuilding || stage == Stage::kApplying,
               "a patch or copy chosen off its route");
  stage = Stage::kAwaitingRoom;
  underway_.insert_or_assign(entry, bytes);
}

std::optional<StagingPlan::Start> StagingPlan::plannedEarly(std::size_t entry,
                                                            const EarlyPlan& plan) {
  Entry& item = entries_[entry];
  if (item.stage != Stage::kChecking || abandoned(entry) || !retries_.opensNewStarts()) {
    return std::nullopt;
  }
  if (plan.pays) {
    if (!roomFor(held(), plan.oldBytes)) {
      return std::nullopt;
    }
    item.stage = Stage::kEarlyBuilding;
    item.deltaBytes = plan.oldBytes;
    underway_.emplace(entry, plan.oldBytes);
    return Start{entry, StagingStep::kBuild};
  }
  if (!plan.transferRoom) {
    return std::nullopt;
  }
  item.stage = Stage::kEarlyWhole;
  return Start{entry, StagingStep::kWhole, kEarlyWholeBytes};
}

void StagingPlan::notStartedEarly(std::size_t entry) {
  underway_.erase(entry);
  entries_[entry].stage = Stage::kChecking;
}

bool StagingPlan::startedEarly(std::size_t entry) const {
  switch (entries_[entry].stage) {
    case Stage::kEarlyBuilding:
    case Stage::kEarlyWhole:
    case Stage::kEarlyHeld:
    case Stage::kEarlyPaused:
    case Stage::kEarlyVerifying:
      return true;
    default:
      return false;
  }
}

void StagingPlan::confirmEarly(std::size_t entry) {
  Stage& stage = entries_[entry].stage;
  switch (stage) {
    case Stage::kEarlyBuilding:
      stage = Stage::kBuilding;
      return;
    case Stage::kEarlyWhole:
      stage = Stage::kCappedWhole;
      return;
    case Stage::kEarlyHeld:
      requeue(entry);
      return;
    case Stage::kEarlyPaused:
      stage = Stage::kPaused;
      return;
    case Stage::kEarlyVerifying:
      stage = Stage::kVerifying;
      return;
    default:
      common::failCheck(__FILE__, __LINE__, "started early",
                        "an entry confirmed that had not started early");
  }
}

void StagingPlan::fellBack(std::size_t entry) {
  underway_.erase(entry);
  // A build that began may have left a prefix that the whole download resumes.
  const Stage stage = entries_[entry].stage;
  requeue(entry, stage == Stage::kBuilding || stage == Stage::kApplying ? Stage::kQueuedAfterBuild
                                                                        : Stage::kQueued);
}

void StagingPlan::built(std::size_t entry) {
  underway_.erase(entry);
  entries_[entry].stage = Stage::kVerifyingBuilt;
}

StagingStep StagingPlan::verified(std::size_t entry, bool matches) {
  if (matches) {
    return StagingStep::kCommit;
  }
  if (entries_[entry].stage == Stage::kVerifyingBuilt) {
    // The index, or the prefix it left, was wrong: it cost bytes, never a file.
    requeue(entry);
    return StagingStep::kRetry;
  }
  return StagingStep::kReject;
}

void StagingPlan::requeue(std::size_t entry, Stage queued) {
  entries_[entry].stage = queued;
  queue_.insert(entry);
}

std::vector<StagingPlan::Stopped> StagingPlan::settle(std::size_t entry, StageOutcome outcome) {
  retries_.recovered(entry);
  underway_.erase(entry);
  entries_[entry].stage = Stage::kDone;
  ledger_.settle(entry, outcome);
  std::vector<Stopped> stopped;
  if (outcome != StageOutcome::kMismatch && outcome != StageOutcome::kFailed) {
    return stopped;
  }
  // Nothing after the first failure will be taken: what runs of it stops.
  for (std::size_t later = entry + 1; later < entries_.size() && abandoned(later); ++later) {
    Entry& item = entries_[later];
    retries_.recovered(later);
    const bool early = startedEarly(later);
    // An early start goes with what it staged, in whatever stage it is.
    if (early || item.stage == Stage::kIndex || item.stage == Stage::kBuilding ||
        item.stage == Stage::kAwaitingRoom || item.stage == Stage::kApplying ||
        item.stage == Stage::kWhole || item.stage == Stage::kWholeAfterBuild ||
        item.stage == Stage::kCappedWhole) {
      underway_.erase(later);
      item.stage = Stage::kDone;
      stopped.push_back({later, early});
    }
  }
  queue_.erase(queue_.upper_bound(entry), queue_.end());
  return stopped;
}

}  // namespace updater
