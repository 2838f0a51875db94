#include "delta/rolling_checksum.hpp"

#include <cstring>

#include "common/errors.hpp"

namespace delta {
namespace {

constexpr std::uint32_t power(std::uint32_t base, std::size_t exponent) {
  std::uint32_t result = 1;
  while (exponent > 0) {
    if ((exponent & 1) != 0) {
      result *= base;
    }
    base *= base;
    exponent >>= 1;
  }
  return result;
}

constexpr std::size_t kLanes = 8;

// M^(kStride - 1 - j) at [j].
template <std::size_t kStride>
constexpr std::array<std::uint32_t, kStride> kLanePowers = [] {
  std::array<std::uint32_t, kStride> powers{};
  for (std::size_t lane = 0; lane < kStride; ++lane) {
    powers[lane] = power(kWeakMultiplier, kStride - 1 - lane);
  }
  return powers;
}();

// The checksum of `bytes` from `lanes`, the sums of kStride lanes over its
// first `whole` bytes (a multiple of kStride) that step by M^kStride: lane j
// over the bytes j, j + kStride, ..., which lie kStride - 1 - j places before
// the end of their stride. The lanes' products are independent, unlike a
// chain by Horner's rule, which took as long as the vector loop in 1 KiB
// blocks (bench/README.md, tolvex_block_index_bench); the bytes after them
// follow by Horner's rule.
template <std::size_t kStride>
[[gnu::always_inline]] inline std::uint32_t joinLanes(const std::uint32_t* lanes,
                                                      std::span<const std::uint8_t> bytes,
                                                      std::size_t whole) {
  std::uint32_t checksum = 0;
  for (std::size_t lane = 0; lane < kStride; ++lane) {
    checksum += lanes[lane] * kLanePowers<kStride>[lane];
  }
  for (std::size_t i = whole; i < bytes.size(); ++i) {
    checksum = checksum * kWeakMultiplier + bytes[i];
  }
  return checksum;
}

#if defined(__x86_64__)

// Written once on GCC's vector types: each instance takes the instruction set
// of the function it is inlined into, which carries it as an attribute.
using U32x8 = std::uint32_t __attribute__((vector_size(32)));
using U32x16 = std::uint32_t __attribute__((vector_size(64)));

// A stride is one vector of bytes, read as little-endian words: element l of
// sums[q] steps over byte 4l + q of every stride. Four multiplications are in
// flight at once.
template <typename V>
[[gnu::always_inline]] inline std::uint32_t weakInVectors(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kStride = sizeof(V);
  constexpr std::uint32_t kStep = power(kWeakMultiplier, kStride);
  V sums[4] = {};
  const std::size_t whole = bytes.size() - bytes.size() % kStride;
  for (std::size_t i = 0; i < whole; i += kStride) {
    V words;
    std::memcpy(&words, bytes.data() + i, kStride);
    for (std::size_t q = 0; q < 4; ++q) {
      sums[q] = sums[q] * kStep + ((words >> (8 * q)) & 0xFF);
    }
  }
  std::uint32_t lanes[kStride];
  for (std::size_t lane = 0; lane < kStride; ++lane) {
    lanes[lane] = sums[lane % 4][lane / 4];
  }
  return joinLanes<kStride>(lanes, bytes, whole);
}

__attribute__((target("avx2"))) std::uint32_t weakInAvx2(std::span<const std::uint8_t> bytes) {
  return weakInVectors<U32x8>(bytes);
}

__attribute__((target("avx512f"))) std::uint32_t weakInAvx512(std::span<const std::uint8_t> bytes) {
  return weakInVectors<U32x16>(bytes);
}

#endif

}  // namespace

std::uint32_t weakChecksum(std::span<const std::uint8_t> bytes) {
  // Horner's rule is one serial chain of multiplications; eight lanes that
  // each step by M^8 run side by side, then join with their own powers of M.
  constexpr std::uint32_t kLaneStep = power(kWeakMultiplier, kLanes);
  std::array<std::uint32_t, kLanes> lanes{};
  const std::size_t whole = bytes.size() - bytes.size() % kLanes;
  for (std::size_t i = 0; i < whole; i += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      lanes[lane] = lanes[lane] * kLaneStep + bytes[i + lane];
    }
  }
  return joinLanes<kLanes>(lanes.data(), bytes, whole);
}

std::uint32_t weakChecksum(std::span<const std::uint8_t> bytes, crypto::LaneWidth lanes) {
  TOLVEX_CHECK(lanes <= crypto::widestLaneWidth(), "this processor lacks the lanes asked for");
#if defined(__x86_64__)
  if (lanes == crypto::LaneWidth::kEight) {
    return weakInAvx512(bytes);
  }
  if (lanes == crypto::LaneWidth::kFour) {
    return weakInAvx2(bytes);
  }
#endif
  return weakChecksum(bytes);
}

RollingChecksum::RollingChecksum(std::size_t windowLength) : length_(windowLength) {
  const std::uint32_t leaving = power(kWeakMultiplier, windowLength);
  for (std::uint32_t byte = 0; byte < outgoing_.size(); ++byte) {
    outgoing_[byte] = byte * leaving;
  }
}

}  // namespace delta
