// The delta route of the staging loop: while a large target is hashed, its
// index's header may show it out of date early; an out-of-date target with an
// old copy gets its index, a plan, ranges and the jobs that build its staged
// file; anything that goes wrong on the way falls back to the whole download.
#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "delta/block_index.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"
#include "updater/staging_run.hpp"

namespace updater {
namespace {

common::Uri indexUrlOf(const StageRequest& request) {
  return formats::remoteUrl(formats::blockIndexPathOf(request.digest));
}

// The message of `error`, which is one of the program's errors.
std::string messageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const common::Error& caught) {
    // recovery point: only its text is wanted, for the -v line
    return caught.message();
  }
}

std::string failureOf(const http::DownloadSet::Finished& end) {
  return end.error ? messageOf(end.error) : end.message;
}

}  // namespace

void StagingRun::probeSize(std::size_t index) {
  const StageRequest& entry = request(index);
  if (common::regularFileSize(entry.path) < kProbedTargetBytes) {
    return;
  }
  try {
    startFetch({Transfer::Kind::kProbe, index}, indexUrlOf(entry),
               http::DownloadSet::ByteRange{0, delta::kIndexHeaderBytes},
               static_cast<std::size_t>(delta::kIndexHeaderBytes));
  } catch (const common::CurlError&) {
    // recovery point: without a probe the index is asked for after the digest
  }
}

void StagingRun::probeEnded(std::size_t index, const http::DownloadSet::Finished& end) {
  if (end.result != http::DownloadSet::Finished::Result::kComplete) {
    return;  // no index, or none that answered: asked for again if needed
  }
  // A size that differs makes an out-of-date target likely, nothing more: the
  // header is not signed. The whole index is asked for while the digest goes on.
  const std::int64_t targetSize = common::regularFileSize(request(index).path);
  const std::optional<std::int64_t> size = delta::indexedFileSize(end.body);
  if (!size || *size == targetSize) {
    return;
  }
  try {
    startFetch({Transfer::Kind::kPrefetch, index}, indexUrlOf(request(index)), std::nullopt,
               static_cast<std::size_t>(delta::kMaximumIndexBytes));
  } catch (const common::CurlError&) {
    // recovery point: the index is asked for again after the digest
  }
}

void StagingRun::endProbe(std::size_t index) { cancelTransfers(index, {Transfer::Kind::kProbe}); }

void StagingRun::prefetchEnded(std::size_t index, http::DownloadSet::Finished& end) {
  if (abandoned(index) || items_[index].phase == Phase::kDone) {
    return;
  }
  if (items_[index].download && download(index).route == Route::kIndex) {
    indexEnded(index, end);  // its route waits for it
    return;
  }
  prefetched_.insert_or_assign(index, std::move(end));
}

void StagingRun::dropPrefetch(std::size_t index) {
  prefetched_.erase(index);
  cancelTransfers(index, {Transfer::Kind::kPrefetch});
}

void StagingRun::setRoute(std::size_t index, Route route) {
  if (route == Route::kWhole) {
    underway_.erase(index);
  } else {
    underway_.insert(index);
  }
  download(index).route = route;
}

bool StagingRun::deltaMayStart(std::size_t index) const {
  return !triesDelta(index) || underway_.size() < kMaxDeltasUnderway;
}

bool StagingRun::triesDelta(std::size_t index) const {
  const Download& item = *items_[index].download;
  return !item.deltaTried && item.targetSize >= delta::kMinimumIndexedBytes;
}

void StagingRun::fetchIndex(std::size_t index) {
  Download& item = download(index);
  item.deltaTried = true;
  setRoute(index, Route::kIndex);
  if (const auto early = prefetched_.find(index); early != prefetched_.end()) {
    http::DownloadSet::Finished end = std::move(early->second);
    prefetched_.erase(early);
    indexEnded(index, end);
    return;
  }
  if (hasTransfer(index, Transfer::Kind::kPrefetch)) {
    return;  // asked for early: prefetchEnded goes on
  }
  try {
    // No longer than any index a reader accepts: what a plan costs stays bounded.
    startFetch({Transfer::Kind::kIndex, index}, item.indexUrl, std::nullopt,
               static_cast<std::size_t>(delta::kMaximumIndexBytes));
  } catch (const common::CurlError& error) {
    // recovery point: without an index the file comes whole
    fallBackToWhole(index, "no block index from the server (" + error.message() + ")");
  }
}

