#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/errors.hpp"
#include "delta/block_index.hpp"
#include "updater/route/delta_route.hpp"

// The block delta of an entry: its index, the plan made from it against the
// old copy, and the jobs that build the staged file from the plan.
namespace updater {
namespace {

using Finished = http::DownloadSet::Finished;

}  // namespace

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

}  // namespace updater
