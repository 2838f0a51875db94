#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/file.hpp"
#include "updater/plan/staging_ledger.hpp"
#include "updater/route/route_event.hpp"
#include "updater/staging/staging.hpp"

namespace updater {

// What the settled entries of a staging run came to, kept until their outcomes
// are taken in request order: taking one prints its lines, lists its staged
// file, or raises what ends the run.
class StagingOutcomes {
 public:
  StagingOutcomes(const std::vector<StageRequest>& requests, bool verbose)
      : requests_(requests), verbose_(verbose) {}

  void failed(std::size_t index, std::exception_ptr error) {
    kept_[index].settled = std::move(error);
  }
  void refused(std::size_t index, std::string reason) {
    kept_[index].settled = Refusal{std::move(reason)};
  }
  // Its staged file matched the catalog: the file it is.
  void staged(std::size_t index, common::FileIdentity identity) { kept_[index].settled = identity; }
  // Its staged file has the digest text `digest` instead of the catalog's.
  void mismatched(std::size_t index, std::string digest) {
    kept_[index].settled = Mismatch{std::move(digest)};
  }
  // Its staged file was built as `built` tells: `way`, from `reused` bytes of
  // the old copy and `fetched` bytes of ranges, patch or copy, or `from` a
  // predecessor.
  void cameBuilt(std::size_t index, const RouteEvent::Built& built);
  // Its patch was not used, for `reason` in plain words.
  void patchFailed(std::size_t index, std::string reason) {
    kept_[index].patchFailure = std::move(reason);
  }
  // A delta gave way to the whole download, for `reason` in plain words
  // (none: nothing to tell).
  void cameWhole(std::size_t index, std::string reason);

  // Takes `outcome`, of entry `index`, in its turn. Throws ExitRequest(255)
  // after a mismatch report, or the error that ended a failed entry.
  void take(std::size_t index, StageOutcome outcome);
  StagingResult& result() { return result_; }

 private:
  // How a download that tried a route came, for its -v line: built by delta,
  // patch or copy from so many bytes reused and fetched, or whole for a reason.
  struct Built {
    RouteEvent::Way way = RouteEvent::Way::kDelta;
    std::int64_t reused = 0;
    std::int64_t fetched = 0;
    std::string from;
  };
  using Route = std::variant<Built, std::string>;
  // What an entry settled with, as its outcome needs it: the staged file it
  // is, why it was refused, the digest that did not match, or what failed it.
  struct Refusal {
    std::string reason;
  };
  struct Mismatch {
    std::string digest;
  };
  using Settled = std::variant<common::FileIdentity, Refusal, Mismatch, std::exception_ptr>;
  // Everything kept of one entry until its outcome is taken.
  struct Kept {
    std::optional<Route> route;
    std::optional<std::string> patchFailure;
    std::optional<Settled> settled;
  };

  const std::vector<StageRequest>& requests_;
  const bool verbose_;
  // Only the entries not yet taken: a catalog may list many files.
  std::map<std::size_t, Kept> kept_;
  StagingResult result_;
};

}  // namespace updater
