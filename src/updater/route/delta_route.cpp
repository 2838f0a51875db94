#include "updater/route/delta_route.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include "common/errors.hpp"
#include "delta/block_index.hpp"

namespace updater {
namespace {

using Finished = http::DownloadSet::Finished;

// The message of `error`, which is one of the program's errors.
std::string messageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const common::Error& caught) {
    // recovery point: only its text is wanted, for the -v line
    return caught.message();
  }
}

}  // namespace

std::string DeltaRoute::failureOf(const Finished& end) {
  return end.error ? messageOf(end.error) : end.message;
}

DeltaRoute::Entry* DeltaRoute::find(std::size_t entry) {
  const auto found = entries_.find(entry);
  return found == entries_.end() ? nullptr : &found->second;
}

void DeltaRoute::begin(std::size_t entry, Files files, std::optional<Target> target) {
  Entry& item = entries_[entry];
  item.files = std::move(files);
  switch (item.stage) {
    case Stage::kPlannedEarly:
      item.stage = Stage::kPlanning;
      planned(entry, std::exchange(item.earlyPlan, {}));
      return;
    case Stage::kPrefetched: {
      item.stage = Stage::kIndex;
      Finished end = std::exchange(item.prefetched, {});
      indexArrived(entry, end);
      return;
    }
    case Stage::kPrefetching:
      item.stage = Stage::kIndex;  // begun early: its end goes on
      return;
    case Stage::kPlanningEarly:
      item.stage = Stage::kPlanning;
      return;
    case Stage::kProbed:
      break;
    default:
      common::failCheck(__FILE__, __LINE__, "not begun", "a delta route began twice");
  }
  if (!target) {
    fetchIndex(entry);
    return;
  }
  item.target = std::move(target);
  if (asksDescriptions()) {
    describe(entry);
  } else {
    // Queued before the misses showed that the server keeps no descriptions.
    deltaOrCopy(entry, "the server keeps no descriptions");
  }
}

void DeltaRoute::fetchIndex(std::size_t entry) {
  Entry& item = *find(entry);
  item.stage = Stage::kIndex;
  try {
    // No longer than any index a reader accepts: what a plan costs stays bounded.
    source_.fetch({Transfer::Kind::kIndex, entry}, item.files.indexUrl, std::nullopt,
                  static_cast<std::size_t>(delta::kMaximumIndexBytes), 0);
  } catch (const common::CurlError& error) {
    // recovery point: without an index the file comes by its copy or whole
    deltaFailed(entry, "no block index from the server (" + error.message() + ")");
  }
}

void DeltaRoute::ended(const Transfer& transfer, Finished& end) {
  // Those two serve other entries too.
  if (transfer.kind == Transfer::Kind::kRelease) {
    releaseEnded(end);
    return;
  }
  if (transfer.kind == Transfer::Kind::kBundle) {
    bundleEnded(transfer, end);
    return;
  }
  if (find(transfer.entry) == nullptr) {
    return;  // dropped, or given way
  }
  switch (transfer.kind) {
    case Transfer::Kind::kProbe:
      probeEnded(transfer.entry, end);
      return;
    case Transfer::Kind::kPrefetch:
      prefetchEnded(transfer.entry, end);
      return;
    case Transfer::Kind::kIndex:
      indexArrived(transfer.entry, end);
      return;
    case Transfer::Kind::kRange:
      rangeEnded(transfer, end);
      return;
    case Transfer::Kind::kDescription:
      described(transfer.entry, end);
      return;
    case Transfer::Kind::kFrame:
      frameArrived(transfer.entry, end);
      return;
    case Transfer::Kind::kFile:
    case Transfer::Kind::kRelease:
    case Transfer::Kind::kBundle:
      return;
  }
}

void DeltaRoute::indexArrived(std::size_t entry, Finished& end) {
  if (end.result != Finished::Result::kComplete) {
    // No index (a server without them answers 404), or none that arrived.
    deltaFailed(entry, "no block index from the server (" + failureOf(end) + ")");
    return;
  }
  plan(entry, Stage::kPlanning, find(entry)->files.local.target, std::move(end.body));
}

void DeltaRoute::plan(std::size_t entry, Stage stage, common::FileAt oldFile, std::string body) {
  find(entry)->stage = stage;
  // No scan of the old copy for ranges that a server would not send.
  const bool scans = serverRanges_ != ServerRanges::kNone;
  source_.post([this, entry, oldFile = std::move(oldFile), scans,
                body = std::move(body)]() -> std::function<void()> {
    auto result = std::make_shared<Planned>();
    try {
      if (scans) {
        result->plan = delta::planDelta(body, oldFile, kLeastReusedShare, lanes_);
      }
    } catch (const common::Error& error) {
      // recovery point: a malformed index, or an old copy that cannot be read
      result->failure = error.message();
    }
    return [this, entry, result] {
      Entry* item = find(entry);
      if (item == nullptr) {
        return;
      }
      if (item->stage == Stage::kPlanning) {
        planned(entry, std::move(*result));
        return;
      }
      // Still checked: the run's plan decides whether it starts now.
      item->stage = Stage::kPlannedEarly;
      item->earlyPlan = std::move(*result);
      const Planned& made = item->earlyPlan;
      tell(entry, RouteEvent::Planned{whyWhole(made), made.plan && made.plan->threadsRanOut});
    };
  });
}

