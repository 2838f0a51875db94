#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/uri.hpp"
#include "crypto/sha3_batch.hpp"
#include "http/resumable_download.hpp"
#include "updater/apply/target_directory.hpp"
#include "updater/route/delta_build.hpp"
#include "updater/route/progress.hpp"
#include "updater/route/transfer.hpp"

namespace updater {

// Whether the delta of `plan` is worth taking over the whole download, its
// old file scanned already: what it reuses (at least 1/kLeastReusedShare of
// the file) must outweigh what its build adds.
// Each request beyond the one a whole download makes costs a round trip,
// counted as the bytes a modest link carries meanwhile; and a build that
// fetches most of its file in window-bounded ranges, then copies, writes and
// hashes it, takes longer than one streamed download unless it saves a fair
// share of the bytes (a file that kept 3.6% of its 175 MiB took 3.3 times
// as long on loopback).
bool deltaPays(const delta::DeltaPlan& plan);

// The delta route of the entries of a staging run: while a large target is
// hashed, its index's header may show it out of date early, and the plan made
// then may start its build, or its whole download, before the check ends; an
// out-of-date target with an old copy gets its index, a plan, ranges and the
// jobs that build its staged file. Anything that goes wrong on the way gives
// way to the whole download, with the reason in plain words.
class DeltaRoute {
 public:
  // The files and URLs of one entry's delta.
  struct Files {
    common::Uri url;       // of the new file
    common::Uri indexUrl;  // of its block index
    ProgressContext context;
    // Its target (whose blocks are reused) and its staged file.
    EntryFiles local;
  };
  // What the route tells the runner.
  struct Events {
    std::function<void(std::size_t entry, std::string reason)> fellBack;
    std::function<void(std::size_t entry)> building;  // its build writes the staged file
    // The staged file is built; its digest text, bytes reused and fetched.
    std::function<void(std::size_t entry, std::string digest, std::int64_t reused,
                       std::int64_t fetched)>
        built;
    std::function<void()> threadsRanOut;  // a plan's work ran on one thread
    // A plan that pays is ready while its target is still hashed: the files of
    // a build that may begin now, or nothing (it waits for the check).
    std::function<std::optional<Files>(std::size_t entry)> buildsEarly;
    // A plan made while its target is hashed shows that the file must come
    // whole, for `reason`: whether its whole download starts now, and the
    // route forgets it.
    std::function<bool(std::size_t entry, const std::string& reason)> downloadsEarly;
  };

  // A target at least this large takes longer to hash than a round trip takes
  // on a near server: while it is hashed, its index's header is asked for, and
  // a file size that differs from the target's starts the fetch of the whole
  // index, then the plan, on the other core, and then the build or the whole
  // download. The header is not signed, so only the digest decides whether
  // the target is out of date and what they staged is used. A 52 MiB archive
  // with insertions was updated in 0.43 s with the plan made after the digest,
  // against zsync's 0.31 s; a 256 MiB file built after the digest took 1.6 s,
  // built while it was taken 1.1 s, zsync's 1.07 s.
  static constexpr std::int64_t kProbedTargetBytes = std::int64_t{16} << 20;
  // The probe asks for the header and the index's first bytes, what the first
  // flight of a connection carries (10 segments of 1,448 bytes, the answer's
  // headers besides): the window grows only once it is filled, so the rest of
  // an index comes a round trip sooner than after the header alone. A probed
  // target's index is longer (24 KiB at least); one found up to date has cost
  // these bytes, under 1/1000 of it.
  static constexpr std::int64_t kProbeBytes = std::int64_t{12} << 10;
  // One request asks for up to this many ranges of a build, and at most
  // kBytesPerRangeRequest bytes (bench/README.md, ranges_bench.sh).
  static constexpr std::size_t kRangesPerRequest = 64;
  // The least share of its file that a delta must reuse: 1 in this many. A
  // plan whose sample of the old file shows well under it stops before the
  // full scan.
  static constexpr std::int64_t kLeastReusedShare = 8;

  // Plans hash their strong checksums `lanes` at a time.
  DeltaRoute(TransferSource& source, Events events,
             crypto::Sha3Lanes lanes = crypto::Sha3Lanes::kOne)
      : source_(source), events_(std::move(events)), lanes_(lanes) {}
  DeltaRoute(const DeltaRoute&) = delete;
  DeltaRoute& operator=(const DeltaRoute&) = delete;

