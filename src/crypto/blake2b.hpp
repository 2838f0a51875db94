#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace crypto {

enum class LaneWidth;  // sha3_batch.hpp

using Blake2bPrefix = std::array<std::uint8_t, 16>;

// The first 16 bytes of the BLAKE2b-512 digest (RFC 7693, unkeyed) of `bytes`.
// Thread-safe.
Blake2bPrefix blake2bPrefix(std::span<const std::uint8_t> bytes);

// blake2bPrefix of each whole block of `blockLength` (> 0) bytes in `bytes`, in
// order; bytes after the last whole block are left out. The blocks are hashed
// `lanes` at a time, the vector paths of SHA3's lanes (one TOLVEX_SHA3_LANES
// narrows both), which the processor must run. Thread-safe.
std::vector<Blake2bPrefix> blake2bPrefixes(std::span<const std::uint8_t> bytes,
                                           std::size_t blockLength, LaneWidth lanes);

}  // namespace crypto
