#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "compress/zstd_codec.hpp"
#include "formats/release_description.hpp"
#include "formats/tool_files.hpp"
#include "updater/route/delta_route.hpp"

// The release description, asked for once when many entries ask for
// descriptions, and the patches it places in the bundle, fetched as its
// ranges, many per request.
namespace updater {
namespace {

using Finished = http::DownloadSet::Finished;

// The entries of one bundle request, whose ranges it asks for: the patches
// sorted, those that overlap or touch in one range (two files of one version
// share their patch).
std::vector<http::ByteRange> rangesOf(std::vector<http::ByteRange> patches) {
  std::ranges::sort(patches, {}, &http::ByteRange::first);
  std::vector<http::ByteRange> ranges;
  for (const http::ByteRange& patch : patches) {
    if (!ranges.empty() && patch.first <= ranges.back().first + ranges.back().length) {
      http::ByteRange& last = ranges.back();
      last.length = std::max(last.length, patch.first + patch.length - last.first);
    } else {
      ranges.push_back(patch);
    }
  }
  return ranges;
}

}  // namespace

void DeltaRoute::describe(std::size_t entry) {
  using Release = PublisherOffer::Release;
  switch (offer_.release()) {
    case Release::kInHand:
      describeFromRelease(entry);
      return;
    case Release::kAsked:
      find(entry)->stage = Stage::kAwaitingRelease;
      return;
    case Release::kDue:
      fetchRelease(entry);
      return;
    case Release::kUnasked:
    case Release::kUnusable:
      break;
  }
  describeAlone(entry);
}

void DeltaRoute::fetchRelease(std::size_t entry) {
  Entry& item = *find(entry);
  try {
    source_.fetch(
        {Transfer::Kind::kRelease, entry},
        besideIndex(item.files, formats::releaseDescriptionNameOf(offer_.catalog().digest)),
        std::nullopt, static_cast<std::size_t>(formats::kMaximumReleaseDescriptionBytes), 0);
  } catch (const common::CurlError&) {
    // recovery point: every file is described alone
    offer_.releaseArrived(std::nullopt);
    describeAlone(entry);
    return;
  }
  offer_.releaseAsked();
  bundleUrl_ = besideIndex(item.files, formats::bundleNameOf(offer_.catalog().digest));
  item.stage = Stage::kAwaitingRelease;
}

void DeltaRoute::releaseEnded(Finished& end) {
  if (end.result != Finished::Result::kComplete) {
    releaseArrived(std::nullopt);
    return;
  }
  // Decoding up to kMaximumReleaseDescriptionBytes takes a while: not on the loop.
  source_.post([this, body = std::move(end.body)]() -> std::function<void()> {
    auto release = std::make_shared<std::optional<formats::ReleaseDescription>>();
    try {
      const std::string text = compress::decompressCopy(
          {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()},
          formats::kMaximumReleaseDescriptionBytes);
      *release = formats::parseReleaseDescription(text);
    } catch (const common::Error&) {
      // recovery point: damaged or malformed, it describes nothing
    }
    return [this, release] { releaseArrived(std::move(*release)); };
  });
}

void DeltaRoute::releaseArrived(std::optional<formats::ReleaseDescription> release) {
  offer_.releaseArrived(std::move(release));
  const bool inHand = offer_.release() == PublisherOffer::Release::kInHand;
  std::vector<std::size_t> waiting;
  for (const auto& [entry, item] : entries_) {
    if (item.stage == Stage::kAwaitingRelease) {
      waiting.push_back(entry);
    }
  }
  for (const std::size_t entry : waiting) {
    if (inHand) {
      describeFromRelease(entry);
    } else {
      describeAlone(entry);
    }
  }
}

void DeltaRoute::describeFromRelease(std::size_t entry) {
  Entry& item = *find(entry);
  item.stage = Stage::kDescribing;
  const formats::ReleaseDescription::Version* version = offer_.find(item.files.digest);
  if (version == nullptr) {
    deltaOrCopy(entry, "the server has no patch or copy of it");
    return;
  }
  item.description = version->file;
  if (item.target->digest.empty()) {
    takePredecessor(entry);
    return;
  }
  patchOrNext(entry);
}

bool DeltaRoute::bundleDue() const {
  if (serverRanges_ != ServerRanges::kLists) {
    return serverRanges_ != ServerRanges::kSinglesUntried || !trialEntry_;
  }
  // While patches of the bundle are fetched or applied, the entries that
  // follow them wait to share one request, unless they fill one already.
  std::int64_t bytes = 0;
  for (const std::size_t entry : bundleQueue_) {
    bytes += entries_.at(entry).bundled->length;
  }
  return bundleQueue_.size() >= kRangesPerRequest || bytes >= kBytesPerRangeRequest ||
         std::ranges::none_of(entries_, [](const auto& item) {
           return item.second.stage == Stage::kFrame && item.second.bundled;
         });
}

void DeltaRoute::startBundle() {
  // As many of the waiting patches as one request takes, the first always;
  // one only while the server is not known to answer several ranges at once.
  Transfer bundle{Transfer::Kind::kBundle, bundleQueue_.front()};
  std::vector<http::ByteRange> patches;
  std::int64_t bytes = 0;
  for (auto queued = bundleQueue_.begin(); queued != bundleQueue_.end();) {
    const http::ByteRange patch = *find(*queued)->bundled;
    const bool fits = patches.size() < kRangesPerRequest &&
                      bytes + patch.length <= kBytesPerRangeRequest &&
                      serverRanges_ == ServerRanges::kLists;
    if (!patches.empty() && !fits) {
      ++queued;
      continue;
    }
    find(*queued)->stage = Stage::kFrame;
    bundle.entries.push_back(*queued);
    patches.push_back(patch);
    bytes += patch.length;
    queued = bundleQueue_.erase(queued);
  }
  bundle.ranges = rangesOf(std::move(patches));
  try {
    if (bundle.ranges.size() == 1) {
      const http::ByteRange range = bundle.ranges.front();
      source_.fetch(bundle, bundleUrl_, range, static_cast<std::size_t>(range.length), 0);
      if (serverRanges_ == ServerRanges::kSinglesUntried) {
        trialEntry_ = bundle.entry;
      }
    } else {
      source_.fetchRanges(bundle, bundleUrl_);
    }
  } catch (const common::CurlError&) {
    // recovery point: each patch is asked for alone
    for (const std::size_t entry : bundle.entries) {
      patchAlone(entry);
    }
  }
}

void DeltaRoute::bundleEnded(const Transfer& bundle, Finished& end) {
  const std::vector<http::ByteRange>& asked = bundle.ranges;
  if (asked.size() == 1 && trialEntry_ == bundle.entry) {
    trialEntry_.reset();
  }
  if (asked.size() == 1 && end.wholeAnswer) {
    rangesIgnored();
    end.result = Finished::Result::kTransferFailed;
  }
  if (end.result == Finished::Result::kComplete && asked.size() == 1) {
    if (serverRanges_ == ServerRanges::kSinglesUntried) {
      serverRanges_ = ServerRanges::kSingles;
    }
    end.ranges.assign(1, std::move(end.body));
  } else if (end.result == Finished::Result::kComplete && end.ranges.size() < asked.size() &&
             serverRanges_ == ServerRanges::kLists) {
    serverRanges_ = ServerRanges::kSinglesUntried;  // as for a delta's ranges
  }
  for (const std::size_t entry : bundle.entries) {
    const Entry* item = find(entry);
    if (item == nullptr || item->stage != Stage::kFrame || !item->bundled) {
      continue;  // dropped since
    }
    const http::ByteRange patch = *item->bundled;
    const auto within = std::ranges::find_if(asked, [&patch](const http::ByteRange& range) {
      return range.first <= patch.first && patch.first < range.first + range.length;
    });
    const auto index = static_cast<std::size_t>(within - asked.begin());
    // Only a range that arrived whole and as asked (else it was not served).
    if (end.result != Finished::Result::kComplete || index >= end.ranges.size() ||
        std::cmp_not_equal(end.ranges[index].size(), asked[index].length)) {
      patchAlone(entry);
      continue;
    }
    applyFrame(entry,
               end.ranges[index].substr(static_cast<std::size_t>(patch.first - within->first),
                                        static_cast<std::size_t>(patch.length)));
  }
}

void DeltaRoute::patchAlone(std::size_t entry) {
  Entry& item = *find(entry);
  item.bundled.reset();
  item.stage = Stage::kFrameDue;
}

}  // namespace updater
