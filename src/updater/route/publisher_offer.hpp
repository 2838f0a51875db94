#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "formats/release_description.hpp"

namespace updater {

// The catalog whose release description and bundle a run may use: its digest
// text (empty: they are not asked for) and its number of entries.
struct RunCatalog {
  std::string digest;
  std::int64_t entries = 0;
};

// What a run has learnt of what the publisher offers besides its files:
// whether it keeps descriptions at all, and where the release description
// stands. Pure bookkeeping, for the route and the staging run to ask; the
// route fetches.
class PublisherOffer {
 public:
  // Against a publisher that has no descriptions, the run stops asking after
  // this many misses, so that its files do not cost a request each.
  static constexpr std::int64_t kDescriptionMisses = 3;
  // Once this many entries (or 1 in kReleaseShare of the catalog's, when more)
  // are found out of date, the release description is asked for once, for
  // them all: a small change costs no large file, a large one no request per
  // file. The entries that began before ask for their own.
  static constexpr std::int64_t kDescribedAlone = 16;
  static constexpr std::int64_t kReleaseShare = 32;

  enum class Release : std::uint8_t {
    kUnasked,
    kDue,  // enough entries are out of date: the next to begin asks for it
    kAsked,
    kInHand,
    kUnusable,  // missing, damaged or not to be had: every file is described alone
  };

  explicit PublisherOffer(RunCatalog catalog = {}) : catalog_(std::move(catalog)) {}

  const RunCatalog& catalog() const { return catalog_; }
  // Whether descriptions are still asked for in this run.
  bool asksDescriptions() const {
    return describedSome_ || descriptionMisses_ < kDescriptionMisses;
  }
  // Whether a new file still asks for its own description. Its miss is no
  // sign that the publisher keeps none (the file may be too small to be
  // described), so it is counted apart: a publisher without them costs at
  // most kDescriptionMisses wasted requests of each kind.
  bool asksNewDescriptions() const {
    return asksDescriptions() && (describedNew_ || newMisses_ < kDescriptionMisses);
  }
  // Whether a new file may ask now, while `asking` others wait for theirs:
  // until one is found, no more are asked at once than may still miss.
  bool mayAskNew(std::int64_t asking) const {
    return asksNewDescriptions() && (describedNew_ || newMisses_ + asking < kDescriptionMisses);
  }
  // A description was found, or missed (while none of its kind has been
  // found yet), for a changed target or, with `newFile`, for a new file.
  void described(bool newFile = false) {
    describedSome_ = true;
    describedNew_ = describedNew_ || newFile;
  }
  void missed(bool newFile = false) {
    if (newFile) {
      newMisses_ += describedNew_ ? 0 : 1;
    } else {
      descriptionMisses_ += describedSome_ ? 0 : 1;
    }
  }

  // Another entry was found out of date: enough of them make the release
  // description due.
  void foundOutOfDate();
  Release release() const { return release_; }
  // Whether the release description is due or on its way: a new file waits for it.
  bool releaseComing() const { return release_ == Release::kDue || release_ == Release::kAsked; }
  void releaseAsked() { release_ = Release::kAsked; }
  // It arrived, decoded and parsed; nothing when it is not to be had.
  void releaseArrived(std::optional<formats::ReleaseDescription> release);
  // The release description's version `digest`, when it is in hand and describes it.
  const formats::ReleaseDescription::Version* find(std::string_view digest) const;
  // Whether a new file of version `digest` takes its route, to ask what the
  // publisher has for it (a predecessor it may hold at another path, or its
  // copy), and then the memory its plan holds for it: the version's size from
  // the release description in hand, which must describe it; the least
  // described size while that is coming or its own description is asked for.
  // Nothing when it comes whole.
  std::optional<std::int64_t> newFileRoute(std::string_view digest) const;

 private:
  const RunCatalog catalog_;
  bool describedSome_ = false;
  std::int64_t descriptionMisses_ = 0;
  bool describedNew_ = false;
  std::int64_t newMisses_ = 0;
  Release release_ = Release::kUnasked;
  std::optional<formats::ReleaseDescription> releaseDescription_;
  std::int64_t outOfDate_ = 0;  // entries found out of date so far
};

}  // namespace updater
