#include "updater/staging/staging_outcomes.hpp"

#include <utility>

#include "common/output.hpp"

namespace updater {

void StagingOutcomes::cameByDelta(std::size_t index, std::int64_t reused, std::int64_t fetched) {
  routes_[index] = {reused, fetched, {}};
}

void StagingOutcomes::cameWhole(std::size_t index, std::string reason) {
  routes_[index] = {-1, 0, std::move(reason)};
}

void StagingOutcomes::take(std::size_t index, StageOutcome outcome) {
  const StageRequest& entry = requests_[index];
  if (const auto route = routes_.find(index); verbose_ && route != routes_.end()) {
    // Said even when the file then fails: the fall back may explain why.
    if (route->second.reused >= 0) {
      common::printOut("Delta: " + entry.path + ": reused " + std::to_string(route->second.reused) +
                       " bytes, fetched " + std::to_string(route->second.fetched) + " bytes");
    } else {
      common::printOut("Whole download: " + entry.path + ": " + route->second.wholeReason);
    }
  }
  switch (outcome) {
    case StageOutcome::kUpToDate:
      break;
    case StageOutcome::kAlreadyStaged:
      if (verbose_) {
        common::printOut("Already downloaded: " + entry.path);
      }
      result_.files.push_back({entry.path, staged_.at(index)});
      break;
    case StageOutcome::kRefused:
      reportRefusal(entry.path, refusals_.at(index));
      ++result_.refused;
      break;
    case StageOutcome::kDownloaded:
      result_.files.push_back({entry.path, staged_.at(index)});
      break;
    case StageOutcome::kMismatch:
      rejectStagedFile(entry.path, entry.digest, mismatches_.at(index));
    case StageOutcome::kFailed:
      std::rethrow_exception(errors_.at(index));
  }
  staged_.erase(index);
  refusals_.erase(index);
  routes_.erase(index);
}

}  // namespace updater
