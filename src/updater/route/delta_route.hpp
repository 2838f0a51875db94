#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/uri.hpp"
#include "crypto/lane_width.hpp"
#include "formats/file_description.hpp"
#include "http/resumable_download.hpp"
#include "updater/apply/target_directory.hpp"
#include "updater/route/delta_build.hpp"
#include "updater/route/predecessor_file.hpp"
#include "updater/route/publisher_offer.hpp"
#include "updater/route/route_event.hpp"
#include "updater/route/transfer.hpp"

namespace updater {

// Whether the delta of `plan` is worth taking over the whole download, its
// old file scanned already: what it reuses (at least 1/kLeastReusedShare of
// the file) must outweigh what its build adds. Each request beyond the one a
// whole download makes costs a round trip, and a build slower than one
// streamed download must save a fair share of the bytes (bench/README.md,
// the delta route's constants).
bool deltaPays(const delta::DeltaPlan& plan);

// The route of the entries of a staging run: an out-of-date target whose
// digest is known asks first what the publisher has for the new version (its
// description), and takes the patch from its own version when there is one,
// else the block delta or the compressed copy, whichever moves fewer bytes;
// each gives way to the next, and the last to the whole download. While a
// large target is hashed, its index's header may show it out of date early,
// and the plan made then may start its build, or its whole download, before
// the check ends; an out-of-date target with an old copy gets its index, a
// plan, ranges and the jobs that build its staged file. Anything that goes
// wrong on the way gives way, with the reason in plain words. What happens is
// returned as RouteEvent values (takeEvent); the route asks nothing of its
// caller.
class DeltaRoute {
 public:
  // The files and URLs of one entry's delta.
  struct Files {
    common::Uri url;       // of the new file
    common::Uri indexUrl;  // of its block index; its patch, copy and description lie beside it
    // Its target (whose blocks are reused) and its staged file.
    EntryFiles local;
    std::string digest = {};  // the catalog's digest text of the new file
  };

  // A target at least this large takes longer to hash than a round trip takes
  // on a near server: while it is hashed, its index's header is asked for, and
  // a file size that differs from the target's starts the fetch of the whole
  // index, then the plan, on the other core. The header is not signed, so only
  // the digest decides whether the target is out of date and what they staged
  // is used (bench/README.md, the delta route's constants).
  static constexpr std::int64_t kProbedTargetBytes = std::int64_t{16} << 20;
  // The probe asks for the header and the index's first bytes, what the first
  // flight of a connection carries, so the rest of an index comes a round trip
  // sooner than after the header alone (bench/README.md, as above).
  static constexpr std::int64_t kProbeBytes = std::int64_t{12} << 10;
  // One request asks for up to this many ranges of a build, and at most
  // kBytesPerRangeRequest bytes (bench/README.md, ranges_bench.sh).
  static constexpr std::size_t kRangesPerRequest = 64;
  // The least share of its file that a delta must reuse: 1 in this many. A
  // plan whose sample of the old file shows well under it stops before the
  // full scan.
  static constexpr std::int64_t kLeastReusedShare = 8;

  // The target of an entry, as its check found it out of date.
  struct Target {
    std::string digest;
    std::int64_t size = 0;
  };
  // Plans hash their strong checksums `lanes` at a time.
  explicit DeltaRoute(TransferSource& source, crypto::LaneWidth lanes = crypto::LaneWidth::kOne,
                      RunCatalog catalog = {})
      : source_(source), lanes_(lanes), offer_(std::move(catalog)) {}
  DeltaRoute(const DeltaRoute&) = delete;
  DeltaRoute& operator=(const DeltaRoute&) = delete;

