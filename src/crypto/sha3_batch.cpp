#include "crypto/sha3_batch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <numeric>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/keccak_lanes.hpp"
#include "crypto/lane_sponge.hpp"
#include "crypto/sha3.hpp"

namespace crypto {
namespace {

// Each lane reads its file in chunks of this size into a buffer of its own.
constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;

class MemorySource final : public MessageSource {
 public:
  MemorySource(std::span<const std::string_view> messages, std::vector<std::string>& digests)
      : messages_(messages), digests_(digests), current_(kMaxLanes) {}

  Start start(std::size_t lane) override {
    if (next_ == messages_.size()) {
      return Start::kNoneLeft;
    }
    current_[lane] = {next_++, false};
    return Start::kStarted;
  }

  std::optional<std::span<const std::uint8_t>> read(std::size_t lane) override {
    auto& [index, given] = current_[lane];
    if (given) {
      return std::span<const std::uint8_t>();
    }
    given = true;
    const std::string_view message = messages_[index];
    return std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
  }

  void finish(std::size_t lane, std::string digest) override {
    digests_[current_[lane].first] = std::move(digest);
  }

 private:
  std::span<const std::string_view> messages_;
  std::vector<std::string>& digests_;
  std::size_t next_ = 0;
  std::vector<std::pair<std::size_t, bool>> current_;  // message, and whether it was read
};

// The files of `files` named by `order`, each opened when a lane takes it.
// `next` counts the files taken, by this source and any other that shares it.
class FileSource final : public MessageSource {
 public:
  FileSource(std::span<const Sha3File> files, std::span<const std::size_t> order,
             std::atomic<std::size_t>& next, std::vector<Sha3FileOutcome>& outcomes,
             std::size_t width)
      : files_(files),
        order_(order),
        next_(next),
        outcomes_(outcomes),
        // Not zeroed: every byte is read into before it is hashed.
        buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(width * kChunkBytes)),
        open_(width) {}

  Start start(std::size_t lane) override {
    const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
    if (index >= order_.size()) {
      return Start::kNoneLeft;
    }
    const std::size_t file = order_[index];
    open_[lane].file = file;
    // A file swapped for a named pipe since it was listed is no regular file.
    open_[lane].descriptor.emplace(common::openRegularFileToRead(files_[file].path));
    if (open_[lane].descriptor->get() < 0) {
      open_[lane].descriptor.reset();
      outcomes_[file].error.emplace("cannot open: " + files_[file].path);
      return Start::kUnreadable;
    }
    return Start::kStarted;
  }

  std::optional<std::span<const std::uint8_t>> read(std::size_t lane) override {
    std::uint8_t* const buffer = buffer_.get() + lane * kChunkBytes;
    for (;;) {
      const ssize_t count = ::read(open_[lane].descriptor->get(), buffer, kChunkBytes);
      if (count >= 0) {
        const std::size_t file = open_[lane].file;
        const std::span<const std::uint8_t> bytes(buffer, static_cast<std::size_t>(count));
        outcomes_[file].bytes += count;
        if (files_[file].tap) {
          files_[file].tap(bytes);
        }
        return bytes;
      }
      if (errno != EINTR) {
        break;
      }
    }
    const std::size_t file = open_[lane].file;
    outcomes_[file].error.emplace(common::readError(errno));
    open_[lane].descriptor.reset();
    return std::nullopt;
  }

  void finish(std::size_t lane, std::string digest) override {
    outcomes_[open_[lane].file].digest = std::move(digest);
    open_[lane].descriptor.reset();
  }

 private:
  struct OpenFile {
    std::size_t file = 0;
    std::optional<common::FileDescriptor> descriptor;
  };

  std::span<const Sha3File> files_;
  std::span<const std::size_t> order_;
  std::atomic<std::size_t>& next_;
  std::vector<Sha3FileOutcome>& outcomes_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::vector<OpenFile> open_;
};

}  // namespace

std::vector<std::string> sha3HexBatch(std::span<const std::string_view> messages, LaneWidth lanes) {
  std::vector<std::string> digests(messages.size());
  MemorySource source(messages, digests);
  absorbAll(source, lanes);
  return digests;
}

