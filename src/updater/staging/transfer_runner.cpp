#include "updater/staging/transfer_runner.hpp"

#include <algorithm>
#include <utility>

#include "common/errors.hpp"
#include "common/ordered_pool.hpp"
#include "common/output.hpp"

namespace updater {

TransferRunner::TransferRunner(http::ConnectionPool& pool, std::size_t maxInFlight,
                               crypto::LaneWidth lanes)
    : maxInFlight_(maxInFlight),
      downloads_(pool),
      workers_(common::workerCount()),
      digestLanes_(workers_, lanes, common::workerCount()) {
  TOLVEX_CHECK(maxInFlight_ > 0, "at least one transfer must be allowed");
}

TransferRunner::~TransferRunner() = default;

void TransferRunner::fetch(const Transfer& transfer, const common::Uri& url,
                           std::optional<http::DownloadSet::ByteRange> range, std::size_t maxBytes,
                           std::size_t maxWholeBytes) {
  const std::size_t id = nextId_++;
  downloads_.fetch(id, url, range, maxBytes, maxWholeBytes, {});
  transfers_.emplace(id, transfer);
}

void TransferRunner::fetchRanges(const Transfer& transfer, const common::Uri& url) {
  const std::size_t id = nextId_++;
  downloads_.fetchRanges(id, url, transfer.ranges, {});
  transfers_.emplace(id, transfer);
}

std::int64_t TransferRunner::startFile(std::size_t entry, const common::Uri& url,
                                       const common::FileAt& file,
                                       const http::ProgressCallback& onProgress,
                                       http::DownloadSet::FileListener listener,
                                       std::optional<std::int64_t> stopAt) {
  const std::size_t id = nextId_++;
  const std::int64_t existing =
      downloads_.start(id, url, file, onProgress, std::move(listener), stopAt);
  transfers_.emplace(id, Transfer{Transfer::Kind::kFile, entry});
  return existing;
}

void TransferRunner::cancel(std::size_t entry, std::initializer_list<Transfer::Kind> kinds) {
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (it->second.entry == entry && std::ranges::find(kinds, it->second.kind) != kinds.end()) {
      downloads_.cancel(it->first);
      it = transfers_.erase(it);
    } else {
      ++it;
    }
  }
}

void TransferRunner::warnThreadsRanOut() {
  if (!warnedThreads_) {
    warnedThreads_ = true;
    common::printErr("warning: cannot start another thread; working on one");
  }
}

void TransferRunner::post(std::function<std::function<void()>()> job) {
  ++stepsOutstanding_;
  workers_.post([this, job = std::move(job)] { deliver(job()); });
}

void TransferRunner::deliver(std::function<void()> step) {
  {
    const std::lock_guard lock(deliveredMutex_);
    delivered_.push_back(std::move(step));
  }
  downloads_.wake();
}

std::optional<Transfer> TransferRunner::take(std::size_t id) {
  const auto found = transfers_.find(id);
  if (found == transfers_.end()) {
    return std::nullopt;
  }
  const Transfer transfer = found->second;
  transfers_.erase(found);
  return transfer;
}

std::vector<std::function<void()>> TransferRunner::takeDeliveredSteps() {
  std::vector<std::function<void()>> steps;
  {
    const std::lock_guard lock(deliveredMutex_);
    steps.swap(delivered_);
  }
  stepsOutstanding_ -= steps.size();
  return steps;
}

}  // namespace updater
