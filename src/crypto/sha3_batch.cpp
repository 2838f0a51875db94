#include "crypto/sha3_batch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <numeric>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/keccak_lanes.hpp"
#include "crypto/sha3.hpp"

namespace crypto {
namespace {

constexpr std::size_t kMaxLanes = 8;

// What a lane with nothing to absorb is given.
constexpr std::array<std::uint8_t, kSha3RateBytes> kZeroBlock{};

// Each lane reads its file in chunks of this size into a buffer of its own.
constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;

// How many times faster the lanes absorb, all busy, than OpenSSL's single
// state, measured on files in the page cache; it decides which files go alone.
double lanesSpeedup(Sha3Lanes lanes) { return lanes == Sha3Lanes::kEight ? 3.5 : 2.0; }

// What the lanes absorb: messages taken in turn, each read a chunk at a time.
// A message that cannot be read is left out; its source keeps why.
class MessageSource {
 public:
  enum class Start { kStarted, kUnreadable, kNoneLeft };

  virtual ~MessageSource() = default;
  // Takes the next message for `lane`. Once none is left, none comes.
  virtual Start start(std::size_t lane) = 0;
  // The next bytes of the message on `lane`, valid until the next call for that
  // lane; empty at its end, nullopt when reading failed.
  virtual std::optional<std::span<const std::uint8_t>> read(std::size_t lane) = 0;
  virtual void finish(std::size_t lane, std::string digest) = 0;
};

// One message at a time through OpenSSL.
void absorbAlone(MessageSource& source) {
  Sha3Stream stream;
  for (;;) {
    const MessageSource::Start start = source.start(0);
    if (start == MessageSource::Start::kNoneLeft) {
      return;
    }
    if (start == MessageSource::Start::kUnreadable) {
      continue;
    }
    for (;;) {
      const std::optional<std::span<const std::uint8_t>> bytes = source.read(0);
      if (!bytes) {
        stream = Sha3Stream();
        break;
      }
      if (bytes->empty()) {
        source.finish(0, stream.finishHex());
        break;
      }
      stream.update({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
    }
  }
}

// Feeds several states at once, each its own message: every step absorbs one
// block per busy lane, and a lane whose message ends takes the next one.
class LaneSponge {
 public:
  LaneSponge(MessageSource& source, std::size_t width)
      : source_(source),
        width_(width),
        absorb_(width == 8 ? keccakAbsorbX8 : keccakAbsorbX4),
        lanes_(width) {}

  void run() {
    std::array<const std::uint8_t*, kMaxLanes> blocks{};
    for (;;) {
      bool busy = false;
      for (std::size_t lane = 0; lane < width_; ++lane) {
        blocks[lane] = nextBlock(lane);
        busy = busy || lanes_[lane].busy;
      }
      if (!busy) {
        return;
      }
      absorb_(states_.data(), blocks.data());
      for (std::size_t lane = 0; lane < width_; ++lane) {
        if (lanes_[lane].padded) {
          source_.finish(lane, squeeze(lane));
          lanes_[lane] = Lane();
        }
      }
    }
  }

 private:
  struct Lane {
    bool busy = false;
    bool ended = false;   // the source has no more bytes
    bool padded = false;  // this step absorbs the last block
    std::span<const std::uint8_t> chunk;
    std::array<std::uint8_t, kSha3RateBytes> staging{};
  };

  // The lane's block for this step, zeros when it has nothing to absorb.
  const std::uint8_t* nextBlock(std::size_t lane) {
    Lane& state = lanes_[lane];
    for (;;) {
      if (!state.busy) {
        const MessageSource::Start start =
            exhausted_ ? MessageSource::Start::kNoneLeft : source_.start(lane);
        if (start == MessageSource::Start::kNoneLeft) {
          exhausted_ = true;
          return kZeroBlock.data();
        }
        if (start == MessageSource::Start::kUnreadable) {
          continue;
        }
        for (std::size_t word = 0; word < kKeccakWords; ++word) {
          states_[word * width_ + lane] = 0;
        }
        state = Lane();
        state.busy = true;
      }
      if (const std::uint8_t* block = takeBlock(lane, state)) {
        return block;
      }
      state.busy = false;
    }
  }

  // Null when reading failed. Blocks that lie whole in a chunk are absorbed
  // where they are; one that straddles chunks, and the padded last one, are
  // put together in the lane's staging block.
  const std::uint8_t* takeBlock(std::size_t lane, Lane& state) {
    if (state.chunk.size() >= kSha3RateBytes) {
      const std::uint8_t* block = state.chunk.data();
      state.chunk = state.chunk.subspan(kSha3RateBytes);
      return block;
    }
    std::size_t filled = state.chunk.size();
    std::copy(state.chunk.begin(), state.chunk.end(), state.staging.begin());
    state.chunk = {};
    while (filled < kSha3RateBytes && !state.ended) {
      const std::optional<std::span<const std::uint8_t>> bytes = source_.read(lane);
      if (!bytes) {
        return nullptr;
      }
      state.ended = bytes->empty();
      const std::size_t take = std::min(kSha3RateBytes - filled, bytes->size());
      std::copy_n(bytes->begin(), take,
                  state.staging.begin() + static_cast<std::ptrdiff_t>(filled));
      filled += take;
      state.chunk = bytes->subspan(take);
    }
    if (filled < kSha3RateBytes) {
      // SHA-3's domain bits 01, then pad10*1 (FIPS 202).
      std::fill(state.staging.begin() + static_cast<std::ptrdiff_t>(filled), state.staging.end(),
                0);
      state.staging[filled] = 0x06;
      state.staging.back() |= 0x80;
      state.padded = true;
    }
    return state.staging.data();
  }

  std::string squeeze(std::size_t lane) const { return sha3HexOfState(&states_[lane], width_); }

  MessageSource& source_;
  const std::size_t width_;
  void (*const absorb_)(std::uint64_t*, const std::uint8_t* const*);
  std::vector<Lane> lanes_;
  bool exhausted_ = false;
  alignas(64) std::array<std::uint64_t, kKeccakWords * kMaxLanes> states_{};
};

void absorbAll(MessageSource& source, Sha3Lanes lanes) {
  if (lanes == Sha3Lanes::kOne) {
    absorbAlone(source);
    return;
  }
  TOLVEX_CHECK(lanes <= widestSha3Lanes(), "this processor lacks the SHA3 lanes asked for");
  LaneSponge(source, static_cast<std::size_t>(lanes)).run();
}

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
    // Without blocking, and only a regular file: one swapped for a named pipe
    // since it was listed would otherwise hold the open up for good.
    open_[lane].descriptor.emplace(
        ::open(files_[file].path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (open_[lane].descriptor->get() < 0 || ::fstat(open_[lane].descriptor->get(), &status) != 0 ||
        !S_ISREG(status.st_mode)) {
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
    // Opening a directory succeeds on Linux; reading it is where it fails.
    outcomes_[file].error.emplace(errno == EISDIR
                                      ? common::IOError("cannot open: " + files_[file].path)
                                      : common::readError(errno));
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

// Absorbs the whole blocks of `blocks` (one span per stream, consumed as they
// are absorbed) `width` streams at a time, a lane that runs dry taking the next
// stream of `waiting`, until too few have blocks left for the lanes to beat
// one state at a time.
void absorbInLanes(std::span<std::uint64_t* const> words,
                   std::vector<std::span<const std::uint8_t>>& blocks,
                   std::span<const std::size_t> waiting, Sha3Lanes lanes) {
  const auto width = static_cast<std::size_t>(lanes);
  const auto worthIt = [&](std::size_t busy) {
    return static_cast<double>(busy) * lanesSpeedup(lanes) > static_cast<double>(width);
  };
  if (!worthIt(waiting.size())) {
    return;
  }
  constexpr std::size_t kIdle = SIZE_MAX;
  alignas(64) std::array<std::uint64_t, kKeccakWords * kMaxLanes> states{};
  std::array<std::size_t, kMaxLanes> onLane;
  onLane.fill(kIdle);
  std::array<const std::uint8_t*, kMaxLanes> next{};
  const auto load = [&](std::size_t lane) {
    for (std::size_t word = 0; word < kKeccakWords; ++word) {
      states[word * width + lane] = words[onLane[lane]][word];
    }
  };
  const auto store = [&](std::size_t lane) {
    for (std::size_t word = 0; word < kKeccakWords; ++word) {
      words[onLane[lane]][word] = states[word * width + lane];
    }
  };
  std::size_t taken = 0;
  for (;;) {
    std::size_t busy = 0;
    for (std::size_t lane = 0; lane < width; ++lane) {
      if (onLane[lane] != kIdle && blocks[onLane[lane]].empty()) {
        store(lane);
        onLane[lane] = kIdle;
      }
      if (onLane[lane] == kIdle && taken < waiting.size()) {
        onLane[lane] = waiting[taken++];
        load(lane);
      }
      next[lane] = onLane[lane] == kIdle ? kZeroBlock.data() : blocks[onLane[lane]].data();
      busy += onLane[lane] == kIdle ? 0 : 1;
    }
    if (!worthIt(busy)) {
      break;
    }
    (width == 8 ? keccakAbsorbX8 : keccakAbsorbX4)(states.data(), next.data());
    for (std::size_t lane = 0; lane < width; ++lane) {
      if (onLane[lane] != kIdle) {
        blocks[onLane[lane]] = blocks[onLane[lane]].subspan(kSha3RateBytes);
      }
    }
  }
  for (std::size_t lane = 0; lane < width; ++lane) {
    if (onLane[lane] != kIdle) {
      store(lane);
    }
  }
}

}  // namespace

Sha3Lanes widestSha3Lanes() {
  static const Sha3Lanes widest = cpuRunsKeccakX8()   ? Sha3Lanes::kEight
                                  : cpuRunsKeccakX4() ? Sha3Lanes::kFour
                                                      : Sha3Lanes::kOne;
  return widest;
}

Sha3Lanes sha3LanesFromSetting(const char* setting) {
  const Sha3Lanes widest = widestSha3Lanes();
  if (setting == nullptr || *setting == '\0') {
    return widest;
  }
  const std::string_view value(setting);
  for (const Sha3Lanes lanes : {Sha3Lanes::kOne, Sha3Lanes::kFour, Sha3Lanes::kEight}) {
    if (value == std::to_string(static_cast<int>(lanes))) {
      return std::min(lanes, widest);
    }
  }
  throw common::ValueError("TOLVEX_SHA3_LANES must be 1, 4 or 8, not '" + std::string(value) + "'");
}

std::vector<std::string> sha3HexBatch(std::span<const std::string_view> messages, Sha3Lanes lanes) {
  std::vector<std::string> digests(messages.size());
  MemorySource source(messages, digests);
  absorbAll(source, lanes);
  return digests;
}

void sha3UpdateTogether(std::span<Sha3Stream* const> streams,
                        std::span<const std::span<const std::uint8_t>> bytes, Sha3Lanes lanes) {
  TOLVEX_CHECK(streams.size() == bytes.size(), "one run of bytes per stream");
  TOLVEX_CHECK(lanes <= widestSha3Lanes(), "this processor lacks the SHA3 lanes asked for");
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
  if (lanes == Sha3Lanes::kEight && waiting.size() <= 4) {
    lanes = Sha3Lanes::kFour;
  }
  if (lanes != Sha3Lanes::kOne) {
    absorbInLanes(words, blocks, waiting, lanes);
  }
  for (std::size_t index = 0; index < streams.size(); ++index) {
    keccakAbsorb(words[index], blocks[index].data(), blocks[index].size() / kSha3RateBytes);
    streams[index]->update(
        {reinterpret_cast<const char*>(tails[index].data()), tails[index].size()});
  }
}

Sha3FileBatch::Sha3FileBatch(std::vector<Sha3File> files, Sha3Lanes lanes)
    : files_(std::move(files)), lanes_(lanes), order_(files_.size()), outcomes_(files_.size()) {
  std::iota(order_.begin(), order_.end(), 0);
  // Largest first: the lanes then finish together, on the smallest files.
  std::stable_sort(order_.begin(), order_.end(),
                   [&](std::size_t a, std::size_t b) { return files_[a].size > files_[b].size; });
  if (lanes == Sha3Lanes::kOne) {
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

std::vector<Sha3FileOutcome> sha3FilesHex(std::vector<Sha3File> files, Sha3Lanes lanes) {
  Sha3FileBatch batch(std::move(files), lanes);
  batch.hash();
  return batch.takeOutcomes();
}

std::vector<Sha3FileOutcome> sha3FilesHexIfRegular(std::span<const std::string> paths,
                                                   Sha3Lanes lanes) {
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
