#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "common/errors.hpp"
#include "delta/block_index.hpp"
#include "formats/tool_files.hpp"
#include "updater/route/delta_route.hpp"
#include "updater/route/frame_build.hpp"

// The ways that a description opens: the patch from the target's version,
// else the compressed copy where it moves fewer bytes than the delta; each
// gives way to the next, and the last to the whole download.
namespace updater {
namespace {

using Finished = http::DownloadSet::Finished;

}  // namespace

common::Uri DeltaRoute::besideIndex(const Files& files, std::string_view name) {
  // The index's own URL, another last component.
  common::Uri url = files.indexUrl;
  url.path.replace(url.path.rfind('/') + 1, std::string::npos, name);
  return url;
}

void DeltaRoute::describeAlone(std::size_t entry) {
  Entry& item = *find(entry);
  if (item.target->digest.empty()) {
    const auto asking = std::ranges::count_if(entries_, [](const auto& other) {
      return other.second.stage == Stage::kDescribing && other.second.target->digest.empty();
    });
    if (!offer_.asksNewDescriptions()) {
      // Queued before the misses showed that the server describes no new files.
      fallBack(entry, "the server describes no new files");
      return;
    }
    if (!offer_.mayAskNew(asking)) {
      item.stage = Stage::kAwaitingAsk;  // until one is answered (newFileAnswered)
      return;
    }
  }
  item.stage = Stage::kDescribing;
  try {
    source_.fetch({Transfer::Kind::kDescription, entry},
                  besideIndex(item.files, formats::descriptionNameOf(item.files.digest)),
                  std::nullopt, static_cast<std::size_t>(formats::kMaximumDescriptionBytes), 0);
  } catch (const common::CurlError& error) {
    // recovery point: without a description it goes on as before there were any
    deltaOrCopy(entry, "no description of it from the server (" + error.message() + ")");
  }
}

void DeltaRoute::described(std::size_t entry, Finished& end) {
  Entry& item = *find(entry);
  const bool newFile = item.target->digest.empty();
  if (end.result != Finished::Result::kComplete) {
    // Missing (404) where the publisher has nothing for this version, or keeps
    // no descriptions at all.
    offer_.missed(newFile);
    deltaOrCopy(entry, "no description of it from the server (" + failureOf(end) + ")");
    if (newFile) {
      newFileAnswered();
    }
    return;
  }
  offer_.described(newFile);
  if (newFile) {
    newFileAnswered();  // they all may ask now
  }
  try {
    item.description = formats::parseFileDescription(end.body);
  } catch (const common::ValueError& error) {
    // recovery point: a description that offers nothing usable; the delta may still serve
    deltaOrCopy(entry, error.message());
    return;
  }
  if (newFile) {
    takePredecessor(entry);
    return;
  }
  patchOrNext(entry);
}

void DeltaRoute::deltaOrCopy(std::size_t entry, std::string whyNone) {
  Entry& item = *find(entry);
  item.way = RouteEvent::Way::kDelta;
  if (item.target->size >= delta::kMinimumIndexedBytes) {
    fetchIndex(entry);
  } else {
    deltaFailed(entry, std::move(whyNone));
  }
}

void DeltaRoute::deltaFailed(std::size_t entry, std::string reason) {
  if (copyBytes(*find(entry)) > 0) {
    awaitRoom(entry, RouteEvent::Way::kCopy);
  } else {
    fallBack(entry, std::move(reason));
  }
}

std::int64_t DeltaRoute::copyBytes(const Entry& item) {
  return item.description ? item.description->copyBytes : 0;
}

std::int64_t DeltaRoute::frameBytes(const Entry& item) {
  return item.way == RouteEvent::Way::kPatch
             ? item.description->patchBytesFrom(item.target->digest).value_or(0)
             : copyBytes(item);
}

void DeltaRoute::awaitRoom(std::size_t entry, RouteEvent::Way way) {
  Entry& item = *find(entry);
  item.way = way;
  item.stage = Stage::kAwaitingRoom;
  // The frame, and the decoder's window of at most the file.
  tell(entry, RouteEvent::Applying{frameBytes(item) + item.description->size});
}

void DeltaRoute::apply(std::size_t entry) {
  Entry& item = *find(entry);
  TOLVEX_CHECK(item.stage == Stage::kAwaitingRoom, "a patch or copy applied that was not chosen");
  if (item.way == RouteEvent::Way::kPatch && item.bundled && serverRanges_ != ServerRanges::kNone) {
    item.stage = Stage::kBundled;  // asked for with others (rangeDue)
    bundleQueue_.push_back(entry);
    return;
  }
  fetchFrame(entry);
}

void DeltaRoute::fetchFrame(std::size_t entry) {
  Entry& item = *find(entry);
  item.stage = Stage::kFrame;
  item.bundled.reset();
  const std::string name = item.way == RouteEvent::Way::kPatch
                               ? formats::patchNameOf(item.target->digest, item.files.digest)
                               : formats::copyNameOf(item.files.digest);
  try {
    // The size that the description gives is all it may take.
    source_.fetch({Transfer::Kind::kFrame, entry}, besideIndex(item.files, name), std::nullopt,
                  static_cast<std::size_t>(frameBytes(item)), 0);
  } catch (const common::CurlError& error) {
    // recovery point: the next way follows
    frameFailed(entry, error.message());
  }
}

void DeltaRoute::frameArrived(std::size_t entry, Finished& end) {
  if (end.result != Finished::Result::kComplete) {
    frameFailed(entry, failureOf(end));
    return;
  }
  applyFrame(entry, std::move(end.body));
}

void DeltaRoute::applyFrame(std::size_t entry, std::string frame) {
  const Entry& item = *find(entry);
  struct Applied {
    std::string digest;
    std::string failure;
  };
  const bool patch = item.way == RouteEvent::Way::kPatch;
  source_.post([this, entry, patch, target = item.files.local.target,
                staged = item.files.local.staged, size = item.description->size,
                expected = item.files.digest, frame = std::move(frame)]() -> std::function<void()> {
    auto result = std::make_shared<Applied>();
    try {
      result->digest = buildFromFrame(frame, patch ? &target : nullptr, staged, size, expected);
    } catch (const common::Error& error) {
      // recovery point: handed back to the loop, which takes the next way
      result->failure = error.message();
    }
    return [this, entry, result, fetched = std::ssize(frame)] {
      const Entry* applied = find(entry);
      if (applied == nullptr) {
        return;
      }
      if (!result->failure.empty()) {
        frameFailed(entry, std::move(result->failure));
        return;
      }
      const RouteEvent::Way way = applied->way;
      entries_.erase(entry);
      tell(entry, RouteEvent::Built{std::move(result->digest), 0, fetched, way});
    };
  });
}

void DeltaRoute::frameFailed(std::size_t entry, std::string reason) {
  if (find(entry)->bundled) {
    patchAlone(entry);  // the bundle's copy of it was wrong: its own file may not be
    return;
  }
  if (find(entry)->way == RouteEvent::Way::kPatch) {
    tell(entry, RouteEvent::PatchFailed{reason});
    deltaOrCopy(entry, "the server has no copy of it");
    return;
  }
  fallBack(entry, "the compressed copy failed (" + reason + ")");
}

}  // namespace updater
