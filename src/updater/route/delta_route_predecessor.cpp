#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "updater/route/delta_route.hpp"
#include "updater/route/predecessor_file.hpp"

// A new file whose description names predecessors, files of the previous
// release that the client may hold at other paths: the version itself is
// copied from one, or its patch is taken from the one that holds the version
// it starts from, exactly as for a changed target.
namespace updater {

void DeltaRoute::takePredecessor(std::size_t entry) {
  Entry& item = *find(entry);
  if (item.description->predecessors.empty()) {
    deltaOrCopy(entry, "the server has no patch or copy of it");
    return;
  }
  item.stage = Stage::kPredecessor;
  // A read of up to kMaximumPatchedBytes: not on the loop.
  source_.post([this, entry, description = *item.description, digest = item.files.digest,
                staged = item.files.local.staged]() -> std::function<void()> {
    auto outcome =
        std::make_shared<PredecessorOutcome>(readPredecessor(description, digest, staged));
    return [this, entry, outcome] { predecessorRead(entry, std::move(*outcome)); };
  });
}

void DeltaRoute::predecessorRead(std::size_t entry, PredecessorOutcome outcome) {
  Entry* item = find(entry);
  if (item == nullptr) {
    return;
  }
  switch (outcome.kind) {
    case PredecessorOutcome::Kind::kCopied:
      entries_.erase(entry);
      tell(entry, RouteEvent::Built{std::move(outcome.digest), 0, 0, RouteEvent::Way::kLocal,
                                    std::move(outcome.path)});
      return;
    case PredecessorOutcome::Kind::kReference:
      // From here on the predecessor is its target, only ever read.
      item->target->digest = std::move(outcome.digest);
      item->files.local.target = std::move(outcome.file);
      patchOrNext(entry);
      return;
    case PredecessorOutcome::Kind::kNone:
      break;
  }
  tell(entry, RouteEvent::PatchFailed{std::move(outcome.failure)});
  deltaOrCopy(entry, "the server has no copy of it");
}

void DeltaRoute::newFileAnswered() {
  std::vector<std::size_t> waiting;
  for (const auto& [entry, item] : entries_) {
    if (item.stage == Stage::kAwaitingAsk) {
      waiting.push_back(entry);
    }
  }
  for (const std::size_t entry : waiting) {
    describe(entry);  // asks, waits again, or gives way
  }
}

void DeltaRoute::patchOrNext(std::size_t entry) {
  Entry& item = *find(entry);
  const std::string& from = item.target->digest;
  const formats::ReleaseDescription::Version* version = offer_.find(item.files.digest);
  const std::optional<std::size_t> patch = item.description->patchFrom(from);
  if (!patch) {
    deltaOrCopy(entry, "the server has no patch or copy of it");
    return;
  }
  if (version != nullptr && version->file == *item.description) {
    item.bundled =
        http::ByteRange{version->patchOffsets[*patch], version->file.patches[*patch].bytes};
  }
  awaitRoom(entry, RouteEvent::Way::kPatch);
}

}  // namespace updater
