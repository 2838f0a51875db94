#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace updater {

// How staging one entry ended.
enum class StageOutcome {
  kUpToDate,       // the target has the catalog digest already
  kAlreadyStaged,  // a complete staged file was there from an earlier run
  kDownloaded,     // downloaded (or resumed) and verified
  kRefused,        // its directory may not be written; the others go on
  kMismatch,       // the staged file's digest differs from the catalog's
  kFailed,         // an error that ends the run
};

// What the entries of a staging run came to, taken strictly in entry order,
// however the work behind them finished: an outcome is taken once every entry
// before it has been, and the first failure in entry order is the last outcome
// ever taken. Pure bookkeeping, no I/O.
class StagingLedger {
 public:
  explicit StagingLedger(std::size_t entries);

  // Records the outcome of entry `index`, once. Returns false, recording
  // nothing, when an earlier entry has failed: `index` is abandoned.
  bool settle(std::size_t index, StageOutcome outcome);

  // True when an earlier entry has failed, so that the work for `index` may stop.
  bool abandoned(std::size_t index) const { return index > firstFailure_; }

  // The entries whose outcomes can be taken now, in order, each given once.
  std::vector<std::size_t> takeReady();

  StageOutcome outcome(std::size_t index) const;

  // True once every outcome that will ever be taken has been.
  bool finished() const;

 private:
  std::vector<std::optional<StageOutcome>> outcomes_;
  std::size_t taken_ = 0;
  std::size_t firstFailure_;  // past the end while nothing has failed
};

}  // namespace updater
