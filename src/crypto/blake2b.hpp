#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace crypto {

using Blake2bPrefix = std::array<std::uint8_t, 16>;

// The first 16 bytes of the BLAKE2b-512 digest (RFC 7693, unkeyed) of `bytes`.
// Thread-safe.
Blake2bPrefix blake2bPrefix(std::span<const std::uint8_t> bytes);

}  // namespace crypto
