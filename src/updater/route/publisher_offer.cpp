#include "updater/route/publisher_offer.hpp"

#include <algorithm>
#include <utility>

namespace updater {

void PublisherOffer::foundOutOfDate() {
  ++outOfDate_;
  if (release_ == Release::kUnasked && !catalog_.digest.empty() &&
      outOfDate_ >= std::max(kDescribedAlone, catalog_.entries / kReleaseShare)) {
    release_ = Release::kDue;
  }
}

void PublisherOffer::releaseArrived(std::optional<formats::ReleaseDescription> release) {
  release_ = release ? Release::kInHand : Release::kUnusable;
  releaseDescription_ = std::move(release);
  describedSome_ = describedSome_ || releaseDescription_.has_value();
}

const formats::ReleaseDescription::Version* PublisherOffer::find(std::string_view digest) const {
  return releaseDescription_ ? releaseDescription_->find(digest) : nullptr;
}

std::optional<std::int64_t> PublisherOffer::newFileRoute(std::string_view digest) const {
  if (!asksDescriptions()) {
    return std::nullopt;
  }
  if (releaseComing() || (release_ != Release::kInHand && asksNewDescriptions())) {
    return formats::kMinimumDescribedBytes;
  }
  const formats::ReleaseDescription::Version* version = find(digest);
  if (version == nullptr || (version->file.copyBytes == 0 && version->file.predecessors.empty())) {
    return std::nullopt;
  }
  return std::max(version->file.size, formats::kMinimumDescribedBytes);
}

}  // namespace updater
