#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/uri.hpp"
#include "common/work_queue.hpp"
#include "http/connection_pool.hpp"
#include "http/resumable_download.hpp"
#include "updater/route/transfer.hpp"
#include "updater/staging/streaming_digest.hpp"

namespace updater {

// What runs the work of a staging run: the transfers of one DownloadSet on the
// calling thread, each under an id that stands for a Transfer value, and jobs
// on worker threads, whose steps come back to the calling thread. It decides
// nothing.
class TransferRunner : public TransferSource {
 public:
  // At most `maxInFlight` transfers run at once (see hasRoom); the digests of
  // downloads advance `lanes` at a time.
  TransferRunner(http::ConnectionPool& pool, std::size_t maxInFlight, crypto::LaneWidth lanes);
  ~TransferRunner() override;
  TransferRunner(const TransferRunner&) = delete;
  TransferRunner& operator=(const TransferRunner&) = delete;

  void fetch(const Transfer& transfer, const common::Uri& url,
             std::optional<http::DownloadSet::ByteRange> range, std::size_t maxBytes,
             std::size_t maxWholeBytes) override;
  void fetchRanges(const Transfer& transfer, const common::Uri& url) override;
  void cancel(std::size_t entry, std::initializer_list<Transfer::Kind> kinds) override;
  void post(std::function<std::function<void()>()> job) override;

  // Starts downloading `url` into `file` for `entry`, up to `stopAt` bytes when
  // given (DownloadSet::start): returns the bytes the file held already. Throws
  // as DownloadSet::start does.
  std::int64_t startFile(std::size_t entry, const common::Uri& url, const common::FileAt& file,
                         const http::ProgressCallback& onProgress,
                         http::DownloadSet::FileListener listener,
                         std::optional<std::int64_t> stopAt = std::nullopt);
  // A step that some other work will deliver() later is now outstanding.
  void expectStep() { ++stepsOutstanding_; }
  // Hands a step to the calling thread from any thread, and wakes its wait.
  void deliver(std::function<void()> step);

  // Moves the transfers on for up to `timeoutMilliseconds` (DownloadSet::wait).
  std::vector<http::DownloadSet::Finished> wait(int timeoutMilliseconds) {
    return downloads_.wait(timeoutMilliseconds);
  }
  // What the transfer that ended under `id` was, taken once; nothing when it
  // was cancelled after it ended.
  std::optional<Transfer> take(std::size_t id);
  // The steps delivered so far, in order, for the caller to run: they are no
  // longer outstanding.
  std::vector<std::function<void()>> takeDeliveredSteps();

  std::size_t running() const { return downloads_.running(); }
  bool hasRoom() const { return running() < maxInFlight_; }
  // Steps posted or expected whose step has not run yet.
  std::size_t stepsOutstanding() const { return stepsOutstanding_; }
  common::WorkQueue& workers() { return workers_; }
  DigestLanes& digestLanes() { return digestLanes_; }
  // Says once, on standard error, that work meant for several threads runs on
  // one: no more could start.
  void warnThreadsRanOut();

 private:
  const std::size_t maxInFlight_;
  std::map<std::size_t, Transfer> transfers_;  // running, by their ids in downloads_
  std::size_t nextId_ = 0;
  std::size_t stepsOutstanding_ = 0;
  bool warnedThreads_ = false;
  std::mutex deliveredMutex_;
  std::vector<std::function<void()>> delivered_;
  http::DownloadSet downloads_;
  // Late, so that its workers are joined before anything they use goes away.
  common::WorkQueue workers_;
  // Its jobs keep what they share alive, so it may go before the workers.
  DigestLanes digestLanes_;
};

}  // namespace updater
