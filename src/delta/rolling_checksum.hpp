#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <utility>

#include "crypto/lane_width.hpp"

namespace delta {

// The weak checksum of a block: the polynomial hash sum(b[i] * M^(n-1-i)) mod
// 2^32 of its n bytes, with M = kWeakMultiplier. Unlike two 16-bit running sums,
// every byte moves all 32 bits, and a single changed byte always changes it.
inline constexpr std::uint32_t kWeakMultiplier = 0x9E3779B1;  // odd, so M^k is never 0 mod 2^32

// The weak checksum of `bytes`, computed in eight independent lanes.
std::uint32_t weakChecksum(std::span<const std::uint8_t> bytes);

// The same, in 32 (kFour: AVX2) or 64 (kEight: AVX-512F) lanes of vector
// registers, as SHA3's lanes are chosen; the processor must run them.
std::uint32_t weakChecksum(std::span<const std::uint8_t> bytes, crypto::LaneWidth lanes);

// Moves the weak checksum of a window of fixed length on, in O(1) a byte.
class RollingChecksum {
 public:
  explicit RollingChecksum(std::size_t windowLength);

  // The checksum of the window one byte further on, from `checksum` of the
  // window that starts at `window`; the byte after that window is read.
  std::uint32_t roll(std::uint32_t checksum, const std::uint8_t* window) const {
    return checksum * kWeakMultiplier + entering(window, 0);
  }

  // The checksums of the windows one and two bytes further on; the bytes
  // after the window are read. The second does not wait for the first, so
  // the two multiplications run side by side.
  std::pair<std::uint32_t, std::uint32_t> rollTwice(std::uint32_t checksum,
                                                    const std::uint8_t* window) const {
    const std::uint32_t first = entering(window, 0);
    const std::uint32_t second = entering(window, 1);
    return {checksum * kWeakMultiplier + first,
            checksum * kSquaredMultiplier + (first * kWeakMultiplier + second)};
  }

 private:
  static constexpr std::uint32_t kSquaredMultiplier = kWeakMultiplier * kWeakMultiplier;

  // What moving on from the window at `window + at` adds to the checksum.
  std::uint32_t entering(const std::uint8_t* window, std::size_t at) const {
    return window[at + length_] - outgoing_[window[at]];
  }

  std::size_t length_;
  std::array<std::uint32_t, 256> outgoing_{};  // b * M^length_
};

}  // namespace delta
