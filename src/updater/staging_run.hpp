#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/work_queue.hpp"
#include "delta/delta_plan.hpp"
#include "http/resumable_download.hpp"
#include "updater/delta_build.hpp"
#include "updater/progress.hpp"
#include "updater/retry.hpp"
#include "updater/staging.hpp"
#include "updater/staging_ledger.hpp"
#include "updater/streaming_digest.hpp"

namespace updater {

// The event loop behind stageFiles: it drives the downloads of one DownloadSet
// on the calling thread and runs the digests on worker threads, while a
// StagingLedger decides which outcomes are taken, in request order: that is where
// lines are printed, staged paths are listed, and the first failure ends the run.
// A download is hashed as its bytes arrive, so no staged file is read back once
// it is complete; a paused download waits for its deadline while the others go on.
// A large file whose old copy is here is first tried as a delta: its block
// index is fetched and the staged file built from the old copy and ranges; any
// failure of that path falls back to the whole download, and a delta whose
// digest does not match is downloaded whole once more before it counts.
class StagingRun {
 public:
  StagingRun(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
             std::int64_t totalFiles, bool verbose, FailureReporter& reporter,
             crypto::Sha3Lanes lanes, std::size_t maxInFlight);
  StagingRun(const StagingRun&) = delete;
  StagingRun& operator=(const StagingRun&) = delete;

  // Runs until the ledger is finished; returns the staged files in request
  // order and the number of refused entries. Throws ExitRequest(255) after a
  // mismatch report, or the error that ended the first failing request.
  StagingResult run();

 private:
  enum class Phase { kChecking, kQueued, kRunning, kPaused, kVerifying, kDone };

  // A target at least this large takes longer to hash than a round trip takes:
  // while it is hashed, its index's header is asked for, and a file size that
  // differs from the target's starts the fetch of the whole index. The header
  // is not signed, so only the digest decides whether the target is out of date.
  static constexpr std::int64_t kProbedTargetBytes = std::int64_t{64} << 20;

  // How a request that downloads gets its file.
  enum class Route { kWhole, kIndex, kDelta };

  // What one transfer under way fetches, and for which request: each has an id
  // of its own in downloads_, so an ending transfer says what it was.
  struct Transfer {
    enum class Kind {
      kFile,      // the staged file, whole or resumed
      kIndex,     // the block index its delta route waits for
      kProbe,     // an index header asked for while a large target is hashed
      kPrefetch,  // an index asked for early, on what a probe found
      kRange,     // bytes of a delta build, from `first`
    };
    Kind kind = Kind::kFile;
    std::size_t request = 0;
    std::int64_t first = 0;
  };

  // What a request that downloads needs; up-to-date requests never get one.
  struct Download {
    ProgressContext context;
    RetryBudget attempts;
    // Of the running attempt, formed from one reading of the descriptor, which
    // may be edited between attempts: the file (whole or its ranges), its index.
    common::Uri url;
    common::Uri indexUrl;
    std::unique_ptr<StreamingDigest> digest;  // of the running attempt
    StagedDigest checked;                     // the staged file as the check read it
    std::string stagedDigest;                 // for the mismatch report
    std::int64_t targetSize = 0;              // of the old copy, when there is one
    Route route = Route::kWhole;
    bool deltaTried = false;      // its index was asked for
    bool deltaWrote = false;      // a delta build wrote to its staged file
    bool restartedWhole = false;  // after a delta, the file is downloaded whole once
    bool deltaFailed = false;     // falls back once its running append has ended
    std::unique_ptr<DeltaBuild> delta;
    std::int64_t reusedBytes = -1;  // of a delta that made the staged file
    std::int64_t fetchedBytes = 0;
    std::string wholeReason;  // why a delta gave way to the whole download
  };

  // The state of one request, at the same index: small, for catalogs of many files.
  struct Item {
    Phase phase = Phase::kChecking;
    std::unique_ptr<Download> download;
  };

  // What a check found: whether the target has the catalog digest already,
  // and (when it does not) whether its directory may be written, and the digest
  // of the staged file.
  struct Check {
    bool targetMatches = false;
    std::int64_t targetSize = 0;  // of a regular target
    std::string refusal;          // why the target must not be written
    StagedDigest staged;
    std::exception_ptr error;
  };
  // `target` is the target's digest outcome, taken with the others of its batch.
  static Check check(const StageRequest& request, crypto::Sha3FileOutcome&& target);

  // A digest text and the file it was read from, or the error that kept it from
  // being computed. A delta build hashes what it writes, not a file it reads.
  struct Verification {
    std::string digest;
    std::exception_ptr error;
    std::optional<common::FileIdentity> identity = std::nullopt;
  };

