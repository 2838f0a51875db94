#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.hpp"
#include "crypto/lane_width.hpp"

namespace crypto {

// Digest texts of `messages`, in their order, absorbed `lanes` at a time (as
// the messages come: message k goes to the first lane that is free).
std::vector<std::string> sha3HexBatch(std::span<const std::string_view> messages, LaneWidth lanes);

// What sha3FileHexIfRegular gives for one path: its digest text ("" when the
// path does not name a regular file) and the length of the content it covers,
// or the IOError it would throw.
struct Sha3FileOutcome {
  std::string digest;
  std::int64_t bytes = 0;  // how many the digest covers
  std::optional<common::IOError> error;
};

// A regular file to hash, and its size when last seen: the size only
// schedules the lanes, the file is read to its end whatever that is by then.
// When set, `tap` sees every byte hashed, in order, on the hashing thread, so
// that other work on the file's content needs no read of its own.
struct Sha3File {
  std::string path;
  std::int64_t size = 0;
  std::function<void(std::span<const std::uint8_t>)> tap;
};

// Files hashed together, by one thread or several: each thread that calls
// hash() takes files of the batch until none is left to start, so threads that
// share a batch share its work. Lanes that finish a file take the next; files
// are taken largest first so that the lanes finish together, and a file too
// large to share the lanes with the others is hashed alone. One file's failure
// is its outcome and does not stop the others.
class Sha3FileBatch {
 public:
  Sha3FileBatch(std::vector<Sha3File> files, LaneWidth lanes);
  Sha3FileBatch(const Sha3FileBatch&) = delete;
  Sha3FileBatch& operator=(const Sha3FileBatch&) = delete;

  // Hashes files of the batch on this thread until none is left to start.
  void hash();
  // sha3FileHex's outcome for each file, in their order; call once, after
  // every hash() has returned.
  std::vector<Sha3FileOutcome> takeOutcomes();

 private:
  const std::vector<Sha3File> files_;
  const LaneWidth lanes_;
  std::vector<std::size_t> order_;  // largest first
  std::size_t alone_ = 0;           // the first files of order_, hashed alone
  std::atomic<std::size_t> nextAlone_{0};
  std::atomic<std::size_t> nextShared_{0};
  std::vector<Sha3FileOutcome> outcomes_;
};

// The outcomes of a batch of `files` that this thread hashes by itself.
std::vector<Sha3FileOutcome> sha3FilesHex(std::vector<Sha3File> files, LaneWidth lanes);

// sha3FileHexIfRegular for each of `paths`, in their order, as sha3FilesHex
// computes them.
std::vector<Sha3FileOutcome> sha3FilesHexIfRegular(std::span<const std::string> paths,
                                                   LaneWidth lanes);

}  // namespace crypto