  // Asks for the index header of `entry` (of catalog digest `digest`), whose
  // target `oldPath` is being checked, when the target is large enough.
  void probe(std::size_t entry, const std::string& oldPath, const std::string& digest);
  // The check of `entry` ended: its probe is no longer wanted.
  void checked(std::size_t entry);
  // Starts the route of `entry`: with its `target` (of a size that may be
  // described), by asking for the description while descriptions are asked
  // for and nothing began early; else by its delta, from an index fetched
  // early when there is one.
  void begin(std::size_t entry, Files files, std::optional<Target> target = std::nullopt);
  // What the run has learnt of the publisher's descriptions; the staging run
  // tells it of each entry found out of date.
  PublisherOffer& offer() { return offer_; }
  // Fetches and applies the patch or copy that its Applying event told of; a
  // patch that the release description places in the bundle waits for
  // rangeDue, to be fetched with others as ranges of it.
  void apply(std::size_t entry);
  // Starts the build of `entry`, still being checked, in `files` from the
  // plan its Planned event told of.
  void buildEarly(std::size_t entry, Files files);
  // The check found `entry`, whose build began early, out of date: what the
  // build came to meanwhile is told now, and the rest as it comes.
  void confirm(std::size_t entry);
  // Whether `entry`'s build has ranges to fetch now, or its patch lies in the
  // bundle (or must be fetched on its own after the bundle failed it);
  // startRange then fetches them in one request, with the bundle's other
  // patches that wait.
  bool rangeDue(std::size_t entry);
  void startRange(std::size_t entry);
  // A transfer that fetch() started has ended.
  void ended(const Transfer& transfer, http::DownloadSet::Finished& end);
  // Forgets `entry`: its transfers stop, and its late steps and the events
  // not yet taken are ignored.
  void drop(std::size_t entry);
  // The oldest event not yet taken; nothing when none is left. Every call
  // above, and every step it posted, may add some.
  std::optional<RouteEvent> takeEvent();

 private:
  // Why every file comes whole once the server has sent a whole file for a range.
  static constexpr const char* kRangesIgnored = "the server sends the whole file for a range";

  // What planning an entry came to: a plan, or why there is none.
  struct Planned {
    std::optional<delta::DeltaPlan> plan;
    std::string failure;
  };
  // Where one entry's route is. Before its begin (or confirm) the entry is
  // still checked: nothing is told of it but a Planned event, and once an
  // early build starts, Building and Progress.
  enum class Stage : std::uint8_t {
    kProbed,         // nothing under way: its probe, if any, asked for or answered
    kPrefetching,    // the rest of its index asked for early, after `probed`
    kPrefetched,     // that early index ended as `prefetched` says, kept for begin
    kPlanningEarly,  // planned on a worker from an index fetched early
    kPlannedEarly,   // `earlyPlan` is made: a build may start early on it
    kIndex,          // begun: waits for its index, asked for or prefetched
    kPlanning,       // begun: planned on a worker
    kBuildingEarly,  // its build runs, or is complete, before its check ended
    kBuilding,
    kFailingEarly,  // falls back once its running append has ended, for `reason`
    kFailing,
    kFailedEarly,      // its early build fell back: `reason` is told once the check ends
    kDescribing,       // its description asked for
    kPredecessor,      // a new file's predecessor read on a worker
    kAwaitingAsk,      // a new file waits for other new files' descriptions to be answered
    kAwaitingRelease,  // its description comes from the release description, asked for
    kAwaitingRoom,     // its patch or copy waits for the plan's room (Applying)
    kBundled,          // its patch waits to be asked for as a range of the bundle
    kFrameDue,         // its patch, which the bundle did not serve, waits to be asked for alone
    kFrame,            // its patch or copy asked for, then applied on a worker
  };
  // What the route knows of one entry, from its probe or its begin.
  struct Entry {
    Stage stage = Stage::kProbed;
    std::string oldPath;         // of a probed target
    common::Uri probedIndexUrl;  // where its early index comes from
    std::string probed;          // the index's start, probed
    http::DownloadSet::Finished prefetched;
    Planned earlyPlan;
    Files files;
    std::unique_ptr<DeltaBuild> build;
    std::vector<DeltaBuild::Range> nextRanges;  // reserved by rangeDue
    std::deque<DeltaBuild::Range> singles;      // an answer left them: one per request
    std::string reason;                         // why it falls back
    // From its description: its target, what the publisher has, and the way
    // (a patch or the copy) under way.
    std::optional<Target> target;
    std::optional<formats::FileDescription> description;
    RouteEvent::Way way = RouteEvent::Way::kDelta;
    // Where its patch lies in the bundle, until the bundle has failed it.
    std::optional<http::ByteRange> bundled;
  };
  // Whether its build runs (or is complete), neither falling back nor fallen back.
  static bool builds(const Entry& item) {
    return item.stage == Stage::kBuilding || item.stage == Stage::kBuildingEarly;
  }

