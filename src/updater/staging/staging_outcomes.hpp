#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "updater/plan/staging_ledger.hpp"
#include "updater/staging/staging.hpp"

namespace updater {

// What the settled entries of a staging run came to, kept until their outcomes
// are taken in request order: taking one prints its lines, lists its staged
// file, or raises what ends the run.
class StagingOutcomes {
 public:
  StagingOutcomes(const std::vector<StageRequest>& requests, bool verbose)
      : requests_(requests), verbose_(verbose) {}

  void failed(std::size_t index, std::exception_ptr error) { errors_[index] = std::move(error); }
  void refused(std::size_t index, std::string reason) { refusals_[index] = std::move(reason); }
  // Its staged file matched the catalog: the file it is.
  void staged(std::size_t index, common::FileIdentity identity) { staged_[index] = identity; }
  // Its staged file has the digest text `digest` instead of the catalog's.
  void mismatched(std::size_t index, std::string digest) { mismatches_[index] = std::move(digest); }
  // Its staged file was built by delta, from `reused` bytes of the old copy and
  // `fetched` bytes of ranges.
  void cameByDelta(std::size_t index, std::int64_t reused, std::int64_t fetched);
  // A delta gave way to the whole download, for `reason` in plain words.
  void cameWhole(std::size_t index, std::string reason);

  // Takes `outcome`, of entry `index`, in its turn. Throws ExitRequest(255)
  // after a mismatch report, or the error that ended a failed entry.
  void take(std::size_t index, StageOutcome outcome);
  StagingResult& result() { return result_; }

 private:
  // How a download that tried a delta came, for its -v line.
  struct Route {
    std::int64_t reused = -1;  // when a delta made the staged file
    std::int64_t fetched = 0;
    std::string wholeReason;
  };

  const std::vector<StageRequest>& requests_;
  const bool verbose_;
  std::map<std::size_t, std::exception_ptr> errors_;
  std::map<std::size_t, std::string> refusals_;
  std::map<std::size_t, common::FileIdentity> staged_;
  std::map<std::size_t, std::string> mismatches_;
  std::map<std::size_t, Route> routes_;
  StagingResult result_;
};

}  // namespace updater
