#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/file.hpp"
#include "common/work_queue.hpp"
#include "crypto/lane_width.hpp"
#include "crypto/sha3.hpp"

namespace updater {

struct DigestState;

// The worker jobs that hash the digests of one run's downloads: digests with
// bytes waiting at the same time advance together in SHA3 lanes, a digest on
// its own on one state, as fast as a single stream goes.
class DigestLanes {
 public:
  // Jobs run on `workers`, at most `maxJobs` at once, each hashing up to
  // `lanes` digests together.
  DigestLanes(common::WorkQueue& workers, crypto::LaneWidth lanes, std::size_t maxJobs);
  DigestLanes(const DigestLanes&) = delete;
  DigestLanes& operator=(const DigestLanes&) = delete;

 private:
  friend class StreamingDigest;
  struct Shared;
  // Kept alive by the jobs, which may outlast this object.
  std::shared_ptr<Shared> shared_;
};

// The SHA3-256 digest of a staged file, taken while a download appends to it:
// worker threads read the bytes back from the file, in order, as they are
// written, so the thread that receives them never waits for the hashing, and a
// file that arrives faster than one core hashes holds up neither the other
// downloads nor memory. The bytes already in the file when the download
// started are hashed first. Digests of one DigestLanes share its jobs.
class StreamingDigest {
 public:
  // What finish() hands over: the digest text and the file it was read from, or
  // the error that stopped it.
  using Done = std::function<void(std::string digest, common::FileIdentity identity,
                                  std::exception_ptr error)>;

  // Starts hashing the first `existingBytes` bytes of the staged file `pending`,
  // read without following a link.
  StreamingDigest(DigestLanes& lanes, common::FileAt pending, std::int64_t existingBytes);
  // Goes on from `prefix`, the state of the first `existingBytes` bytes of the
  // file `identity`, hashed before: they are not read again, and the file read
  // from now on must be that one.
  StreamingDigest(DigestLanes& lanes, common::FileAt pending, std::int64_t existingBytes,
                  crypto::Sha3Stream prefix, common::FileIdentity identity);
  // Abandons the digest: its jobs stop, and `done` is never called.
  ~StreamingDigest();
  StreamingDigest(const StreamingDigest&) = delete;
  StreamingDigest& operator=(const StreamingDigest&) = delete;

  // The next bytes the download appended to the file. They are read back from
  // the file, which need not hold them yet (the download may still buffer them),
  // but must by finish().
  void append(std::string_view bytes);
  // The file was emptied to start over: the digest begins anew.
  void startOver();
  // Once every byte given so far is hashed, calls `done` on a worker thread;
  // the file must hold them all by now. A file that ends early is an error, and
  // so is a name that leads to another file than it did before.
  void finish(Done done);

 private:
  void schedule();

  std::shared_ptr<DigestLanes::Shared> lanes_;
  std::shared_ptr<DigestState> state_;
  std::int64_t unscheduled_ = 0;  // bytes appended since a job was last asked for
};

}  // namespace updater
