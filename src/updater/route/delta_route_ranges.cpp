#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "updater/route/delta_route.hpp"

// The ranges of delta builds: many in one request, one per request once a
// server has shown that it cannot answer that, and none once it has sent a
// whole file for one; and whether a plan pays for them.
namespace updater {
namespace {

using Finished = http::DownloadSet::Finished;

// A round trip's worth of bytes: 50 ms at about 10 Mbit/s.
constexpr std::int64_t kRequestCostBytes = std::int64_t{64} * 1024;

}  // namespace

bool deltaPays(const delta::DeltaPlan& plan) {
  std::int64_t fetchedSegments = 0;
  for (const delta::Segment& segment : plan.segments) {
    fetchedSegments += segment.fetched() ? 1 : 0;
  }
  const auto perRequest = static_cast<std::int64_t>(DeltaRoute::kRangesPerRequest);
  const std::int64_t extraRequests =
      std::max<std::int64_t>(0, (fetchedSegments + perRequest - 1) / perRequest - 1);
  return plan.reusedBytes > 0 &&
         plan.reusedBytes >= plan.fileSize / DeltaRoute::kLeastReusedShare &&
         plan.reusedBytes >= extraRequests * kRequestCostBytes;
}

bool DeltaRoute::rangeDue(std::size_t entry) {
  Entry* item = find(entry);
  if (item != nullptr && item->stage == Stage::kFrameDue) {
    return true;
  }
  if (item != nullptr && item->stage == Stage::kBundled) {
    return bundleDue();
  }
  if (item == nullptr || !builds(*item)) {
    return false;
  }
  std::vector<DeltaBuild::Range>& ranges = item->nextRanges;
  if (!ranges.empty()) {
    return true;
  }
  if (serverRanges_ == ServerRanges::kSinglesUntried && trialEntry_) {
    return false;
  }
  if (!item->singles.empty()) {
    ranges.push_back(item->singles.front());
    item->singles.pop_front();
    return true;
  }
  if (const auto first = item->build->nextFetch()) {
    ranges.push_back(*first);
    std::int64_t bytes = first->length;
    while (serverRanges_ == ServerRanges::kLists && ranges.size() < kRangesPerRequest &&
           bytes < kBytesPerRangeRequest) {
      const auto more = item->build->nextFetch(kBytesPerRangeRequest - bytes);
      if (!more) {
        break;
      }
      ranges.push_back(*more);
      bytes += more->length;
    }
  }
  return !ranges.empty();
}

void DeltaRoute::startRange(std::size_t entry) {
  Entry& item = *find(entry);
  if (item.stage == Stage::kFrameDue) {
    fetchFrame(entry);
    return;
  }
  if (item.stage == Stage::kBundled) {
    startBundle();
    return;
  }
  TOLVEX_CHECK(!item.nextRanges.empty(), "a range started that was not due");
  const Transfer transfer{Transfer::Kind::kRange, entry, std::exchange(item.nextRanges, {})};
  try {
    if (transfer.ranges.size() == 1) {
      const DeltaBuild::Range range = transfer.ranges.front();
      source_.fetch(transfer, item.files.url, range, static_cast<std::size_t>(range.length), 0);
      if (serverRanges_ == ServerRanges::kSinglesUntried) {
        trialEntry_ = entry;
      }
    } else {
      source_.fetchRanges(transfer, item.files.url);
    }
  } catch (const common::CurlError& error) {
    // recovery point: the whole download tries again, with its own attempts
    fallBack(entry, "a range request failed (" + error.message() + ")");
  }
}

void DeltaRoute::rangeEnded(const Transfer& range, Finished& end) {
  Entry& item = *find(range.entry);
  const std::vector<DeltaBuild::Range>& asked = range.ranges;
  if (asked.size() == 1 && trialEntry_ == range.entry) {
    trialEntry_.reset();
  }
  if (asked.size() == 1 && end.wholeAnswer) {
    rangesIgnored();
    return;
  }
  if (!builds(item)) {
    return;
  }
  if (end.result != Finished::Result::kComplete) {
    fallBack(range.entry, "a range request failed (" + failureOf(end) + ")");
    return;
  }
  if (asked.size() == 1) {
    if (serverRanges_ == ServerRanges::kSinglesUntried) {
      serverRanges_ = ServerRanges::kSingles;
    }
    end.ranges.assign(1, std::move(end.body));
  } else if (end.ranges.size() < asked.size()) {
    // The answer could not serve them all (one range for several, the whole
    // file): the others go one per request, here and for every later range.
    if (serverRanges_ == ServerRanges::kLists) {
      serverRanges_ = ServerRanges::kSinglesUntried;
    }
    item.singles.insert(item.singles.end(), asked.begin() + std::ssize(end.ranges), asked.end());
  }
  for (std::size_t index = 0; index < end.ranges.size(); ++index) {
    // The build appends what it is given where the range belongs: anything but
    // the range itself would shift every byte after it.
    if (std::cmp_not_equal(end.ranges[index].size(), asked[index].length)) {
      fallBack(range.entry, "a range request failed (" + std::to_string(end.ranges[index].size()) +
                                " bytes for " + std::to_string(asked[index].length) + ")");
      return;
    }
  }
  for (std::size_t index = 0; index < end.ranges.size(); ++index) {
    item.build->arrived(asked[index].first, std::move(end.ranges[index]));
  }
  tell(range.entry, RouteEvent::Progress{item.build->fetchedBytes(), item.build->bytesToFetch()});
  appendJobs(range.entry);
}

void DeltaRoute::rangesIgnored() {
  // Any other range would cost a whole file too: the whole downloads take
  // over at once, and later plans come whole.
  serverRanges_ = ServerRanges::kNone;
  std::vector<std::size_t> building;
  for (const auto& [entry, item] : entries_) {
    if (builds(item)) {
      building.push_back(entry);
    }
  }
  for (const std::size_t entry : building) {
    fallBack(entry, kRangesIgnored);
  }
  // The patches that wait for the bundle are asked for alone.
  for (const std::size_t entry : std::exchange(bundleQueue_, {})) {
    patchAlone(entry);
  }
}

}  // namespace updater
