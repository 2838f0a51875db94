#pragma once

#include <fcntl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/sha3.hpp"
#include "updater/staging/streaming_digest.hpp"

namespace updater {

// Bytes read back per digest and round: few read calls, the blocks still in
// the cache when they are hashed, and rounds short enough that a digest with
// new bytes soon joins the lanes.
inline constexpr std::size_t kDigestReadBytes = std::size_t{256} * 1024;

// One digest's progress. A job that holds it (`running`) is the only one to
// read and hash its bytes, which keeps them in order.
struct DigestState {
  std::mutex mutex;
  std::condition_variable stopped;
  common::FileAt file;         // the staged file
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
    return {static_cast<std::size_t>(std::min<std::int64_t>(
                announced - hashed, static_cast<std::int64_t>(kDigestReadBytes))),
            static_cast<bool>(done)};
  }

  // Opens the file, which must be the one that earlier rounds read.
  common::FileDescriptor openFile() {
    try {
      common::FileDescriptor opened = common::openRegularFile(file, O_RDONLY);
      const common::FileIdentity read = common::identityOf(opened.get());
      const std::lock_guard lock(mutex);
      if (identity && *identity != read) {
        throw common::IOError(file.shown + " was replaced while it was hashed");
      }
      identity = read;
      return opened;
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
    const common::FileDescriptor opened = openFile();
    if (opened.get() < 0) {
      return {};
    }
    try {
      const std::size_t count = common::readAt(opened.get(), hashed, {buffer, planned.wanted});
      if (count < planned.wanted && planned.complete) {
        throw common::IOError(file.shown + " ended early");
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
    const common::FileIdentity hashedFile = identity.value_or(common::FileIdentity{});
    const std::exception_ptr failure = error;
    lock.unlock();
    finished(std::move(text), hashedFile, failure);
  }
};

}  // namespace updater
