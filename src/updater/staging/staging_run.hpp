#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/lane_width.hpp"
#include "http/connection_pool.hpp"
#include "updater/plan/staging_plan.hpp"
#include "updater/route/delta_route.hpp"
#include "updater/route/route_event.hpp"
#include "updater/staging/file_download.hpp"
#include "updater/staging/retry.hpp"
#include "updater/staging/staging.hpp"
#include "updater/staging/staging_check.hpp"
#include "updater/staging/staging_outcomes.hpp"
#include "updater/staging/transfer_runner.hpp"

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
             crypto::LaneWidth lanes, std::size_t maxInFlight, const std::string& catalogDigest);
  StagingRun(const StagingRun&) = delete;
  StagingRun& operator=(const StagingRun&) = delete;

  // Runs until every outcome is taken; returns the staged files in request
  // order and the number of refused entries. Throws ExitRequest(255) after a
  // mismatch report, or the error that ended the first failing request.
  StagingResult run();

 private:
  using Verification = FileDownload::Verification;

  bool checksDueNow() const;
  void submitChecks();
  void onChecked(std::size_t index, EntryCheck&& found);
  // Hands each event that the route returned to the plan, and does what it decides.
  void takeRouteEvents();
  // A plan made while its entry is still checked: the plan decides whether it
  // starts now, and then it takes the staged file (claimEarly).
  void plannedEarly(std::size_t index, const RouteEvent::Planned& planned);
  // The files of an early start, when its staged file may be taken: then it is.
  std::optional<DeltaRoute::Files> claimEarly(std::size_t index);
  // Its check found the target out of date: what it came to is told now.
  void confirmEarly(std::size_t index);
  // Its check found otherwise, or it is abandoned: what runs of it stops, and
  // with `removeStaged` the staged file it made goes.
  void dropEarly(std::size_t index, bool removeStaged);
  void startTransfers();
  void attempt(const StagingPlan::Start& start);
  void transferEnded(http::DownloadSet::Finished& end);
  // `failure` is what ended the attempt short; nothing for a complete one.
  void attemptEnded(std::size_t index, const common::CurlError* failure);
  void onVerified(std::size_t index, Verification&& verification);
  void settle(std::size_t index, StageOutcome outcome);
  void fail(std::size_t index, std::exception_ptr error);
  void waitForProgress();

  const std::vector<StageRequest>& requests_;  // read by the workers too
  FailureReporter& reporter_;
  const std::int64_t totalFiles_;
  std::vector<std::unique_ptr<FileDownload>> downloads_;  // by request, while they download
  StagingPlan plan_;
  StagingOutcomes outcomes_;
  EntryChecks checks_;
  // Whole downloads started before their checks ended: why they came whole,
  // told once a check confirms them, and their verifications once they have one.
  struct EarlyDownload {
    std::string reason;
    std::optional<Verification> verified;
  };
  std::map<std::size_t, EarlyDownload> early_;
  // The out-of-date targets whose routes ask what the publisher has for their
  // new versions, until their routes begin.
  std::map<std::size_t, DeltaRoute::Target> described_;
  std::int64_t now_ = 0;  // monotonic milliseconds, read after each wait
  // Last, so that their work stops before anything it uses goes away.
  TransferRunner runner_;
  DeltaRoute route_;
};

}  // namespace updater
