#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/ordered_pool.hpp"
#include "crypto/lane_width.hpp"
#include "updater/staging/staging.hpp"
#include "updater/staging/transfer_runner.hpp"

namespace updater {

// What the up-to-date check of one entry found: whether the target has the
// catalog digest already, and (when it does not) whether its directory may be
// written, and the digest of the staged file; or the error that stopped it.
struct EntryCheck {
  bool targetMatches = false;
  std::int64_t targetSize = 0;  // of a regular target
  std::string targetDigest;     // of a regular target that does not match
  std::string refusal;          // why the target must not be written
  StagedDigest staged;
  std::exception_ptr error;
};

// The entries that each job checks, formed as the entries are walked in
// order: a few consecutive targets a job, except large ones, which are put
// aside and, once the walk is over, checked largest first, up to `laneWidth`
// of like size a job, so that they share the hasher's lanes evenly (among
// consecutive entries a large file has no peer, and the lanes would hash it
// alone); and no more a job than spreads them over all `workers`.
class CheckBatcher {
 public:
  CheckBatcher(std::size_t entries, std::size_t laneWidth, std::size_t workers)
      : entries_(entries), laneWidth_(laneWidth), workers_(std::max<std::size_t>(workers, 1)) {}

  bool done() const { return walked_ == entries_ && nextLarge_ == large_.size(); }
  struct Batch {
    std::vector<std::size_t> entries;  // empty once done()
    bool large = false;                // entries put aside for their size
  };
  // The next job's entries, asking `sizeOf` for the size of each target walked
  // (0 for none).
  Batch next(const std::function<std::int64_t(std::size_t)>& sizeOf);

 private:
  const std::size_t entries_;
  const std::size_t laneWidth_;
  const std::size_t workers_;
  std::size_t groupSize_ = 0;  // of large targets, once the walk is over
  std::size_t walked_ = 0;
  std::vector<std::pair<std::int64_t, std::size_t>> large_;  // size, entry
  std::size_t nextLarge_ = 0;
};

// The up-to-date checks of a run's entries, a batch a job (CheckBatcher),
// posted a few jobs ahead of the steps that take them.
class EntryChecks {
 public:
  EntryChecks(const std::vector<StageRequest>& requests, crypto::LaneWidth lanes)
      : requests_(requests),
        lanes_(lanes),
        batcher_(requests.size(), static_cast<std::size_t>(lanes), common::workerCount()),
        stagedClaims_(std::make_unique<std::atomic<Claim>[]>(requests.size())) {}

  // Whether the next batch may be posted while `runner` has that many steps
  // outstanding.
  bool due(const TransferRunner& runner) const;
  // Posts the next batch to `runner`, leaving out the entries that are
  // `abandoned`; each entry's check comes to `checked` as a step. Returns the
  // batch's entries when they are large targets, whose index headers may be
  // asked for while they are hashed; nothing for others.
  std::vector<std::size_t> post(TransferRunner& runner,
                                std::function<void(std::size_t, EntryCheck&&)> checked,
                                const std::function<bool(std::size_t)>& abandoned);
  // Takes the staged file of `entry`, still being checked, for a build or a
  // download that begins before its check ends: its check will not read the
  // file (nor clean its path). False when the check reads it already.
  bool claimStagedFile(std::size_t entry) { return claim(entry, Claim::kBuild); }

 private:
  enum class Claim : std::uint8_t { kNone, kCheck, kBuild };
  bool claim(std::size_t entry, Claim by);
  std::vector<EntryCheck> checkEntries(std::span<const std::size_t> entries);

  const std::vector<StageRequest>& requests_;
  const crypto::LaneWidth lanes_;
  CheckBatcher batcher_;
  // Who has the staged file of each entry: its check, or an early build.
  std::unique_ptr<std::atomic<Claim>[]> stagedClaims_;
};

}  // namespace updater
