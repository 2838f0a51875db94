#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crypto/lane_width.hpp"

namespace crypto {

// The most SHA3-256 states that advance together (LaneWidth::kEight).
inline constexpr std::size_t kMaxLanes = 8;

// How many times faster the lanes absorb, all busy, than OpenSSL's single
// state; it decides which files go alone.
double lanesSpeedup(LaneWidth lanes);

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

// Hashes every message of `source` one at a time through OpenSSL, on lane 0.
void absorbAlone(MessageSource& source);

// Hashes every message of `source`, `lanes` at a time: each step absorbs one
// block per busy lane, and a lane whose message ends takes the next one. The
// processor must run `lanes` (AssertionDefect otherwise).
void absorbAll(MessageSource& source, LaneWidth lanes);

// Absorbs the whole blocks of `blocks` (one span per stream, consumed as they
// are absorbed) into the Keccak states `words`, `lanes` streams at a time, a
// lane that runs dry taking the next stream of `waiting`, until too few have
// blocks left for the lanes to beat one state at a time. The caller absorbs
// what is left. `lanes` is kFour or kEight, and the processor runs it.
void absorbInLanes(std::span<std::uint64_t* const> words,
                   std::vector<std::span<const std::uint8_t>>& blocks,
                   std::span<const std::size_t> waiting, LaneWidth lanes);

}  // namespace crypto
