#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "updater/plan/retry_gate.hpp"
#include "updater/plan/staging_ledger.hpp"

namespace updater {

// What the plan asks of the runner for one entry.
enum class StagingStep {
  kNone,    // nothing for now: another event moves it on
  kIndex,   // fetch its block index: its delta route begins
  kBuild,   // build its staged file from the plan its route made early
  kRanges,  // fetch the next range of its delta build
  kApply,   // fetch and apply the patch or copy its route chose
  kWhole,   // start (or resume) the whole download
  kPause,   // report the failed attempt; the entry retries after its pause
  kRetry,   // queued again, first: the whole download after a delta
  kVerify,  // take the digest of what the download wrote
  kGiveUp,  // report the last failed attempt; the staged file's digest decides
  kCommit,  // the staged file matches: settle it as downloaded
  kReject,  // the staged file does not match: settle it as a mismatch
};

// The decisions of a staging run, one small state per catalog entry: what
// starts next, and what each outcome of a transfer or a digest leads to. It
// owns the retry policy: while an entry waits out a retry pause, no new entry
// starts and only the oldest failing one retries, so a failing server costs
// about the attempts of one transfer. Pure bookkeeping: no I/O, no clock (the
// runner passes the time in), no threads.
class StagingPlan {
 public:
  // A start the runner is asked for.
  struct Start {
    std::size_t entry = 0;
    StagingStep step = StagingStep::kNone;              // kIndex, kRanges, kApply or kWhole
    std::optional<std::int64_t> stopAt = std::nullopt;  // kWhole: the most its staged file may hold
  };
  // What an ended transfer leads to, and for a report, the failures so far.
  struct Decision {
    StagingStep step = StagingStep::kNone;
    std::int64_t failures = 0;
    std::int64_t maxAttempts = 0;
  };

  // Routes (a delta's index, plan or build, a patch or a copy) that may be
  // under way at once: each may hold a window of ranges and a plan in memory,
  // both bounded by its file's size, or a patch or copy and its decoder's window.
  // Two of any size, or more of small files: those cost a round trip or two
  // each, and only many side by side keep the transfers busy; patches taken
  // from the bundle share a request of up to 64 ranges only when that many
  // are under way, and several such requests overlap only when several times
  // that many are (on the postgresql-15 tree at 50 ms: 16 took 5.9 s, 64
  // 3.0 s, 256 2.0 s). Their memory stays within kSmallDeltasBytes.
  static constexpr std::size_t kMaxDeltasUnderway = 2;
  static constexpr std::size_t kMaxSmallDeltasUnderway = 256;
  static constexpr std::int64_t kSmallDeltasBytes = std::int64_t{32} << 20;
  // What a whole download that starts before its check ends may fetch: the
  // header that starts it is not signed, and a target found up to date must
  // not cost its whole file; the rest comes once the check confirms the
  // target out of date (bench/README.md, the delta route's constants).
  static constexpr std::int64_t kEarlyWholeBytes = std::int64_t{4} << 20;

  // What a plan made while an entry is still checked showed.
  struct EarlyPlan {
    bool pays = false;          // its delta pays: else its file comes whole
    std::int64_t oldBytes = 0;  // the size of its old copy
    bool transferRoom = false;  // a transfer may start now
  };
  // A later entry that a failure stopped; `early` when it had started before
  // its check ended, so that what it staged is nobody's.
  struct Stopped {
    std::size_t entry = 0;
    bool early = false;
  };

  explicit StagingPlan(std::size_t entries, std::int64_t maxAttempts = kTransferAttempts,
                       std::int64_t pauseMilliseconds = kTransferDelaySeconds * 1000);

  // The check found `entry` out of date: it waits for a transfer, in entry
  // order. `deltaBytes`: the size of its old copy when that is large enough
  // for a delta, else 0.
  void queue(std::size_t entry, std::int64_t deltaBytes);

  // The next start, at monotonic time `now`: a due retry first (or in its
  // place an older queued entry, which is needed first), then a patch or copy
  // that has room or a range of a delta build for which `rangeDue` holds,
  // then the first queued entry that may start, and last the range of a patch
  // (rangeDue again), which the patches of the entries started before it join.
  // Nothing when none may.
  std::optional<Start> next(std::int64_t now, const std::function<bool(std::size_t)>& rangeDue);

