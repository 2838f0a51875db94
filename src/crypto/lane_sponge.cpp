#include "crypto/lane_sponge.hpp"

#include <algorithm>
#include <array>

#include "common/errors.hpp"
#include "crypto/keccak_lanes.hpp"
#include "crypto/sha3.hpp"

namespace crypto {
namespace {

// What a lane with nothing to absorb is given.
constexpr std::array<std::uint8_t, kSha3RateBytes> kZeroBlock{};

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

}  // namespace

// Measured on files in the page cache (bench/README.md, sha3_bench.sh).
double lanesSpeedup(LaneWidth lanes) { return lanes == LaneWidth::kEight ? 3.5 : 2.0; }

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

void absorbAll(MessageSource& source, LaneWidth lanes) {
  if (lanes == LaneWidth::kOne) {
    absorbAlone(source);
    return;
  }
  TOLVEX_CHECK(lanes <= widestLaneWidth(), "this processor lacks the SHA3 lanes asked for");
  LaneSponge(source, static_cast<std::size_t>(lanes)).run();
}

void absorbInLanes(std::span<std::uint64_t* const> words,
                   std::vector<std::span<const std::uint8_t>>& blocks,
                   std::span<const std::size_t> waiting, LaneWidth lanes) {
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

}  // namespace crypto