  // Asks for the index that begins a delta.
  void fetchIndex(std::size_t entry);
  // Its description: from the release description, when it is in hand or
  // due; else its own.
  void describe(std::size_t entry);
  void describeAlone(std::size_t entry);
  void described(std::size_t entry, http::DownloadSet::Finished& end);
  void fetchRelease(std::size_t entry);
  void releaseEnded(http::DownloadSet::Finished& end);
  // The release description, decoded on a worker; nothing when unusable.
  void releaseArrived(std::optional<formats::ReleaseDescription> release);
  void describeFromRelease(std::size_t entry);
  // A new file's description arrived: its predecessors are tried first.
  void takePredecessor(std::size_t entry);
  void predecessorRead(std::size_t entry, PredecessorOutcome outcome);
  // A new file's description was answered or dropped: those that wait may ask.
  void newFileAnswered();
  // The patch from its target's version (as a bundle range when the release
  // description is what describes it), else the next way.
  void patchOrNext(std::size_t entry);
  // The URL of `name` in the index folder, beside the index of `files`.
  static common::Uri besideIndex(const Files& files, std::string_view name);
  // The delta or the copy, once no patch is used; the whole download, for
  // `whyNone`, when neither may be had.
  void deltaOrCopy(std::size_t entry, std::string whyNone);
  // The delta gave way for `reason`: the copy when there is one, else the whole download.
  void deltaFailed(std::size_t entry, std::string reason);
  // The size of its copy, when one is described and not yet tried; else 0.
  static std::int64_t copyBytes(const Entry& item);
  // The size of the patch or copy chosen.
  static std::int64_t frameBytes(const Entry& item);
  void awaitRoom(std::size_t entry, RouteEvent::Way way);
  // Asks for its patch or copy file.
  void fetchFrame(std::size_t entry);
  void frameArrived(std::size_t entry, http::DownloadSet::Finished& end);
  // Applies `frame` on a worker.
  void applyFrame(std::size_t entry, std::string frame);
  // Asks for the bundle's ranges of the patches that wait, from the first
  // queued, as many as one request takes.
  void startBundle();
  // Whether the patches that wait are asked for now.
  bool bundleDue() const;
  void bundleEnded(const Transfer& bundle, http::DownloadSet::Finished& end);
  // The bundle did not serve its patch: it is asked for alone.
  void patchAlone(std::size_t entry);
  // Its patch or copy failed for `reason`: the next way follows.
  void frameFailed(std::size_t entry, std::string reason);
  void probeEnded(std::size_t entry, http::DownloadSet::Finished& end);
  void prefetchEnded(std::size_t entry, http::DownloadSet::Finished& end);
  void indexArrived(std::size_t entry, http::DownloadSet::Finished& end);
  // Plans `entry` against its target `oldFile` from the index `body`, on a
  // worker, in `stage` (kPlanning or kPlanningEarly).
  void plan(std::size_t entry, Stage stage, common::FileAt oldFile, std::string body);
  // Plans a probed `entry`, still being checked, from the index `body`, its
  // target reached as openEntryFiles does; not when it may not be reached.
  void planProbed(std::size_t entry, std::string body);
  void planned(std::size_t entry, Planned&& outcome);
  // Why the file of `outcome` comes whole; nothing when its delta pays.
  std::optional<std::string> whyWhole(const Planned& outcome) const;
  void startBuild(std::size_t entry, delta::DeltaPlan&& plan);
  // Tells that the build of `entry` is complete, and forgets it.
  void tellBuilt(std::size_t entry);
  void rangeEnded(const Transfer& range, http::DownloadSet::Finished& end);
  // The server sent a whole file for one range: every build gives way.
  void rangesIgnored();
  // Why a transfer failed, in plain words for the -v line.
  static std::string failureOf(const http::DownloadSet::Finished& end);
  // The message of `error`, which is one of the program's errors.
  static std::string messageOf(const std::exception_ptr& error);
  void appendJobs(std::size_t entry);
  void stepDone(std::size_t entry, const DeltaBuild::Step& step);
  void fallBack(std::size_t entry, std::string reason);
  void tell(std::size_t entry, decltype(RouteEvent::what) what);
  Entry* find(std::size_t entry);

  TransferSource& source_;
  const crypto::LaneWidth lanes_;
  std::map<std::size_t, Entry> entries_;
  std::deque<RouteEvent> events_;  // not yet taken
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
  // The release description, for the whole run: asked for once, and its
  // patches taken from the bundle.
  PublisherOffer offer_;
  common::Uri bundleUrl_;
  std::deque<std::size_t> bundleQueue_;  // the entries kBundled, in the order they came
};

}  // namespace updater