  std::size_t checkBatchEnd(std::size_t first) const;
  void probeSize(std::size_t index);
  void probeEnded(std::size_t index, const http::DownloadSet::Finished& end);
  void endProbe(std::size_t index);
  void prefetchEnded(std::size_t index, http::DownloadSet::Finished& end);
  void dropPrefetch(std::size_t index);
  bool checksDueNow() const;
  void submitChecks();
  void onChecked(std::size_t index, Check&& found);
  void startTransfers();
  std::optional<std::size_t> takeQueued();
  void attempt(std::size_t index);
  void transferEnded(http::DownloadSet::Finished& end);
  void attemptEnded(std::size_t index, http::DownloadSet::Finished& end);
  // Starts a fetch into memory under a new id; throws CurlError when it cannot.
  void startFetch(const Transfer& transfer, const common::Uri& url,
                  std::optional<http::DownloadSet::ByteRange> range, std::size_t maxBytes);
  bool hasTransfer(std::size_t index, Transfer::Kind kind) const;
  void cancelTransfers(std::size_t index, std::initializer_list<Transfer::Kind> kinds);
  bool triesDelta(std::size_t index) const;
  // False for a request that would start a delta while the most run already.
  bool deltaMayStart(std::size_t index) const;
  void setRoute(std::size_t index, Route route);
  void fetchIndex(std::size_t index);
  void indexEnded(std::size_t index, http::DownloadSet::Finished& end);
  // `plan` is nothing when it could not be made, for the reason `failure`.
  void onPlanned(std::size_t index, std::optional<delta::DeltaPlan>&& plan,
                 const std::string& failure);
  bool startRangeFetch();
  void rangeEnded(const Transfer& range, http::DownloadSet::Finished& end);
  void appendDelta(std::size_t index);
  void onDeltaStep(std::size_t index, const DeltaBuild::Step& step);
  // Gives up the delta route of `index` for the whole download; `reason`, in
  // plain words, is what -v reports.
  void fallBackToWhole(std::size_t index, std::string reason);
  // The -v line of a settled download that tried a delta: the bytes it reused
  // and fetched, or why it came whole.
  void reportRoute(std::size_t index) const;
  void cancelRanges(std::size_t index);
  void requeueFirst(std::size_t index);
  void transferFailed(std::size_t index, const common::CurlError& error);
  void verifyStreamed(std::size_t index);
  void verifyByReading(std::size_t index);
  void onVerified(std::size_t index, Verification&& verification);
  void verified(std::size_t index, std::optional<common::FileIdentity> identity,
                StageOutcome outcome);
  void settle(std::size_t index, StageOutcome outcome);
  void fail(std::size_t index, std::exception_ptr error);
  void stopAfter(std::size_t index);
  void commitSettled();
  void waitForProgress();

  // Says once that work meant for several threads runs on one: no more
  // could start.
  void warnThreadsRanOut();
  // Runs `job` on a worker; the step it returns runs later on this thread.
  void postJob(std::function<std::function<void()>()> job);
  // Hands a step to this thread from any thread, and wakes the loop for it.
  void deliver(std::function<void()> step);
  void runDeliveredSteps();

  bool abandoned(std::size_t index) const { return ledger_.abandoned(index); }
  Download& download(std::size_t index);
  const StageRequest& request(std::size_t index) const { return requests_[index]; }

  const std::vector<StageRequest>& requests_;  // read by the workers too
  const bool verbose_;
  FailureReporter& reporter_;
  const crypto::Sha3Lanes lanes_;
  const std::size_t maxInFlight_;
  const std::int64_t totalFiles_;
  std::vector<Item> items_;
  std::map<std::size_t, std::exception_ptr> errors_;  // of the requests that failed
  std::map<std::size_t, std::string> refusals_;       // of the requests refused
  // Of the requests whose staged files matched, until their outcomes are taken.
  std::map<std::size_t, common::FileIdentity> verified_;
  StagingLedger ledger_;
  StagingResult result_;
  std::size_t nextCheck_ = 0;
  std::size_t jobsOutstanding_ = 0;  // posted or finishing, their steps not run yet
  std::deque<std::size_t> queue_;    // waiting for a free transfer, in request order
  RetryGate retries_;
  std::set<std::size_t> underway_;             // on a delta route: index, plan or build
  std::map<std::size_t, Transfer> transfers_;  // under way, by their ids in downloads_
  std::size_t nextTransferId_ = 0;
  // How the early index fetches that ended did, by request, kept until its
  // route asks for the index or it settles.
  std::map<std::size_t, http::DownloadSet::Finished> prefetched_;
  // Requests whose index is asked for, planned or built from. Each may hold a
  // window of ranges and a plan in memory, so few run at once, however many
  // large files changed.
  static constexpr std::size_t kMaxDeltasUnderway = 2;
  std::int64_t now_ = 0;  // monotonic milliseconds, read after each wait
  bool warnedThreads_ = false;
  std::mutex deliveredMutex_;
  std::vector<std::function<void()>> delivered_;
  http::DownloadSet downloads_;
  // Hashes the downloads on workers_, which it only refers to before they start.
  DigestLanes digestLanes_;
  // Last, so that its workers are joined before anything they use goes away.
  common::WorkQueue workers_;
};

}  // namespace updater