std::optional<std::string> DeltaRoute::whyWhole(const Planned& outcome) const {
  if (serverRanges_ == ServerRanges::kNone) {
    return kRangesIgnored;
  }
  const std::optional<delta::DeltaPlan>& plan = outcome.plan;
  if (!plan) {
    return "the delta cannot be planned (" + outcome.failure + ")";
  }
  if (deltaPays(*plan)) {
    return std::nullopt;
  }
  const std::string reused = plan->sampledReuse ? "about " + std::to_string(*plan->sampledReuse)
                                                : std::to_string(plan->reusedBytes);
  return "the old copy holds too little of it (" + reused + " of " +
         std::to_string(plan->fileSize) + " bytes" +
         (plan->sampledReuse ? ", by a sample of it)" : ")");
}

void DeltaRoute::planned(std::size_t entry, Planned&& outcome) {
  if (outcome.plan && outcome.plan->threadsRanOut) {
    tell(entry, RouteEvent::ThreadsRanOut{});
  }
  std::optional<std::string> why = whyWhole(outcome);
  const std::int64_t copy = copyBytes(*find(entry));
  if (!why && copy > 0 && outcome.plan->fetchedBytes > copy) {
    awaitRoom(entry, RouteEvent::Way::kCopy);  // it moves fewer bytes
    return;
  }
  if (why) {
    deltaFailed(entry, std::move(*why));
    return;
  }
  find(entry)->stage = Stage::kBuilding;
  startBuild(entry, std::move(*outcome.plan));
}

void DeltaRoute::startBuild(std::size_t entry, delta::DeltaPlan&& plan) {
  Entry& item = *find(entry);
  try {
    item.build = std::make_unique<DeltaBuild>(std::move(plan), item.files.local.target,
                                              item.files.local.staged);
  } catch (const common::Error& error) {
    // recovery point: the whole download meets any lasting fault itself
    fallBack(entry, "the delta cannot start (" + error.message() + ")");
    return;
  }
  tell(entry, RouteEvent::Building{});
  appendJobs(entry);
}

void DeltaRoute::tellBuilt(std::size_t entry) {
  const DeltaBuild& build = *find(entry)->build;
  std::string digest = build.digest();
  const std::int64_t reused = build.reusedBytes();
  const std::int64_t fetched = build.fetchedBytes();
  entries_.erase(entry);
  tell(entry, RouteEvent::Built{std::move(digest), reused, fetched});
}

void DeltaRoute::appendJobs(std::size_t entry) {
  for (auto& job : find(entry)->build->startableJobs()) {
    source_.post([this, entry, job = std::move(job)]() -> std::function<void()> {
      return [this, entry, step = job()] { stepDone(entry, step); };
    });
  }
}

void DeltaRoute::stepDone(std::size_t entry, const DeltaBuild::Step& step) {
  Entry* item = find(entry);
  if (item == nullptr || !item->build) {
    return;
  }
  item->build->finished(step);
  if (item->stage == Stage::kFailing || item->stage == Stage::kFailingEarly) {
    item->stage = item->stage == Stage::kFailing ? Stage::kBuilding : Stage::kBuildingEarly;
    fallBack(entry, std::move(item->reason));
    return;
  }
  if (step.error) {
    fallBack(entry, "building it from the old copy failed (" + messageOf(step.error) + ")");
    return;
  }
  if (item->build->digest().empty()) {
    appendJobs(entry);
  } else if (item->stage == Stage::kBuilding) {
    tellBuilt(entry);
  }  // else complete early: told once its check ends (confirm)
}

void DeltaRoute::fallBack(std::size_t entry, std::string reason) {
  Entry& item = *find(entry);
  source_.cancel(entry, {Transfer::Kind::kRange});
  if (trialEntry_ == entry) {
    trialEntry_.reset();
  }
  const bool early = item.stage == Stage::kBuildingEarly;
  if (item.build && item.build->writing()) {
    // Its running append still writes the staged file: the fall back waits for it.
    item.stage = early ? Stage::kFailingEarly : Stage::kFailing;
    item.reason = std::move(reason);
    return;
  }
  if (item.build) {
    // A job's last hold on the file may outlive the build: it must not write.
    item.build->stopWriting();
  }
  if (early) {
    // Told once its check ends.
    item.build.reset();
    item.stage = Stage::kFailedEarly;
    item.reason = std::move(reason);
    return;
  }
  entries_.erase(entry);
  tell(entry, RouteEvent::FellBack{std::move(reason)});
}

void DeltaRoute::drop(std::size_t entry) {
  source_.cancel(entry,
                 {Transfer::Kind::kProbe, Transfer::Kind::kPrefetch, Transfer::Kind::kIndex,
                  Transfer::Kind::kRange, Transfer::Kind::kDescription, Transfer::Kind::kFrame});
  if (trialEntry_ == entry) {
    trialEntry_.reset();
  }
  if (Entry* item = find(entry); item != nullptr && item->build && !item->build->writing()) {
    item->build->stopWriting();  // keeps what it wrote for the next run
  }
  entries_.erase(entry);
  std::erase(bundleQueue_, entry);
  std::erase_if(events_, [entry](const RouteEvent& event) { return event.entry == entry; });
}

void DeltaRoute::tell(std::size_t entry, decltype(RouteEvent::what) what) {
  events_.push_back({entry, std::move(what)});
}

std::optional<RouteEvent> DeltaRoute::takeEvent() {
  if (events_.empty()) {
    return std::nullopt;
  }
  RouteEvent event = std::move(events_.front());
  events_.pop_front();
  return event;
}

}  // namespace updater
