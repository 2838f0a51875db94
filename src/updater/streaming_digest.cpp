#include "updater/streaming_digest.hpp"

#include <fcntl.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/sha3.hpp"

namespace updater {
namespace {

// Bytes handed to the workers at once: large enough that the hand-over costs
// nothing next to the hashing.
constexpr std::size_t kBlockBytes = std::size_t{256} * 1024;
// Blocks that may wait for the workers before append() waits too: the memory a
// download holds stays the same, however large its file.
constexpr std::size_t kMaxQueuedBlocks = 8;

}  // namespace

struct StreamingDigest::State {
  std::mutex mutex;
  std::condition_variable drained;
  std::deque<std::string> blocks;
  std::int64_t prefixBytes = 0;  // still to be read back from the file
  std::string path;
  crypto::Sha3Stream digest;
  std::exception_ptr error;
  Done done;
  bool running = false;  // a job is draining the blocks
  bool abandoned = false;

  // One job at a time per digest keeps the bytes in order.
  void drain() {
    std::unique_lock lock(mutex);
    for (;;) {
      if (abandoned) {
        running = false;
        drained.notify_all();
        return;
      }
      if (prefixBytes > 0) {
        const std::int64_t bytes = prefixBytes;
        prefixBytes = 0;
        lock.unlock();
        hashPrefix(bytes);
        lock.lock();
        continue;
      }
      if (!blocks.empty()) {
        std::string block = std::move(blocks.front());
        blocks.pop_front();
        drained.notify_all();
        lock.unlock();
        if (!error) {
          digest.update(block);
        }
        lock.lock();
        continue;
      }
      running = false;
      drained.notify_all();
      if (done) {
        Done finished = std::move(done);
        std::string text = error ? std::string() : digest.finishHex();
        const std::exception_ptr failure = error;
        lock.unlock();
        finished(std::move(text), failure);
      }
      return;
    }
  }

  void hashPrefix(std::int64_t bytes) {
    try {
      const common::FileDescriptor file = common::openRegularFile(path, O_RDONLY);
      digest.updateFromFile(file.get(), bytes, path);
    } catch (const common::Error&) {
      // recovery point: handed to finish()'s caller, which decides
      const std::lock_guard lock(mutex);
      error = std::current_exception();
    }
  }
};

StreamingDigest::StreamingDigest(common::WorkQueue& workers, std::string pendingPath,
                                 std::int64_t existingBytes)
    : workers_(workers), state_(std::make_shared<State>()) {
  state_->path = std::move(pendingPath);
  state_->prefixBytes = existingBytes;
  if (existingBytes > 0) {
    schedule();
  }
}

StreamingDigest::~StreamingDigest() {
  const std::lock_guard lock(state_->mutex);
  state_->abandoned = true;
  state_->done = nullptr;
  state_->blocks.clear();
}

void StreamingDigest::append(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t take = std::min(bytes.size(), kBlockBytes - block_.size());
    block_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (block_.size() == kBlockBytes) {
      submitBlock();
    }
  }
}

void StreamingDigest::startOver() {
  block_.clear();
  std::unique_lock lock(state_->mutex);
  // Only the bytes read back can be in flight here: a start over comes before
  // the first byte of an answer.
  state_->blocks.clear();
  state_->prefixBytes = 0;
  state_->drained.wait(lock, [this] { return !state_->running; });
  state_->digest = crypto::Sha3Stream();
  state_->error = nullptr;
}

void StreamingDigest::finish(Done done) {
  if (!block_.empty()) {
    submitBlock();
  }
  {
    const std::lock_guard lock(state_->mutex);
    state_->done = std::move(done);
  }
  schedule();
}

void StreamingDigest::submitBlock() {
  {
    std::unique_lock lock(state_->mutex);
    state_->drained.wait(lock, [this] { return state_->blocks.size() < kMaxQueuedBlocks; });
    state_->blocks.push_back(std::move(block_));
  }
  block_.clear();
  block_.reserve(kBlockBytes);
  schedule();
}

void StreamingDigest::schedule() {
  {
    const std::lock_guard lock(state_->mutex);
    if (state_->running) {
      return;
    }
    state_->running = true;
  }
  // The job keeps the state alive: the digest may be abandoned meanwhile.
  workers_.post([state = state_] { state->drain(); });
}

}  // namespace updater
