#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/work_queue.hpp"

namespace updater {

// The SHA3-256 digest of a staged file, taken while a download appends to it:
// the bytes are hashed on worker threads, in order, so that the thread that
// receives them goes on receiving. The bytes already in the file when the
// download started are read back and hashed first. Only when the hashing falls
// more than a few blocks behind does append() wait for it.
class StreamingDigest {
 public:
  // What finish() hands over: the digest text, or the error that stopped it.
  using Done = std::function<void(std::string digest, std::exception_ptr error)>;

  // Starts hashing the first `existingBytes` bytes of `pendingPath`, read
  // without following a link.
  StreamingDigest(common::WorkQueue& workers, std::string pendingPath, std::int64_t existingBytes);
  // Abandons the digest: its jobs stop, and `done` is never called.
  ~StreamingDigest();
  StreamingDigest(const StreamingDigest&) = delete;
  StreamingDigest& operator=(const StreamingDigest&) = delete;

  // The next bytes the download appended to the file.
  void append(std::string_view bytes);
  // The file was emptied to start over: the digest begins anew.
  void startOver();
  // Once every byte given so far is hashed, calls `done` on a worker thread.
  void finish(Done done);

 private:
  struct State;
  void submitBlock();
  void schedule();

  common::WorkQueue& workers_;
  std::shared_ptr<State> state_;
  std::string block_;  // bytes gathered for the next job
};

}  // namespace updater
