#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/sha3_batch.hpp"
#include "http/connection_pool.hpp"
#include "updater/delta_route.hpp"
#include "updater/progress.hpp"
#include "updater/retry.hpp"
#include "updater/staging.hpp"
#include "updater/staging_check.hpp"
#include "updater/staging_plan.hpp"
#include "updater/streaming_digest.hpp"
#include "updater/transfer_runner.hpp"

namespace updater {

// The loop behind stageFiles: it starts what its StagingPlan asks for through a
// TransferRunner (downloads on this thread, checks and digests on workers) and
// feeds each outcome back to the plan, which decides what comes of it. Outcomes
// are taken in request order: that is where lines are printed, staged paths
// are listed, and the first failure ends the run. A download is hashed as its
// bytes arrive, so no staged file is read back once it is complete. A large
// file whose old copy is here is first tried by its DeltaRoute.
class StagingRun {
 public:
  StagingRun(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
             std::int64_t totalFiles, bool verbose, FailureReporter& reporter,
             crypto::Sha3Lanes lanes, std::size_t maxInFlight);
  StagingRun(const StagingRun&) = delete;
  StagingRun& operator=(const StagingRun&) = delete;

  // Runs until every outcome is taken; returns the staged files in request
  // order and the number of refused entries. Throws ExitRequest(255) after a
  // mismatch report, or the error that ended the first failing request.
  StagingResult run();

 private:
  // What an entry that downloads needs; up-to-date entries never get one.
  struct Download {
    ProgressContext context;
    std::unique_ptr<StreamingDigest> digest;  // of the running attempt
    StagedDigest checked;                     // the staged file as the check read it
    std::string stagedDigest;                 // for the mismatch report
    std::int64_t reusedBytes = -1;            // of a delta that made the staged file
    std::int64_t fetchedBytes = 0;
    std::string wholeReason;  // why a delta gave way to the whole download
  };
  // A digest text and the file it was read from, or the error that kept it from
  // being computed. A delta build hashes what it writes, not a file it reads.
  struct Verification {
    std::string digest;
    std::exception_ptr error;
    std::optional<common::FileIdentity> identity = std::nullopt;
  };

  bool checksDueNow() const;
  void submitChecks();
  void onChecked(std::size_t index, EntryCheck&& found);
  void startTransfers();
  void attempt(std::size_t index, StagingStep step);
  void transferEnded(http::DownloadSet::Finished& end);
  // `failure` is what ended the attempt short; nothing for a complete one.
  void attemptEnded(std::size_t index, const common::CurlError* failure);
  // kVerify: the streamed digest; kGiveUp: the staged file read back.
  void verify(std::size_t index, StagingStep how);
  void onVerified(std::size_t index, Verification&& verification);
  void settle(std::size_t index, StageOutcome outcome);
  void fail(std::size_t index, std::exception_ptr error);
  void commitSettled();
  void waitForProgress();
  // Says once that work meant for several threads runs on one.
  void warnThreadsRanOut();

  const std::vector<StageRequest>& requests_;  // read by the workers too
  const bool verbose_;
  FailureReporter& reporter_;
  const crypto::Sha3Lanes lanes_;
  const std::size_t maxInFlight_;
  const std::int64_t totalFiles_;
  std::vector<std::unique_ptr<Download>> downloads_;  // by request
  std::map<std::size_t, std::exception_ptr> errors_;  // of the requests that failed
  std::map<std::size_t, std::string> refusals_;       // of the requests refused
  // Of the requests whose staged files matched, until their outcomes are taken.
  std::map<std::size_t, common::FileIdentity> verified_;
  StagingPlan plan_;
  StagingResult result_;
  std::size_t nextCheck_ = 0;
  std::int64_t now_ = 0;  // monotonic milliseconds, read after each wait
  bool warnedThreads_ = false;
  // Last, so that their work stops before anything it uses goes away.
  TransferRunner runner_;
  DeltaRoute route_;
};

}  // namespace updater
