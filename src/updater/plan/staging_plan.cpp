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
  entries_[entry].state = State::kQueued;
  entries_[entry].triesDelta = deltaBytes > 0;
  entries_[entry].deltaBytes = deltaBytes;
  queue_.insert(entry);
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
  // The ranges of a delta come next: their entry started before any queued.
  for (const auto& [entry, bytes] : underway_) {
    if (entries_[entry].state == State::kDelta && rangeDue(entry)) {
      return Start{entry, StagingStep::kRanges};
    }
  }
  if (!retries_.opensNewStarts()) {
    return std::nullopt;
  }
  const std::optional<std::size_t> queued = takeQueued(entries_.size());
  return queued ? std::optional(begin(*queued)) : std::nullopt;
}

std::optional<std::size_t> StagingPlan::takeQueued(std::size_t before) {
  // A delta waits for a free place, while the entries behind it go on.
  const auto end = queue_.lower_bound(before);
  const std::int64_t underwayBytes = bytesUnderway();
  const auto found = std::find_if(queue_.begin(), end, [&](std::size_t queued) {
    const Entry& item = entries_[queued];
    return !item.triesDelta || roomForDelta(item.deltaBytes, underwayBytes);
  });
  if (found == end) {
    return std::nullopt;
  }
  const std::size_t entry = *found;
  queue_.erase(found);
  return entry;
}

std::int64_t StagingPlan::bytesUnderway() const {
  std::int64_t underwayBytes = 0;
  for (const auto& [entry, bytes] : underway_) {
    underwayBytes += bytes;
  }
  return underwayBytes;
}

bool StagingPlan::roomForDelta(std::int64_t deltaBytes, std::int64_t underwayBytes) const {
  return underway_.size() < kMaxDeltasUnderway || (underway_.size() < kMaxSmallDeltasUnderway &&
                                                   underwayBytes + deltaBytes <= kSmallDeltasBytes);
}

StagingPlan::Start StagingPlan::begin(std::size_t entry) {
  Entry& item = entries_[entry];
  if (item.triesDelta) {
    item.triesDelta = false;
    item.state = State::kIndex;
    underway_.emplace(entry, item.deltaBytes);
    return {entry, StagingStep::kIndex};
  }
  return whole(entry);
}

StagingPlan::Start StagingPlan::whole(std::size_t entry) {
  Entry& item = entries_[entry];
  if (item.early) {
    item.state = State::kEarlyWhole;
    return {entry, StagingStep::kWhole, kEarlyWholeBytes};
  }
  item.state = State::kWhole;
  return {entry, StagingStep::kWhole};
}

StagingPlan::Decision StagingPlan::transferEnded(std::size_t entry, bool complete,
                                                 std::int64_t now) {
  Entry& item = entries_[entry];
  TOLVEX_CHECK(item.state == State::kWhole || item.state == State::kEarlyWhole,
               "a download ended that was not running");
  if (complete && item.state == State::kEarlyWhole) {
    // Complete as far as it may go unconfirmed, the file perhaps whole.
    retries_.recovered(entry);
    if (item.early) {
      item.state = State::kHeld;
    } else {
      requeue(entry);
    }
    return {StagingStep::kNone};
  }
  if (complete) {
    retries_.recovered(entry);
    item.state = State::kVerifying;
    return {StagingStep::kVerify};
  }
  ++item.failures;
  if (item.failures >= maxAttempts_) {
    // Given up on: the staged file's digest decides, as for a complete one.
    item.state = State::kVerifying;
    return {StagingStep::kGiveUp, item.failures, maxAttempts_};
  }
  item.state = State::kPaused;
  retries_.paused(entry, now + pauseMilliseconds_);
  return {StagingStep::kPause, item.failures, maxAttempts_};
}

void StagingPlan::building(std::size_t entry) {
  entries_[entry].state = State::kDelta;
  entries_[entry].deltaWrote = true;
}

bool StagingPlan::mayStartEarly(std::size_t entry, std::int64_t deltaBytes) const {
  return entries_[entry].state == State::kChecking && !abandoned(entry) &&
         retries_.opensNewStarts() &&
         (deltaBytes == 0 || roomForDelta(deltaBytes, bytesUnderway()));
}

void StagingPlan::buildEarly(std::size_t entry, std::int64_t deltaBytes) {
  Entry& item = entries_[entry];
  item.early = true;
  item.deltaBytes = deltaBytes;
  underway_.emplace(entry, deltaBytes);
  building(entry);
}

StagingPlan::Start StagingPlan::downloadEarly(std::size_t entry) {
  entries_[entry].early = true;
  return whole(entry);
}

void StagingPlan::downloadLater(std::size_t entry) {
  entries_[entry].early = false;
  entries_[entry].state = State::kChecking;
}

void StagingPlan::confirmEarly(std::size_t entry) {
  entries_[entry].early = false;
  if (entries_[entry].state == State::kHeld) {
    requeue(entry);
  }
}

void StagingPlan::fellBack(std::size_t entry) {
  underway_.erase(entry);
  requeue(entry);
}

void StagingPlan::built(std::size_t entry) {
  underway_.erase(entry);
  entries_[entry].state = State::kVerifying;
}

StagingStep StagingPlan::verified(std::size_t entry, bool matches) {
  Entry& item = entries_[entry];
  if (matches) {
    return StagingStep::kCommit;
  }
  if (item.deltaWrote && !item.restartedWhole) {
    // The index, or the prefix it left, was wrong: it cost bytes, never a file.
    item.restartedWhole = true;
    requeue(entry);
    return StagingStep::kRetry;
  }
  return StagingStep::kReject;
}

void StagingPlan::requeue(std::size_t entry) {
  entries_[entry].state = State::kQueued;
  queue_.insert(entry);
}

std::vector<std::size_t> StagingPlan::settle(std::size_t entry, StageOutcome outcome) {
  retries_.recovered(entry);
  underway_.erase(entry);
  entries_[entry].state = State::kDone;
  ledger_.settle(entry, outcome);
  std::vector<std::size_t> stopped;
  if (outcome != StageOutcome::kMismatch && outcome != StageOutcome::kFailed) {
    return stopped;
  }
  // Nothing after the first failure will be taken: what runs of it stops.
  for (std::size_t later = entry + 1; later < entries_.size() && abandoned(later); ++later) {
    Entry& item = entries_[later];
    retries_.recovered(later);
    if (item.state == State::kDone) {
      continue;
    }
    // An early start goes with what it staged, in whatever state it is.
    if (item.early || item.state == State::kIndex || item.state == State::kDelta ||
        item.state == State::kWhole || item.state == State::kEarlyWhole) {
      underway_.erase(later);
      item.state = State::kDone;
      stopped.push_back(later);
    }
  }
  queue_.erase(queue_.upper_bound(entry), queue_.end());
  return stopped;
}

}  // namespace updater
