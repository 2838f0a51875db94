#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "crypto/lane_width.hpp"
#include "crypto/sha3.hpp"
#include "updater/staging/digest_state.hpp"
#include "updater/staging/streaming_digest.hpp"

namespace updater {
namespace {

constexpr std::size_t kMostLanes = 8;

}  // namespace

struct DigestLanes::Shared : std::enable_shared_from_this<DigestLanes::Shared> {
  Shared(common::WorkQueue& queue, crypto::LaneWidth sha3Lanes, std::size_t most)
      : workers(queue),
        lanes(sha3Lanes),
        width(static_cast<std::size_t>(sha3Lanes)),
        maxJobs(std::max<std::size_t>(most, 1)) {}

  common::WorkQueue& workers;
  const crypto::LaneWidth lanes;
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
        std::make_unique_for_overwrite<std::uint8_t[]>(kMostLanes * kDigestReadBytes);
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
        bytes.push_back(states[slot]->read(reads[slot], buffer.get() + slot * kDigestReadBytes));
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

DigestLanes::DigestLanes(common::WorkQueue& workers, crypto::LaneWidth lanes, std::size_t maxJobs)
    : shared_(std::make_shared<Shared>(workers, lanes, maxJobs)) {}

// Here, where the jobs that take the digest are known.
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