  // The transfer of `entry`'s whole download ended, complete or failed (a
  // failure worth another attempt) at `now`: kVerify, kPause or kGiveUp; kNone
  // when it stopped where an early start must (it goes on once confirmed).
  Decision transferEnded(std::size_t entry, bool complete, std::int64_t now);
  // Its delta route made a plan and writes its staged file.
  void building(std::size_t entry);
  // Its route chose a patch or copy that holds `bytes` in memory: next() gives
  // kApply once they have room beside the routes under way, and it then
  // counts as building.
  void applying(std::size_t entry, std::int64_t bytes);
  // A plan made while `entry` is still checked showed `plan`: whether it
  // starts now, and then it has started. kBuild: its build from that plan, in
  // a delta's place; kWhole: its whole download, of the first
  // kEarlyWholeBytes only, when a transfer has room. Only while new starts
  // are open and the entry is neither queued nor abandoned; nothing otherwise
  // (the plan waits for the check).
  std::optional<Start> plannedEarly(std::size_t entry, const EarlyPlan& plan);
  // The runner could not start what plannedEarly asked for: it waits for its
  // check after all.
  void notStartedEarly(std::size_t entry);
  // Whether it started before its check ended, which decides: confirmEarly when
  // the target is out of date, settle otherwise. Until then, the digest of its
  // staged file is not compared.
  bool startedEarly(std::size_t entry) const;
  bool settled(std::size_t entry) const { return entries_[entry].stage == Stage::kDone; }
  // The check confirmed it out of date: it goes on as if started then, and a
  // whole download that stopped at kEarlyWholeBytes is queued to go on.
  void confirmEarly(std::size_t entry);
  // Its delta route gave way: it waits for the whole download.
  void fellBack(std::size_t entry);
  // Its delta build is complete: its digest is compared next.
  void built(std::size_t entry);
  // The digest of its staged file is known: kCommit, kRetry (a delta build that
  // does not match is downloaded whole once more) or kReject.
  StagingStep verified(std::size_t entry, bool matches);

  // Records how `entry` ended. After a failure, returns the later entries whose
  // transfers must stop now, and those that started early (their outcomes are
  // never taken); nothing else.
  std::vector<Stopped> settle(std::size_t entry, StageOutcome outcome);
  bool abandoned(std::size_t entry) const { return ledger_.abandoned(entry); }

  // When the oldest failing entry retries, if it waits for that.
  std::optional<std::int64_t> nextRetry() const { return retries_.nextRetry(); }
  // The entries whose outcomes are taken now, in order (StagingLedger).
  std::vector<std::size_t> takeReady() { return ledger_.takeReady(); }
  StageOutcome outcome(std::size_t entry) const { return ledger_.outcome(entry); }
  bool finished() const { return ledger_.finished(); }

 private:
  // Where one entry is: one stage, from its check to its outcome.
  enum class Stage : std::uint8_t {
    kChecking,
    kQueuedForDelta,  // out of date, with an old copy: its index is asked for first
    kQueued,          // waits for its whole download
    kIndex,           // on its delta route: the index asked for, or the plan made
    kBuilding,        // its delta build, patch or copy writes the staged file
    kAwaitingRoom,    // its patch or copy waits for room in memory
    kApplying,        // its patch or copy is fetched (perhaps as a range) and applied
    kWhole,
    kPaused,  // waits out a retry pause
    kVerifying,
    // After a delta build wrote the staged file: the prefix it left may be
    // wrong, so a mismatch costs one whole download more, from nothing.
    kQueuedAfterBuild,
    kWholeAfterBuild,
    kPausedAfterBuild,
    kVerifyingBuilt,
    // Started before its check ended, on a plan made meanwhile.
    kEarlyBuilding,
    kEarlyWhole,  // of the first kEarlyWholeBytes only
    kEarlyHeld,   // those are in: it waits for its check
    kEarlyPaused,
    kEarlyVerifying,  // given up on: its check decides whether the digest counts
    kCappedWhole,     // confirmed while its early download runs: goes on once that stops
    kDone,
  };
  struct Entry {
    Stage stage = Stage::kChecking;
    std::int64_t deltaBytes = 0;
    std::int64_t failures = 0;
  };

  Start begin(std::size_t entry);
  Start whole(std::size_t entry);
  // What the routes under way that hold memory (not those awaiting room)
  // hold together: taken once per decision, not once per route it weighs.
  struct Held {
    std::size_t routes = 0;
    std::int64_t bytes = 0;
  };
  Held held() const;
  // Whether a route that holds `deltaBytes` has a place beside `held`.
  static bool roomFor(const Held& held, std::int64_t deltaBytes);
  void requeue(std::size_t entry, Stage queued = Stage::kQueued);
  // The first queued entry before `before` that may start now, taken from the queue.
  std::optional<std::size_t> takeQueued(std::size_t before);

  const std::int64_t maxAttempts_;
  const std::int64_t pauseMilliseconds_;
  std::vector<Entry> entries_;
  std::set<std::size_t> queue_;  // they start in entry order
  // On their routes or building, with the sizes of their old copies or of
  // what their patches or copies hold.
  std::map<std::size_t, std::int64_t> underway_;
  RetryGate retries_;
  StagingLedger ledger_;
};

}  // namespace updater
