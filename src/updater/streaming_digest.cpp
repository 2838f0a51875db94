#include "updater/streaming_digest.hpp"

#include <fcntl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/sha3.hpp"

namespace updater {
namespace {

// Bytes announced before a worker is asked to read them: the size of the
// download's write buffer, so that a job mostly finds them in the file already,
// and the hand-over costs nothing next to the hashing.
constexpr std::int64_t kBytesPerJob = std::int64_t{256} * 1024;
// Bytes read back at once: few read calls, and the block still in the cache
// when it is hashed.
constexpr std::size_t kReadBytes = std::size_t{256} * 1024;

}  // namespace

struct StreamingDigest::State {
  std::mutex mutex;
  std::condition_variable stopped;
  std::string path;
  std::int64_t announced = 0;  // bytes the file holds or is about to hold
  std::int64_t hashed = 0;     // read back and hashed; the job's alone while it runs
  crypto::Sha3Stream digest;
  std::optional<common::FileIdentity> identity;  // of the file read so far
  std::exception_ptr error;
  Done done;             // set by finish(): every announced byte is in the file
  bool running = false;  // a job is reading the file
  bool abandoned = false;

  // One job at a time per digest keeps the bytes in order. A job that finds
  // fewer bytes in the file than announced (the rest still in the download's
  // buffer) stops; the next announcement or finish() starts another.
  void drain() {
    std::unique_lock lock(mutex);
    while (!abandoned) {
      const bool complete = static_cast<bool>(done);
      const std::int64_t end = announced;
      if (hashed < end && !error) {
        lock.unlock();
        const std::int64_t before = hashed;
        hashUpTo(end, complete);
        lock.lock();
        // finish() may have come meanwhile: then every byte is in the file.
        if (hashed > before || (!complete && done)) {
          continue;
        }
      }
      if (!done) {
        break;
      }
      if (!identity && !error) {
        // Nothing was read (an empty file): the file verified is the one there now.
        lock.unlock();
        openFile();
        lock.lock();
      }
      running = false;
      stopped.notify_all();
      Done finished = std::move(done);
      done = nullptr;
      std::string text = error ? std::string() : digest.finishHex();
      const common::FileIdentity file = identity.value_or(common::FileIdentity{});
      const std::exception_ptr failure = error;
      lock.unlock();
      finished(std::move(text), file, failure);
      return;
    }
    running = false;
    stopped.notify_all();
  }

  // Opens the file, which must be the one that earlier jobs read.
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
      const std::lock_guard lock(mutex);
      error = std::current_exception();
      return common::FileDescriptor(-1);
    }
  }

  // Hashes what the file holds of the bytes before `end`; all of them when the
  // download is `complete`, or the file ended early.
  void hashUpTo(std::int64_t end, bool complete) {
    const common::FileDescriptor file = openFile();
    if (file.get() < 0) {
      return;
    }
    try {
      const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReadBytes);
      while (hashed < end) {
        const auto wanted = static_cast<std::size_t>(
            std::min<std::int64_t>(end - hashed, static_cast<std::int64_t>(kReadBytes)));
        const std::size_t count = common::readAt(file.get(), hashed, {buffer.get(), wanted});
        digest.update({reinterpret_cast<const char*>(buffer.get()), count});
        hashed += static_cast<std::int64_t>(count);
        if (count < wanted) {
          if (complete) {
            throw common::IOError(path + " ended early");
          }
          return;
        }
      }
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
  state_->announced = existingBytes;
  if (existingBytes > 0) {
    schedule();
  }
}

StreamingDigest::StreamingDigest(common::WorkQueue& workers, std::string pendingPath,
                                 std::int64_t existingBytes, crypto::Sha3Stream prefix,
                                 common::FileIdentity identity)
    : workers_(workers), state_(std::make_shared<State>()) {
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
  // The job keeps the state alive: the digest may be abandoned meanwhile.
  workers_.post([state = state_] { state->drain(); });
}

}  // namespace updater
