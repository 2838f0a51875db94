#pragma once

namespace crypto {

// How many independent states the hashing paths advance together: one
// (OpenSSL, or scalar code), 4 (AVX2) or 8 (AVX-512F/VL). SHA3-256 digests,
// the BLAKE2b block checksums and the weak checksums of an index all take the
// width chosen, so that one setting narrows them all.
enum class LaneWidth { kOne = 1, kFour = 4, kEight = 8 };

// The widest this processor runs.
LaneWidth widestLaneWidth();

// The width to take given `setting`, the value of TOLVEX_SHA3_LANES (null when
// unset): the widest the processor runs, no wider than "1", "4" or "8" asks.
// Throws ValueError for any other non-empty value.
LaneWidth laneWidthFromSetting(const char* setting);

}  // namespace crypto
