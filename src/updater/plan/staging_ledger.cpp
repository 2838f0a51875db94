#include "updater/plan/staging_ledger.hpp"

#include "common/errors.hpp"

namespace updater {
namespace {

bool isFailure(StageOutcome outcome) {
  return outcome == StageOutcome::kMismatch || outcome == StageOutcome::kFailed;
}

}  // namespace

StagingLedger::StagingLedger(std::size_t entries) : outcomes_(entries), firstFailure_(entries) {}

bool StagingLedger::settle(std::size_t index, StageOutcome outcome) {
  TOLVEX_CHECK(index < outcomes_.size(), "no such entry");
  TOLVEX_CHECK(!outcomes_[index].has_value(), "an entry is settled twice");
  if (abandoned(index)) {
    return false;
  }
  outcomes_[index] = outcome;
  if (isFailure(outcome)) {
    firstFailure_ = index;
  }
  return true;
}

std::vector<std::size_t> StagingLedger::takeReady() {
  std::vector<std::size_t> ready;
  while (!finished() && outcomes_[taken_].has_value()) {
    ready.push_back(taken_++);
  }
  return ready;
}

StageOutcome StagingLedger::outcome(std::size_t index) const {
  TOLVEX_CHECK(index < outcomes_.size() && outcomes_[index].has_value(), "entry not settled");
  return *outcomes_[index];
}

bool StagingLedger::finished() const {
  return taken_ == outcomes_.size() || taken_ > firstFailure_;
}

}  // namespace updater
