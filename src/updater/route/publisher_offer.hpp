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
  // A description was found, or missed (while none has been found yet).
  void described() { describedSome_ = true; }
  void missed() { descriptionMisses_ += describedSome_ ? 0 : 1; }

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
  // The size of the version `digest` when the release description is in hand
  // and the publisher has its compressed copy: a new file may come by it.
  std::optional<std::int64_t> describedCopy(std::string_view digest) const;

 private:
  const RunCatalog catalog_;
  bool describedSome_ = false;
  std::int64_t descriptionMisses_ = 0;
  Release release_ = Release::kUnasked;
  std::optional<formats::ReleaseDescription> releaseDescription_;
  std::int64_t outOfDate_ = 0;  // entries found out of date so far
};

}  // namespace updater
