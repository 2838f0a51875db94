#include <optional>
#include <string>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "delta/block_index.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"
#include "updater/route/delta_route.hpp"

// The route of an entry before its check ends: the probe of a large target
// while it is hashed (its index's start, then the rest when the size it shows
// differs, and the plan made from it), and the build that the run may start
// on that plan, told of once the check confirms it.
namespace updater {

using Finished = http::DownloadSet::Finished;

void DeltaRoute::probe(std::size_t entry, const std::string& oldPath, const std::string& digest) {
  if (common::regularFileSize(oldPath) < kProbedTargetBytes) {
    return;
  }
  Entry item;
  item.oldPath = oldPath;
  item.probedIndexUrl = formats::remoteUrl(formats::blockIndexPathOf(digest));
  try {
    // A server that ignores the range sends the whole index, taken as such up
    // to the longest that a reader accepts.
    source_.fetch({Transfer::Kind::kProbe, entry}, item.probedIndexUrl,
                  http::DownloadSet::ByteRange{0, kProbeBytes},
                  static_cast<std::size_t>(kProbeBytes),
                  static_cast<std::size_t>(delta::kMaximumIndexBytes));
  } catch (const common::CurlError&) {
    // recovery point: without a probe the index is asked for after the digest
    return;
  }
  entries_.insert_or_assign(entry, std::move(item));
}

void DeltaRoute::checked(std::size_t entry) { source_.cancel(entry, {Transfer::Kind::kProbe}); }

void DeltaRoute::probeEnded(std::size_t entry, Finished& end) {
  Entry& item = *find(entry);
  // A size that differs makes an out-of-date target likely, nothing more: the
  // header is not signed. The rest of the index is asked for meanwhile.
  const bool complete = end.result == Finished::Result::kComplete;
  const std::optional<std::int64_t> size =
      complete ? delta::indexedFileSize(end.body) : std::nullopt;
  const std::optional<std::int64_t> length = complete ? delta::indexLength(end.body) : std::nullopt;
  const bool sameSize = size && *size == common::regularFileSize(item.oldPath);
  if (complete && end.wholeAnswer) {
    // The whole index: planned now, or kept for the check's verdict.
    if (size && !sameSize) {
      planProbed(entry, std::move(end.body));
    } else {
      item.stage = Stage::kPrefetched;
      item.prefetched = std::move(end);
    }
    return;
  }
  if (!size || !length || *length <= std::ssize(end.body) || sameSize) {
    return;
  }
  try {
    const std::int64_t rest = *length - std::ssize(end.body);
    source_.fetch({Transfer::Kind::kPrefetch, entry}, item.probedIndexUrl,
                  http::DownloadSet::ByteRange{std::ssize(end.body), rest},
                  static_cast<std::size_t>(rest),
                  static_cast<std::size_t>(delta::kMaximumIndexBytes));
    item.probed = std::move(end.body);
    item.stage = Stage::kPrefetching;
  } catch (const common::CurlError&) {
    // recovery point: the index is asked for again after the digest
  }
}

void DeltaRoute::prefetchEnded(std::size_t entry, Finished& end) {
  Entry& item = *find(entry);
  const bool begun = item.stage == Stage::kIndex;  // its route waits for the index
  if (end.result != Finished::Result::kComplete) {
    if (begun) {
      indexArrived(entry, end);
    } else {
      item.stage = Stage::kPrefetched;
      item.prefetched = std::move(end);
    }
    return;
  }
  std::string body =
      end.wholeAnswer ? std::move(end.body) : std::exchange(item.probed, {}) + end.body;
  if (begun) {
    plan(entry, Stage::kPlanning, item.files.local.target, std::move(body));
  } else {
    planProbed(entry, std::move(body));
  }
}

void DeltaRoute::planProbed(std::size_t entry, std::string body) {
  // Planned while the target is still hashed; used only if it is out of date.
  std::optional<EntryFiles> local;
  try {
    local = openEntryFiles(find(entry)->oldPath).files;
  } catch (const common::Error&) {
    // recovery point: the check meets the fault itself
  }
  if (local) {
    plan(entry, Stage::kPlanningEarly, std::move(local->target), std::move(body));
  } else {
    find(entry)->stage = Stage::kProbed;  // its index is asked for after the digest
  }
}

void DeltaRoute::buildEarly(std::size_t entry, Files files) {
  Entry& item = *find(entry);
  TOLVEX_CHECK(item.stage == Stage::kPlannedEarly, "an early build without an early plan");
  item.files = std::move(files);
  item.stage = Stage::kBuildingEarly;
  Planned outcome = std::exchange(item.earlyPlan, {});
  if (std::optional<std::string> why = whyWhole(outcome)) {
    // The server stopped serving ranges since: told once the check ends.
    fallBack(entry, std::move(*why));
    return;
  }
  startBuild(entry, std::move(*outcome.plan));
}

void DeltaRoute::confirm(std::size_t entry) {
  Entry& item = *find(entry);
  switch (item.stage) {
    case Stage::kBuildingEarly:
      item.stage = Stage::kBuilding;
      if (!item.build->digest().empty()) {
        tellBuilt(entry);
      }
      return;
    case Stage::kFailingEarly:
      item.stage = Stage::kFailing;
      return;
    case Stage::kFailedEarly:
      item.stage = Stage::kBuilding;
      fallBack(entry, std::move(item.reason));
      return;
    default:
      common::failCheck(__FILE__, __LINE__, "early", "a delta route confirmed that began late");
  }
}

}  // namespace updater