void sha3UpdateTogether(std::span<Sha3Stream* const> streams,
                        std::span<const std::span<const std::uint8_t>> bytes, LaneWidth lanes) {
  TOLVEX_CHECK(streams.size() == bytes.size(), "one run of bytes per stream");
  TOLVEX_CHECK(lanes <= widestLaneWidth(), "this processor lacks the SHA3 lanes asked for");
  std::vector<std::span<const std::uint8_t>> blocks(streams.size());
  std::vector<std::span<const std::uint8_t>> tails(streams.size());
  std::vector<std::uint64_t*> words(streams.size());
  std::vector<std::size_t> waiting;
  for (std::size_t index = 0; index < streams.size(); ++index) {
    const std::span<const std::uint8_t> rest = streams[index]->topUp(bytes[index]);
    const std::size_t whole = rest.size() / kSha3RateBytes * kSha3RateBytes;
    blocks[index] = rest.first(whole);
    tails[index] = rest.subspan(whole);
    words[index] = streams[index]->state_.data();
    if (whole > 0) {
      waiting.push_back(index);
    }
  }
  // Four lanes all busy beat eight half idle.
  if (lanes == LaneWidth::kEight && waiting.size() <= 4) {
    lanes = LaneWidth::kFour;
  }
  if (lanes != LaneWidth::kOne) {
    absorbInLanes(words, blocks, waiting, lanes);
  }
  for (std::size_t index = 0; index < streams.size(); ++index) {
    keccakAbsorb(words[index], blocks[index].data(), blocks[index].size() / kSha3RateBytes);
    streams[index]->update(
        {reinterpret_cast<const char*>(tails[index].data()), tails[index].size()});
  }
}

Sha3FileBatch::Sha3FileBatch(std::vector<Sha3File> files, LaneWidth lanes)
    : files_(std::move(files)), lanes_(lanes), order_(files_.size()), outcomes_(files_.size()) {
  std::iota(order_.begin(), order_.end(), 0);
  // Largest first: the lanes then finish together, on the smallest files.
  std::stable_sort(order_.begin(), order_.end(),
                   [&](std::size_t a, std::size_t b) { return files_[a].size > files_[b].size; });
  if (lanes == LaneWidth::kOne) {
    alone_ = order_.size();
    return;
  }
  // A file that would keep one lane busy long after the others ran dry is
  // faster alone: each lane has only its share of the lanes' speed.
  const auto width = static_cast<double>(lanes);
  double remaining = 0;
  for (const Sha3File& file : files_) {
    remaining += static_cast<double>(file.size);
  }
  while (alone_ < order_.size()) {
    const auto size = static_cast<double>(files_[order_[alone_]].size);
    if (size == 0 || size * (width + 1 - lanesSpeedup(lanes)) <= remaining) {
      break;
    }
    remaining -= size;
    ++alone_;
  }
}

void Sha3FileBatch::hash() {
  const std::span<const std::size_t> order(order_);
  FileSource singles(files_, order.first(alone_), nextAlone_, outcomes_, 1);
  absorbAlone(singles);
  if (alone_ < order.size()) {
    FileSource shared(files_, order.subspan(alone_), nextShared_, outcomes_,
                      static_cast<std::size_t>(lanes_));
    absorbAll(shared, lanes_);
  }
}

std::vector<Sha3FileOutcome> Sha3FileBatch::takeOutcomes() { return std::move(outcomes_); }

std::vector<Sha3FileOutcome> sha3FilesHex(std::vector<Sha3File> files, LaneWidth lanes) {
  Sha3FileBatch batch(std::move(files), lanes);
  batch.hash();
  return batch.takeOutcomes();
}

std::vector<Sha3FileOutcome> sha3FilesHexIfRegular(std::span<const std::string> paths,
                                                   LaneWidth lanes) {
  std::vector<Sha3File> regular;
  std::vector<std::size_t> positions;
  for (std::size_t index = 0; index < paths.size(); ++index) {
    struct stat status {};
    if (::stat(paths[index].c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      regular.push_back({paths[index], status.st_size, {}});
      positions.push_back(index);
    }
  }
  std::vector<Sha3FileOutcome> outcomes(paths.size());
  std::vector<Sha3FileOutcome> hashed = sha3FilesHex(std::move(regular), lanes);
  for (std::size_t index = 0; index < hashed.size(); ++index) {
    outcomes[positions[index]] = std::move(hashed[index]);
  }
  return outcomes;
}

}  // namespace crypto