void StagingRun::indexEnded(std::size_t index, http::DownloadSet::Finished& end) {
  if (end.result != http::DownloadSet::Finished::Result::kComplete) {
    // No index (a server without them answers 404), or none that arrived.
    fallBackToWhole(index, "no block index from the server (" + failureOf(end) + ")");
    return;
  }
  postJob([this, index, body = std::move(end.body)]() -> std::function<void()> {
    auto plan = std::make_shared<std::optional<delta::DeltaPlan>>();
    auto failure = std::make_shared<std::string>();
    try {
      *plan = delta::planDelta(body, request(index).path);
    } catch (const common::Error& error) {
      // recovery point: a malformed index, or an old copy that cannot be read
      *failure = error.message();
    }
    return [this, index, plan, failure] { onPlanned(index, std::move(*plan), *failure); };
  });
}

void StagingRun::onPlanned(std::size_t index, std::optional<delta::DeltaPlan>&& plan,
                           const std::string& failure) {
  if (abandoned(index)) {
    return;
  }
  if (!plan) {
    fallBackToWhole(index, "the delta cannot be planned (" + failure + ")");
    return;
  }
  if (plan->threadsRanOut) {
    warnThreadsRanOut();
  }
  // Nothing to reuse: one plain download does it better than ranges.
  if (plan->reusedBytes == 0) {
    fallBackToWhole(index, "the old copy holds none of its blocks");
    return;
  }
  Download& item = download(index);
  try {
    item.delta = std::make_unique<DeltaBuild>(std::move(*plan), request(index).path,
                                              item.context.pendingPath);
  } catch (const common::Error& error) {
    // recovery point: the whole download meets any lasting fault itself
    fallBackToWhole(index, "the delta cannot start (" + error.message() + ")");
    return;
  }
  setRoute(index, Route::kDelta);
  item.deltaWrote = true;
  appendDelta(index);
}

bool StagingRun::startRangeFetch() {
  for (const std::size_t index : underway_) {
    const Download& item = download(index);
    if (item.route != Route::kDelta || item.deltaFailed) {
      continue;
    }
    if (const auto range = item.delta->nextFetch()) {
      try {
        startFetch({Transfer::Kind::kRange, index, range->first}, item.url, range,
                   static_cast<std::size_t>(range->length));
      } catch (const common::CurlError& error) {
        // recovery point: the whole download tries again, with its own attempts
        fallBackToWhole(index, "a range request failed (" + error.message() + ")");
      }
      return true;
    }
  }
  return false;
}

void StagingRun::rangeEnded(const Transfer& range, http::DownloadSet::Finished& end) {
  const std::size_t index = range.request;
  if (abandoned(index) || download(index).route != Route::kDelta) {
    return;
  }
  if (end.result != http::DownloadSet::Finished::Result::kComplete) {
    fallBackToWhole(index, "a range request failed (" + failureOf(end) + ")");
    return;
  }
  Download& item = download(index);
  item.delta->arrived(range.first, std::move(end.body));
  reportProgress(item.delta->fetchedBytes(), item.delta->bytesToFetch(), item.context);
  appendDelta(index);
}

void StagingRun::appendDelta(std::size_t index) {
  for (auto& job : download(index).delta->startableJobs()) {
    postJob([this, index, job = std::move(job)]() -> std::function<void()> {
      return [this, index, step = job()] { onDeltaStep(index, step); };
    });
  }
}

void StagingRun::onDeltaStep(std::size_t index, const DeltaBuild::Step& step) {
  if (abandoned(index) || download(index).route != Route::kDelta) {
    return;
  }
  Download& item = download(index);
  item.delta->finished(step);
  if (item.deltaFailed) {
    item.deltaFailed = false;
    fallBackToWhole(index, std::move(item.wholeReason));
    return;
  }
  if (step.error) {
    fallBackToWhole(index, "building it from the old copy failed (" + messageOf(step.error) + ")");
    return;
  }
  if (item.delta->digest().empty()) {
    appendDelta(index);
    return;
  }
  std::string digest = item.delta->digest();
  item.reusedBytes = item.delta->reusedBytes();
  item.fetchedBytes = item.delta->fetchedBytes();
  item.delta.reset();
  setRoute(index, Route::kWhole);
  onVerified(index, Verification{std::move(digest), nullptr});
}

void StagingRun::fallBackToWhole(std::size_t index, std::string reason) {
  Download& item = download(index);
  item.wholeReason = std::move(reason);
  cancelRanges(index);
  if (item.delta && item.delta->writing()) {
    // Its running append still writes the staged file: the fall back waits for it.
    item.deltaFailed = true;
    return;
  }
  if (item.delta) {
    // A job's last hold on the file may outlive the build: it must not write.
    item.delta->stopWriting();
  }
  item.delta.reset();
  setRoute(index, Route::kWhole);
  item.reusedBytes = -1;
  requeueFirst(index);
}

void StagingRun::cancelRanges(std::size_t index) {
  cancelTransfers(index, {Transfer::Kind::kRange});
}

}  // namespace updater
