#include "updater/staging/streaming_digest.hpp"

#include <memory>
#include <mutex>
#include <utility>

#include "crypto/sha3.hpp"
#include "updater/staging/digest_state.hpp"

namespace updater {
namespace {

// Bytes announced before a worker is asked to read them: the size of the
// download's write buffer, so that a job mostly finds them in the file already,
// and the hand-over costs nothing next to the hashing.
constexpr std::int64_t kBytesPerJob = std::int64_t{256} * 1024;

}  // namespace

StreamingDigest::StreamingDigest(DigestLanes& lanes, common::FileAt pending,
                                 std::int64_t existingBytes)
    : lanes_(lanes.shared_), state_(std::make_shared<DigestState>()) {
  state_->file = std::move(pending);
  state_->announced = existingBytes;
  if (existingBytes > 0) {
    schedule();
  }
}

StreamingDigest::StreamingDigest(DigestLanes& lanes, common::FileAt pending,
                                 std::int64_t existingBytes, crypto::Sha3Stream prefix,
                                 common::FileIdentity identity)
    : lanes_(lanes.shared_), state_(std::make_shared<DigestState>()) {
  state_->file = std::move(pending);
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

}  // namespace updater
