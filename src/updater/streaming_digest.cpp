#include "updater/streaming_digest.hpp"

#include <fcntl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/sha3.hpp"
#include "crypto/sha3_batch.hpp"

namespace updater {
namespace {

// Bytes announced before a worker is asked to read them: the size of the
// download's write buffer, so that a job mostly finds them in the file already,
// and the hand-over costs nothing next to the hashing.
constexpr std::int64_t kBytesPerJob = std::int64_t{256} * 1024;
// Bytes read back per digest and round: few read calls, the blocks still in
// the cache when they are hashed, and rounds short enough that a digest with
// new bytes soon joins the lanes.
constexpr std::size_t kReadBytes = std::size_t{256} * 1024;
constexpr std::size_t kMostLanes = 8;

}  // namespace

// One digest's progress. A job that holds it (`running`) is the only one to
// read and hash its bytes, which keeps them in order.
struct DigestState {
  std::mutex mutex;
  std::condition_variable stopped;
  std::string path;
  std::int64_t announced = 0;  // bytes the file holds or is about to hold
  std::int64_t hashed = 0;     // read back and hashed; the job's alone while it runs
  crypto::Sha3Stream digest;
  std::optional<common::FileIdentity> identity;  // of the file read so far
  std::exception_ptr error;
  StreamingDigest::Done done;  // set by finish(): every announced byte is in the file
  bool running = false;        // held by a job
  bool abandoned = false;

  // A round's read, planned by the job that holds the digest.
  struct Read {
    std::size_t wanted = 0;  // none: nothing to hash now
    bool complete = false;   // finish() came: the file must hold them all
  };

  Read plan() {
    const std::lock_guard lock(mutex);
    if (abandoned || error || hashed >= announced) {
      return {};
    }
    return {static_cast<std::size_t>(
                std::min<std::int64_t>(announced - hashed, static_cast<std::int64_t>(kReadBytes))),
            static_cast<bool>(done)};
  }

  // Opens the file, which must be the one that earlier rounds read.
  common::FileDescriptor openFile() {
    try {
      common::FileDescriptor file = common::openRegularFile(path, O_RDONLY);
      const common::FileIdentity opened = common::identityOf(file.get());
      const std::lock_guard lock(mutex);
      if (identity && *identity != opened) {
        throw common::IOError(path + " was replaced while it was hashed");
      }
      identity = opened;
      return file;
    } catch (const common::Error&) {
      // recovery point: handed to finish()'s caller, which decides
      fail();
      return common::FileDescriptor(-1);
    }
  }

  void fail() {
    const std::lock_guard lock(mutex);
    error = std::current_exception();
  }

  // Reads what the file holds of the planned bytes into `buffer`; all of them
  // when the download is complete, or the file ended early.
  std::span<const std::uint8_t> read(const Read& planned, std::uint8_t* buffer) {
    const common::FileDescriptor file = openFile();
    if (file.get() < 0) {
      return {};
    }
    try {
      const std::size_t count = common::readAt(file.get(), hashed, {buffer, planned.wanted});
      if (count < planned.wanted && planned.complete) {
        throw common::IOError(path + " ended early");
      }
      return {buffer, count};
    } catch (const common::Error&) {
      // recovery point: handed to finish()'s caller, which decides
      fail();
      return {};
    }
  }

  // After a round that hashed `count` bytes: true when the job keeps the
  // digest for another, which may find more (or finish() came meanwhile).
  bool keep(const Read& planned, std::size_t count) {
    const std::lock_guard lock(mutex);
    return !abandoned && (count > 0 || (!planned.complete && done));
  }

  // Lets go of the digest once it has nothing to hash: calls `done` when
  // finish() came, else the next announcement starts another round.
  void release() {
    std::unique_lock lock(mutex);
    if (abandoned || !done) {
      running = false;
      stopped.notify_all();
      return;
    }
    if (!identity && !error) {
      // Nothing was read (an empty file): the file verified is the one there now.
      lock.unlock();
      openFile();
      lock.lock();
    }
    running = false;
    stopped.notify_all();
    StreamingDigest::Done finished = std::move(done);
    done = nullptr;
    std::string text = error ? std::string() : digest.finishHex();
    const common::FileIdentity file = identity.value_or(common::FileIdentity{});
    const std::exception_ptr failure = error;
    lock.unlock();
    finished(std::move(text), file, failure);
  }
};

struct DigestLanes::Shared : std::enable_shared_from_this<DigestLanes::Shared> {
  Shared(common::WorkQueue& queue, crypto::Sha3Lanes sha3Lanes, std::size_t most)
      : workers(queue),
        lanes(sha3Lanes),
        width(static_cast<std::size_t>(sha3Lanes)),
        maxJobs(std::max<std::size_t>(most, 1)) {}

  common::WorkQueue& workers;
  const crypto::Sha3Lanes lanes;
  const std::size_t width;
  const std::size_t maxJobs;
  std::mutex mutex;
  std::deque<std::shared_ptr<DigestState>> ready;  // held, waiting for a job to take them
  std::size_t jobs = 0;
  std::size_t held = 0;  // by the jobs

