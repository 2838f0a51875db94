#include "updater/staging/staging_outcomes.hpp"

#include <utility>
#include <variant>

#include "common/output.hpp"

namespace updater {

void StagingOutcomes::cameBuilt(std::size_t index, const RouteEvent::Built& built) {
  kept_[index].route = Built{built.way, built.reused, built.fetched, built.from};
}

void StagingOutcomes::cameWhole(std::size_t index, std::string reason) {
  if (!reason.empty()) {
    kept_[index].route = std::move(reason);
  }
}

void StagingOutcomes::take(std::size_t index, StageOutcome outcome) {
  const StageRequest& entry = requests_[index];
  auto found = kept_.extract(index);
  Kept kept = found ? std::move(found.mapped()) : Kept{};
  if (verbose_ && kept.patchFailure) {
    common::printOut("Patch not used: " + entry.path + ": " + *kept.patchFailure);
  }
  if (verbose_ && kept.route) {
    // Said even when the file then fails: the fall back may explain why.
    if (const auto* built = std::get_if<Built>(&*kept.route)) {
      const std::string fetched = "fetched " + std::to_string(built->fetched) + " bytes";
      switch (built->way) {
        case RouteEvent::Way::kDelta:
          common::printOut("Delta: " + entry.path + ": reused " + std::to_string(built->reused) +
                           " bytes, " + fetched);
          break;
        case RouteEvent::Way::kPatch:
          common::printOut("Patch: " + entry.path + ": " + fetched);
          break;
        case RouteEvent::Way::kCopy:
          common::printOut("Copy: " + entry.path + ": " + fetched);
          break;
        case RouteEvent::Way::kLocal:
          common::printOut("Copy: " + entry.path + ": from " + built->from + ", no bytes fetched");
          break;
      }
    } else {
      common::printOut("Whole download: " + entry.path + ": " + std::get<std::string>(*kept.route));
    }
  }
  switch (outcome) {
    case StageOutcome::kUpToDate:
      return;
    case StageOutcome::kAlreadyStaged:
      if (verbose_) {
        common::printOut("Already downloaded: " + entry.path);
      }
      result_.files.push_back({entry.path, std::get<common::FileIdentity>(kept.settled.value())});
      return;
    case StageOutcome::kRefused:
      reportRefusal(entry.path, std::get<Refusal>(kept.settled.value()).reason);
      ++result_.refused;
      return;
    case StageOutcome::kDownloaded:
      result_.files.push_back({entry.path, std::get<common::FileIdentity>(kept.settled.value())});
      return;
    case StageOutcome::kMismatch:
      rejectStagedFile(entry.path, entry.digest, std::get<Mismatch>(kept.settled.value()).digest);
    case StageOutcome::kFailed:
      std::rethrow_exception(std::get<std::exception_ptr>(kept.settled.value()));
  }
}

}  // namespace updater