  // Asks for the index header of `entry` (of catalog digest `digest`), whose
  // target `oldPath` is being checked, when the target is large enough.
  void probe(std::size_t entry, const std::string& oldPath, const std::string& digest);
  // The check of `entry` ended: its probe is no longer wanted.
  void checked(std::size_t entry);
  // Starts the delta of `entry`, from an index fetched early when there is one.
  void begin(std::size_t entry, Files files);
  // The check found `entry`, whose build began early, out of date: what the
  // build came to meanwhile is told now, and the rest as it comes.
  void confirm(std::size_t entry);
  // Whether `entry`'s build has ranges to fetch now; startRange then fetches
  // them in one request.
  bool rangeDue(std::size_t entry);
  void startRange(std::size_t entry);
  // A transfer that fetch() started has ended.
  void ended(const Transfer& transfer, http::DownloadSet::Finished& end);
  // Forgets `entry`: its transfers stop and its late steps are ignored.
  void drop(std::size_t entry);

 private:
  // Why every file comes whole once the server has sent a whole file for a range.
  static constexpr const char* kRangesIgnored = "the server sends the whole file for a range";

  // What planning an entry came to: a plan, or why there is none.
  struct Planned {
    std::optional<delta::DeltaPlan> plan;
    std::string failure;
  };
  // What the route knows of one entry, from its probe or its begin.
  struct Entry {
    std::string oldPath;                                    // of a probed target
    common::Uri probedIndexUrl;                             // where its early index comes from
    std::string probed;                                     // the index's start, probed
    bool prefetching = false;                               // its rest is asked for early
    std::optional<http::DownloadSet::Finished> prefetched;  // how that early fetch failed
    bool planning = false;                                  // its plan is being made
    std::optional<Planned> earlyPlan;                       // made before its begin
    bool begun = false;                                     // its route waits for the index
    Files files;
    std::unique_ptr<DeltaBuild> build;
    // Why a build that began before its check ended fell back, told once the
    // check has found the target out of date (a complete one keeps its digest).
    std::optional<std::string> earlyFailure;
    std::vector<DeltaBuild::Range> nextRanges;  // reserved by rangeDue
    std::deque<DeltaBuild::Range> singles;      // an answer left them: one per request
    bool failing = false;                       // falls back once its running append has ended
    std::string reason;                         // why it falls back
  };

  void indexArrived(std::size_t entry, http::DownloadSet::Finished& end);
  // Plans `entry` against its target `oldFile` from the index `body`, on a worker.
  void plan(std::size_t entry, common::FileAt oldFile, std::string body);
  // Plans a probed `entry`, still being checked, from the index `body`, its
  // target reached as openEntryFiles does; not when it may not be reached.
  void planProbed(std::size_t entry, std::string body);
  void planned(std::size_t entry, Planned&& outcome);
  // Why the file of `outcome` comes whole; nothing when its delta pays.
  std::optional<std::string> whyWhole(const Planned& outcome) const;
  // Whether `entry`, still being checked, starts on `outcome` now: its build
  // from the plan, or its whole download; if so it does.
  bool startEarly(std::size_t entry, Planned& outcome);
  void startBuild(std::size_t entry, delta::DeltaPlan&& plan);
  // Tells that the build of `entry` is complete, and forgets it.
  void tellBuilt(std::size_t entry);
  void rangeEnded(const Transfer& range, http::DownloadSet::Finished& end);
  // The server sent a whole file for one range: every build gives way.
  void rangesIgnored();
  // Why a transfer failed, in plain words for the -v line.
  static std::string failureOf(const http::DownloadSet::Finished& end);
  void appendJobs(std::size_t entry);
  void stepDone(std::size_t entry, const DeltaBuild::Step& step);
  void fallBack(std::size_t entry, std::string reason);
  Entry* find(std::size_t entry);

  TransferSource& source_;
  const Events events_;
  const crypto::Sha3Lanes lanes_;
  std::map<std::size_t, Entry> entries_;
  // What the server has shown of the ranges it serves.
  enum class ServerRanges {
    kLists,  // several per request, until an answer to that is unusable
    // One per request from then on, but only one request at a time until one
    // such answer shows that it serves single ranges at all: each whole file
    // that one that ignores them sends in its place costs the network.
    kSinglesUntried,
    kSingles,
    kNone,  // it sent a whole file for one range: none are asked any more
  };
  ServerRanges serverRanges_ = ServerRanges::kLists;
  std::optional<std::size_t> trialEntry_;  // whose single range tries the server
};

}  // namespace updater
