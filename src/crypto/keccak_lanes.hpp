#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

// The SHA3-256 sponge's rate: the bytes absorbed per Keccak-f[1600] call.
inline constexpr std::size_t kSha3RateBytes = 136;

// Words of one Keccak-f[1600] state.
inline constexpr std::size_t kKeccakWords = 25;

// True when the processor (and the system, which must save the wider registers)
// runs keccakAbsorbX4 and keccakAbsorbX8, respectively.
bool cpuRunsKeccakX4();
bool cpuRunsKeccakX8();

// XORs each of `count` consecutive blocks of kSha3RateBytes bytes into the one
// Keccak state `state` (words little-endian, as in FIPS 202), applying
// Keccak-f[1600] after each. Portable; runs on any processor.
void keccakAbsorb(std::uint64_t* state, const std::uint8_t* blocks, std::size_t count);

// XORs one block of kSha3RateBytes bytes into each of 4 (or 8) independent
// Keccak states and applies Keccak-f[1600] to each. The states are interleaved:
// word w of state s is states[w * 4 + s] (w * 8 + s), words little-endian as in
// FIPS 202. `blocks` holds one pointer per state; a state with nothing to absorb
// points to zeros. Call only when cpuRunsKeccakX4() (X8) is true.
void keccakAbsorbX4(std::uint64_t* states, const std::uint8_t* const* blocks);
void keccakAbsorbX8(std::uint64_t* states, const std::uint8_t* const* blocks);

}  // namespace crypto