  // Hands a digest that a job must hold (running set) to the jobs, starting
  // one when those running already have their lanes full.
  void enqueue(std::shared_ptr<DigestState> state) {
    bool start = false;
    {
      const std::lock_guard lock(mutex);
      ready.push_back(std::move(state));
      start = wantsJob();
    }
    if (start) {
      post();
    }
  }

  bool wantsJob() {
    if (jobs >= maxJobs || ready.size() + held <= jobs * width) {
      return false;
    }
    ++jobs;
    return true;
  }

  void post() {
    // The job keeps the digests alive: they may be abandoned meanwhile.
    workers.post([shared = shared_from_this()] { shared->work(); });
  }

  // Takes ready digests into free lanes; false when the job has none left
  // and ends.
  bool refill(std::vector<std::shared_ptr<DigestState>>& mine) {
    bool start = false;
    {
      const std::lock_guard lock(mutex);
      while (mine.size() < width && !ready.empty()) {
        mine.push_back(std::move(ready.front()));
        ready.pop_front();
        ++held;
      }
      if (mine.empty()) {
        --jobs;
        return false;
      }
      // Two digests hash faster on two cores than in lanes on one.
      if (mine.size() == 2 && jobs < maxJobs) {
        ready.push_back(std::move(mine.back()));
        mine.pop_back();
        --held;
        ++jobs;
        start = true;
      }
    }
    if (start) {
      post();
    }
    return true;
  }

  void letGo(std::shared_ptr<DigestState>& state) {
    state->release();
    state.reset();
    const std::lock_guard lock(mutex);
    --held;
  }

  // A job: rounds in which each digest held reads its next bytes back and all
  // of them are hashed together.
  void work() {
    thread_local const auto buffer =
        std::make_unique_for_overwrite<std::uint8_t[]>(kMostLanes * kReadBytes);
    std::vector<std::shared_ptr<DigestState>> states;
    std::vector<DigestState::Read> reads;
    std::vector<crypto::Sha3Stream*> streams;
    std::vector<std::span<const std::uint8_t>> bytes;
    while (refill(states)) {
      reads.clear();
      for (std::shared_ptr<DigestState>& state : states) {
        reads.push_back(state->plan());
        if (reads.back().wanted == 0) {
          letGo(state);
          reads.pop_back();
        }
      }
      std::erase(states, nullptr);
      streams.clear();
      bytes.clear();
      for (std::size_t slot = 0; slot < states.size(); ++slot) {
        streams.push_back(&states[slot]->digest);
        bytes.push_back(states[slot]->read(reads[slot], buffer.get() + slot * kReadBytes));
      }
      crypto::sha3UpdateTogether(streams, bytes, lanes);
      for (std::size_t slot = 0; slot < states.size(); ++slot) {
        states[slot]->hashed += static_cast<std::int64_t>(bytes[slot].size());
        if (!states[slot]->keep(reads[slot], bytes[slot].size())) {
          letGo(states[slot]);
        }
      }
      std::erase(states, nullptr);
    }
  }
};

DigestLanes::DigestLanes(common::WorkQueue& workers, crypto::Sha3Lanes lanes, std::size_t maxJobs)
    : shared_(std::make_shared<Shared>(workers, lanes, maxJobs)) {}

StreamingDigest::StreamingDigest(DigestLanes& lanes, std::string pendingPath,
                                 std::int64_t existingBytes)
    : lanes_(lanes.shared_), state_(std::make_shared<DigestState>()) {
  state_->path = std::move(pendingPath);
  state_->announced = existingBytes;
  if (existingBytes > 0) {
    schedule();
  }
}

StreamingDigest::StreamingDigest(DigestLanes& lanes, std::string pendingPath,
                                 std::int64_t existingBytes, crypto::Sha3Stream prefix,
                                 common::FileIdentity identity)
    : lanes_(lanes.shared_), state_(std::make_shared<DigestState>()) {
  state_->path = std::move(pendingPath);
  state_->announced = existingBytes;
  state_->hashed = existingBytes;
  state_->digest = std::move(prefix);
  state_->identity = identity;
}

StreamingDigest::~StreamingDigest() {
  const std::lock_guard lock(state_->mutex);
  state_->abandoned = true;
  state_->done = nullptr;
}

void StreamingDigest::append(std::string_view bytes) {
  {
    const std::lock_guard lock(state_->mutex);
    state_->announced += static_cast<std::int64_t>(bytes.size());
  }
  unscheduled_ += static_cast<std::int64_t>(bytes.size());
  if (unscheduled_ >= kBytesPerJob) {
    schedule();
  }
}

void StreamingDigest::startOver() {
  std::unique_lock lock(state_->mutex);
  // Only the bytes read back can be in flight here: a start over comes before
  // the first byte of an answer.
  state_->announced = 0;
  state_->stopped.wait(lock, [this] { return !state_->running; });
  state_->hashed = 0;
  state_->digest = crypto::Sha3Stream();
  state_->error = nullptr;
}

void StreamingDigest::finish(Done done) {
  {
    const std::lock_guard lock(state_->mutex);
    state_->done = std::move(done);
  }
  schedule();
}

void StreamingDigest::schedule() {
  unscheduled_ = 0;
  {
    const std::lock_guard lock(state_->mutex);
    if (state_->running) {
      return;
    }
    state_->running = true;
  }
  lanes_->enqueue(state_);
}

}  // namespace updater
