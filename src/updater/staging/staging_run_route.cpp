#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "formats/tool_files.hpp"
#include "updater/apply/target_directory.hpp"
#include "updater/staging/staging_run.hpp"

// What the delta route returned, handed to the plan; and the starts before a
// check ends that a plan made meanwhile may lead to.
namespace updater {

void StagingRun::takeRouteEvents() {
  while (std::optional<RouteEvent> event = route_.takeEvent()) {
    const std::size_t index = event->entry;
    std::visit(
        [this, index](auto& what) {
          using What = std::decay_t<decltype(what)>;
          if constexpr (std::is_same_v<What, RouteEvent::Building>) {
            plan_.building(index);
          } else if constexpr (std::is_same_v<What, RouteEvent::Planned>) {
            plannedEarly(index, what);
          } else if constexpr (std::is_same_v<What, RouteEvent::Applying>) {
            plan_.applying(index, what.bytes);
          } else if constexpr (std::is_same_v<What, RouteEvent::PatchFailed>) {
            outcomes_.patchFailed(index, std::move(what.reason));
          } else if constexpr (std::is_same_v<What, RouteEvent::Built>) {
            outcomes_.cameBuilt(index, what);
            plan_.built(index);
            onVerified(index, Verification{std::move(what.digest), nullptr});
          } else if constexpr (std::is_same_v<What, RouteEvent::FellBack>) {
            outcomes_.cameWhole(index, std::move(what.reason));
            plan_.fellBack(index);
          } else if constexpr (std::is_same_v<What, RouteEvent::Progress>) {
            reportProgress(what.fetched, what.total, downloads_[index]->context());
          } else {
            static_assert(std::is_same_v<What, RouteEvent::ThreadsRanOut>);
            runner_.warnThreadsRanOut();
          }
        },
        event->what);
  }
}

void StagingRun::plannedEarly(std::size_t index, const RouteEvent::Planned& planned) {
  const StagingPlan::EarlyPlan early{
      .pays = !planned.whyWhole,
      .oldBytes = planned.whyWhole ? 0 : common::regularFileSize(requests_[index].path),
      .transferRoom = runner_.hasRoom()};
  const std::optional<StagingPlan::Start> start = plan_.plannedEarly(index, early);
  if (!start) {
    return;  // the route keeps its plan for the check's verdict
  }
  std::optional<DeltaRoute::Files> files = claimEarly(index);
  if (!files) {
    plan_.notStartedEarly(index);
    return;
  }
  if (planned.threadsRanOut) {
    runner_.warnThreadsRanOut();
  }
  if (start->step == StagingStep::kBuild) {
    route_.buildEarly(index, std::move(*files));
    return;
  }
  route_.drop(index);  // its whole download is the run's
  early_[index].reason = *planned.whyWhole;
  try {
    downloads_[index]->start(runner_, index, *files, start->stopAt);
  } catch (const common::Error&) {
    // recovery point: its attempt after the check meets the fault itself; what
    // the failed start made goes, since nothing was staged before it
    dropEarly(index, true);
    plan_.notStartedEarly(index);
  }
}

std::optional<DeltaRoute::Files> StagingRun::claimEarly(std::size_t index) {
  const StageRequest& entry = requests_[index];
  const ProgressContext context{entry.path, formats::pendingPathOf(entry.path), entry.currentFile,
                                totalFiles_};
  std::optional<DeltaRoute::Files> files;
  try {
    TargetDirectory directory = openTargetDirectory(entry.path, true);
    if (!directory.refusal.empty()) {
      return std::nullopt;
    }
    EntryFiles local = entryFilesIn(std::move(directory.fd), entry.path);
    // Only where nothing is staged: a staged file is the check's to read and to
    // clean, and one made now can go again if the target proves up to date.
    struct stat staged {};
    if (::fstatat(local.staged.at(), local.staged.name.c_str(), &staged, AT_SYMLINK_NOFOLLOW) ==
            0 ||
        errno != ENOENT) {
      return std::nullopt;
    }
    files = attemptFiles(entry, std::move(local));
  } catch (const common::Error&) {
    // recovery point: the check or the attempt after it meets the fault itself
    return std::nullopt;
  }
  if (!checks_.claimStagedFile(index)) {
    return std::nullopt;
  }
  downloads_[index] = std::make_unique<FileDownload>(context, StagedDigest{});
  return files;
}

void StagingRun::confirmEarly(std::size_t index) {
  plan_.confirmEarly(index);
  auto early = early_.extract(index);
  if (!early) {
    route_.confirm(index);
    return;
  }
  outcomes_.cameWhole(index, std::move(early.mapped().reason));
  if (early.mapped().verified) {
    onVerified(index, std::move(*early.mapped().verified));
  }
}

void StagingRun::dropEarly(std::size_t index, bool removeStaged) {
  runner_.cancel(index, {Transfer::Kind::kFile});
  route_.drop(index);
  downloads_[index]->stop();
  early_.erase(index);
  if (removeStaged) {
    removeStagedFile(requests_[index].path);
  }
}

}  // namespace updater
