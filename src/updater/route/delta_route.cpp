#include "updater/route/delta_route.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "delta/block_index.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"

namespace updater {
namespace {

using Finished = http::DownloadSet::Finished;

// The message of `error`, which is one of the program's errors.
std::string messageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const common::Error& caught) {
    // recovery point: only its text is wanted, for the -v line
    return caught.message();
  }
}

}  // namespace

std::string DeltaRoute::failureOf(const Finished& end) {
  return end.error ? messageOf(end.error) : end.message;
}

DeltaRoute::Entry* DeltaRoute::find(std::size_t entry) {
  const auto found = entries_.find(entry);
  return found == entries_.end() ? nullptr : &found->second;
}

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

void DeltaRoute::begin(std::size_t entry, Files files) {
  Entry& item = entries_[entry];
  item.files = std::move(files);
  item.begun = true;
  if (item.earlyPlan) {
    Planned early = std::move(*item.earlyPlan);
    item.earlyPlan.reset();
    planned(entry, std::move(early));
    return;
  }
  if (item.prefetched) {
    Finished end = std::move(*item.prefetched);
    item.prefetched.reset();
    indexArrived(entry, end);
    return;
  }
  if (item.prefetching || item.planning) {
    return;  // begun early: its end goes on
  }
  try {
    // No longer than any index a reader accepts: what a plan costs stays bounded.
    source_.fetch({Transfer::Kind::kIndex, entry}, item.files.indexUrl, std::nullopt,
                  static_cast<std::size_t>(delta::kMaximumIndexBytes), 0);
  } catch (const common::CurlError& error) {
    // recovery point: without an index the file comes whole
    fallBack(entry, "no block index from the server (" + error.message() + ")");
  }
}

void DeltaRoute::ended(const Transfer& transfer, Finished& end) {
  Entry* item = find(transfer.entry);
  if (item == nullptr) {
    return;  // dropped, or given way
  }
  const bool complete = end.result == Finished::Result::kComplete;
  switch (transfer.kind) {
    case Transfer::Kind::kProbe: {
      // A size that differs makes an out-of-date target likely, nothing more:
      // the header is not signed. The rest of the index is asked for meanwhile.
      const std::optional<std::int64_t> size =
          complete ? delta::indexedFileSize(end.body) : std::nullopt;
      const std::optional<std::int64_t> length =
          complete ? delta::indexLength(end.body) : std::nullopt;
      const bool sameSize = size && *size == common::regularFileSize(item->oldPath);
      if (complete && end.wholeAnswer) {
        // The whole index: planned now, or kept for the check's verdict.
        if (size && !sameSize) {
          planProbed(transfer.entry, std::move(end.body));
        } else {
          item->prefetched = std::move(end);
        }
        return;
      }
      if (!size || !length || *length <= std::ssize(end.body) || sameSize) {
        return;
      }
      try {
        const std::int64_t rest = *length - std::ssize(end.body);
        source_.fetch({Transfer::Kind::kPrefetch, transfer.entry}, item->probedIndexUrl,
                      http::DownloadSet::ByteRange{std::ssize(end.body), rest},
                      static_cast<std::size_t>(rest),
                      static_cast<std::size_t>(delta::kMaximumIndexBytes));
        item->probed = std::move(end.body);
        item->prefetching = true;
      } catch (const common::CurlError&) {
        // recovery point: the index is asked for again after the digest
      }
      return;
    }
    case Transfer::Kind::kPrefetch:
      item->prefetching = false;
      if (complete) {
        planProbed(transfer.entry, end.wholeAnswer ? std::move(end.body)
                                                   : std::exchange(item->probed, {}) + end.body);
      } else if (item->begun) {
        indexArrived(transfer.entry, end);  // its route waits for it
      } else {
        item->prefetched = std::move(end);
      }
      return;
    case Transfer::Kind::kIndex:
      indexArrived(transfer.entry, end);
      return;
    case Transfer::Kind::kRange:
      rangeEnded(transfer, end);
      return;
    case Transfer::Kind::kFile:
      return;
  }
}

void DeltaRoute::indexArrived(std::size_t entry, Finished& end) {
  if (end.result != Finished::Result::kComplete) {
    // No index (a server without them answers 404), or none that arrived.
    fallBack(entry, "no block index from the server (" + failureOf(end) + ")");
    return;
  }
  plan(entry, find(entry)->files.local.target, std::move(end.body));
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
    plan(entry, std::move(local->target), std::move(body));
  }
}

void DeltaRoute::plan(std::size_t entry, common::FileAt oldFile, std::string body) {
  find(entry)->planning = true;
  // No scan of the old copy for ranges that a server would not send.
  const bool scans = serverRanges_ != ServerRanges::kNone;
  source_.post([this, entry, oldFile = std::move(oldFile), scans,
                body = std::move(body)]() -> std::function<void()> {
    auto result = std::make_shared<Planned>();
    try {
      if (scans) {
        result->plan = delta::planDelta(body, oldFile, kLeastReusedShare, lanes_);
      }
    } catch (const common::Error& error) {
      // recovery point: a malformed index, or an old copy that cannot be read
      result->failure = error.message();
    }
    return [this, entry, result] {
      Entry* item = find(entry);
      if (item == nullptr) {
        return;
      }
      item->planning = false;
      if (item->begun) {
        planned(entry, std::move(*result));
      } else if (!startEarly(entry, *result)) {
        item->earlyPlan = std::move(*result);
      }
    };
  });
}

