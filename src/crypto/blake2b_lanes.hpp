#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/blake2b.hpp"

namespace crypto {

// The first 16 bytes of the BLAKE2b-512 digest (RFC 7693, unkeyed) of each of 4
// (or 8) messages of `length` bytes, the message of lane l starting at
// messages[l], all hashed together in AVX2 (AVX-512F) registers. Call only when
// the processor runs them: widestLaneWidth() is at least kFour (kEight).
std::array<Blake2bPrefix, 4> blake2bPrefixX4(std::span<const std::uint8_t* const, 4> messages,
                                             std::size_t length);
std::array<Blake2bPrefix, 8> blake2bPrefixX8(std::span<const std::uint8_t* const, 8> messages,
                                             std::size_t length);

}  // namespace crypto
