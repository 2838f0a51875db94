#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/ordered_pool.hpp"
#include "http/resumable_download.hpp"
#include "updater/progress.hpp"
#include "updater/retry.hpp"
#include "updater/staging.hpp"
#include "updater/staging_ledger.hpp"

namespace updater {

// The event loop behind stageFiles. Digest jobs run on worker threads and hand
// their results back in request order; downloads run through one DownloadSet on
// the calling thread; a paused download waits for its deadline while the others
// go on. Each request ends with an outcome in a StagingLedger, which gives them
// back strictly in request order: that is where lines are printed, staged paths
// are listed, and the first failure ends the run.
class StagingRun {
 public:
  StagingRun(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
             std::int64_t totalFiles, bool verbose, std::size_t maxInFlight);
  StagingRun(const StagingRun&) = delete;
  StagingRun& operator=(const StagingRun&) = delete;

  // Runs until every request has been committed; returns the staged paths in
  // request order. Throws ExitRequest(255) after a mismatch report, or the
  // error that ended the first failing request.
  std::vector<std::string> run();

 private:
  enum class Phase { kChecking, kQueued, kRunning, kPaused, kVerifying, kDone };

  // The state of one request, at the same index.
  struct Item {
    ProgressContext context;
    Phase phase = Phase::kChecking;
    RetryBudget attempts;
    std::int64_t retryAt = 0;  // monotonic milliseconds, while paused
    std::string stagedDigest;  // for the mismatch report
    std::exception_ptr error;  // the error that ends the run, raised in its turn
  };

  // What a digest job found: whether the target already has the catalog digest,
  // and the digest text of the staged file (when the target does not).
  struct Digests {
    bool targetMatches = false;
    std::string staged;
    std::exception_ptr error;
  };

  // Runs on a worker thread; `request` null hashes the staged file only.
  static Digests digestsOf(const StageRequest* request, const std::string& pendingPath);

  // The end of the batch of up-to-date checks that starts at `first`.
  std::size_t checkBatchEnd(std::size_t first) const;
  void submitChecks();
  void onChecked(std::size_t index, Digests&& digests);
  void startTransfers();
  void attempt(std::size_t index);
  void attemptEnded(const http::DownloadSet::Finished& end);
  void transferFailed(std::size_t index, std::string_view message);
  void verify(std::size_t index);
  void onVerified(std::size_t index, Digests&& digests);
  void settle(std::size_t index, StageOutcome outcome);
  void fail(std::size_t index, std::exception_ptr error);
  void stopAfter(std::size_t index);
  void commitSettled();
  void waitForProgress();
  bool checksDueNow() const;
  std::optional<std::size_t> dueRetry() const;
  std::optional<std::int64_t> earliestRetry() const;
  bool abandoned(std::size_t index) const { return ledger_.abandoned(index); }
  const StageRequest& request(std::size_t index) const { return requests_[index]; }

  const std::vector<StageRequest>& requests_;  // read by the workers too
  const bool verbose_;
  const std::size_t maxInFlight_;
  const std::size_t workers_;
  std::vector<Item> items_;
  StagingLedger ledger_;
  std::vector<std::string> staged_;
  std::size_t nextCheck_ = 0;
  std::deque<std::size_t> queue_;  // waiting for a free transfer, in request order
  std::set<std::size_t> paused_;   // waiting for their retry deadline
  std::int64_t now_ = 0;           // monotonic milliseconds, read after each wait
  // Set while the loop waits on the network, so that a finished digest job
  // wakes it; no job pays for a wake-up that nobody waits for.
  std::atomic<bool> wakeOnResult_{false};
  http::DownloadSet downloads_;
  // Last, so that its workers are joined before anything they use goes away.
  common::OrderedPool<std::vector<Digests>> pool_;
};

}  // namespace updater