std::optional<std::string> DeltaRoute::whyWhole(const Planned& outcome) const {
  if (serverRanges_ == ServerRanges::kNone) {
    return kRangesIgnored;
  }
  const std::optional<delta::DeltaPlan>& plan = outcome.plan;
  if (!plan) {
    return "the delta cannot be planned (" + outcome.failure + ")";
  }
  if (deltaPays(*plan)) {
    return std::nullopt;
  }
  const std::string reused = plan->sampledReuse ? "about " + std::to_string(*plan->sampledReuse)
                                                : std::to_string(plan->reusedBytes);
  return "the old copy holds too little of it (" + reused + " of " +
         std::to_string(plan->fileSize) + " bytes" +
         (plan->sampledReuse ? ", by a sample of it)" : ")");
}

void DeltaRoute::planned(std::size_t entry, Planned&& outcome) {
  if (find(entry) == nullptr) {
    return;
  }
  if (outcome.plan && outcome.plan->threadsRanOut) {
    events_.threadsRanOut();
  }
  if (std::optional<std::string> why = whyWhole(outcome)) {
    fallBack(entry, std::move(*why));
    return;
  }
  startBuild(entry, std::move(*outcome.plan));
}

bool DeltaRoute::startEarly(std::size_t entry, Planned& outcome) {
  const std::optional<std::string> why = whyWhole(outcome);
  std::optional<Files> files;
  if (why ? !events_.downloadsEarly(entry, *why) : !(files = events_.buildsEarly(entry))) {
    return false;
  }
  if (outcome.plan && outcome.plan->threadsRanOut) {
    events_.threadsRanOut();
  }
  if (why) {
    entries_.erase(entry);  // its whole download is the runner's
  } else {
    find(entry)->files = std::move(*files);
    startBuild(entry, std::move(*outcome.plan));
  }
  return true;
}

void DeltaRoute::startBuild(std::size_t entry, delta::DeltaPlan&& plan) {
  Entry& item = *find(entry);
  try {
    item.build = std::make_unique<DeltaBuild>(std::move(plan), item.files.local.target,
                                              item.files.local.staged);
  } catch (const common::Error& error) {
    // recovery point: the whole download meets any lasting fault itself
    fallBack(entry, "the delta cannot start (" + error.message() + ")");
    return;
  }
  events_.building(entry);
  appendJobs(entry);
}

void DeltaRoute::confirm(std::size_t entry) {
  Entry& item = *find(entry);
  item.begun = true;
  if (item.earlyFailure) {
    fallBack(entry, std::move(*item.earlyFailure));
  } else if (item.build && !item.build->digest().empty()) {
    tellBuilt(entry);
  }
}

void DeltaRoute::tellBuilt(std::size_t entry) {
  const DeltaBuild& build = *find(entry)->build;
  std::string digest = build.digest();
  const std::int64_t reused = build.reusedBytes();
  const std::int64_t fetched = build.fetchedBytes();
  entries_.erase(entry);
  events_.built(entry, std::move(digest), reused, fetched);
}

void DeltaRoute::appendJobs(std::size_t entry) {
  for (auto& job : find(entry)->build->startableJobs()) {
    source_.post([this, entry, job = std::move(job)]() -> std::function<void()> {
      return [this, entry, step = job()] { stepDone(entry, step); };
    });
  }
}

void DeltaRoute::stepDone(std::size_t entry, const DeltaBuild::Step& step) {
  Entry* item = find(entry);
  if (item == nullptr || !item->build) {
    return;
  }
  item->build->finished(step);
  if (item->failing) {
    item->failing = false;
    fallBack(entry, std::move(item->reason));
    return;
  }
  if (step.error) {
    fallBack(entry, "building it from the old copy failed (" + messageOf(step.error) + ")");
    return;
  }
  if (item->build->digest().empty()) {
    appendJobs(entry);
  } else if (item->begun) {
    tellBuilt(entry);
  }  // else complete early: told once its check ends (confirm)
}

void DeltaRoute::fallBack(std::size_t entry, std::string reason) {
  Entry& item = *find(entry);
  source_.cancel(entry, {Transfer::Kind::kRange});
  if (trialEntry_ == entry) {
    trialEntry_.reset();
  }
  if (item.build && item.build->writing()) {
    // Its running append still writes the staged file: the fall back waits for it.
    item.failing = true;
    item.reason = std::move(reason);
    return;
  }
  if (item.build) {
    // A job's last hold on the file may outlive the build: it must not write.
    item.build->stopWriting();
  }
  if (!item.begun) {
    // An early build: told once its check ends.
    item.build.reset();
    item.earlyFailure = std::move(reason);
    return;
  }
  entries_.erase(entry);
  events_.fellBack(entry, std::move(reason));
}

void DeltaRoute::drop(std::size_t entry) {
  source_.cancel(entry, {Transfer::Kind::kProbe, Transfer::Kind::kPrefetch, Transfer::Kind::kIndex,
                         Transfer::Kind::kRange});
  if (trialEntry_ == entry) {
    trialEntry_.reset();
  }
  if (Entry* item = find(entry); item != nullptr && item->build && !item->build->writing()) {
    item->build->stopWriting();  // keeps what it wrote for the next run
  }
  entries_.erase(entry);
}

}  // namespace updater
