#include "updater/route/delta_route.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include "common/errors.hpp"
#include "delta/block_index.hpp"

namespace updater {
namespace {

using Finished = http::DownloadSet::Finished;

}  // namespace

std::string DeltaRoute::messageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const common::Error& caught) {
    // recovery point: only its text is wanted, for the -v line
    return caught.message();
  }
}

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
  if (offer_.asksDescriptions()) {
    describe(entry);
  } else {
    // Queued before the misses showed that the server keeps no descriptions.
    deltaOrCopy(entry, "the server keeps no descriptions");
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
  if (item.target && item.target->digest.empty() && !item.description) {
    reason.clear();  // a new file that nothing was offered for just comes whole
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
  Entry* item = find(entry);
  if (item != nullptr && item->build && !item->build->writing()) {
    item->build->stopWriting();  // keeps what it wrote for the next run
  }
  const bool askedNew =
      item != nullptr && item->stage == Stage::kDescribing && item->target->digest.empty();
  entries_.erase(entry);
  std::erase(bundleQueue_, entry);
  std::erase_if(events_, [entry](const RouteEvent& event) { return event.entry == entry; });
  if (askedNew) {
    newFileAnswered();  // its place is free
  }
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
