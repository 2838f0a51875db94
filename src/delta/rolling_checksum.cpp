#include "delta/rolling_checksum.hpp"

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
  std::uint32_t checksum = 0;
  for (const std::uint32_t lane : lanes) {
    checksum = checksum * kWeakMultiplier + lane;
  }
  for (std::size_t i = whole; i < bytes.size(); ++i) {
    checksum = checksum * kWeakMultiplier + bytes[i];
  }
  return checksum;
}

RollingChecksum::RollingChecksum(std::size_t windowLength) : length_(windowLength) {
  const std::uint32_t leaving = power(kWeakMultiplier, windowLength);
  for (std::uint32_t byte = 0; byte < outgoing_.size(); ++byte) {
    outgoing_[byte] = byte * leaving;
  }
}

}  // namespace delta
