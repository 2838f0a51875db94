#include "crypto/keccak_lanes.hpp"

#include <array>
#include <utility>

#include "common/errors.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace crypto {

#if defined(__x86_64__)

namespace {

// Each state is one element of every vector: vector w holds word w of all the
// states, so one instruction advances the same step of 4 (or 8) permutations.
// The functions carry their instruction set as an attribute, so the program
// runs on any x86-64 and takes these paths only where the processor has them.
#define TOLVEX_AVX2 __attribute__((target("avx2")))
#define TOLVEX_AVX512 __attribute__((target("avx512f,avx512vl")))

constexpr std::size_t kRounds = 24;

constexpr std::array<std::uint64_t, kRounds> kRoundConstants = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808A, 0x8000000080008000,
    0x000000000000808B, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
    0x000000000000008A, 0x0000000000000088, 0x0000000080008009, 0x000000008000000A,
    0x000000008000808B, 0x800000000000008B, 0x8000000000008089, 0x8000000000008003,
    0x8000000000008002, 0x8000000000000080, 0x000000000000800A, 0x800000008000000A,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008,
};

// rho's rotation of word x + 5y.
constexpr std::array<int, kKeccakWords> kRho = {
    0, 1, 62, 28, 27, 36, 44, 6, 55, 20, 3, 10, 43, 25, 39, 41, 45, 15, 21, 8, 18, 2, 61, 56, 14,
};

// Where pi moves word x + 5y: to x' = y, y' = 2x + 3y.
constexpr std::size_t piTarget(std::size_t word) {
  const std::size_t x = word % 5;
  const std::size_t y = word / 5;
  return y + 5 * ((2 * x + 3 * y) % 5);
}

// The word `step` places to the right of `word` in its row (x + step, same y).
constexpr std::size_t rowNeighbour(std::size_t word, std::size_t step) {
  return (word % 5 + step) % 5 + word / 5 * 5;
}

constexpr std::size_t kRateWords = kSha3RateBytes / 8;

// ---- 8 states, AVX-512 ----------------------------------------------------

// The masked forms with every element selected are the plain instructions; the
// unmasked intrinsics trip a false uninitialised-value warning in gcc 12.
constexpr __mmask8 kAllStates = 0xFF;

template <int kBits>
TOLVEX_AVX512 inline __m512i rotate8(__m512i v) {
  return _mm512_maskz_rol_epi64(kAllStates, v, kBits);
}

// theta's column effect XORed in, then rho and pi. The rotations are
// immediates, hence the index sequence instead of a loop.
template <std::size_t... kWord>
TOLVEX_AVX512 inline void thetaRhoPi8(const __m512i* a, const __m512i* d, __m512i* b,
                                      std::index_sequence<kWord...>) {
  ((b[piTarget(kWord)] = rotate8<kRho[kWord]>(_mm512_xor_si512(a[kWord], d[kWord % 5]))), ...);
}

// chi: a ^ (~b & c) is the truth table 0xD2 of (a, b, c).
template <std::size_t... kWord>
TOLVEX_AVX512 inline void chi8(const __m512i* b, __m512i* a, std::index_sequence<kWord...>) {
  ((a[kWord] = _mm512_ternarylogic_epi64(b[kWord], b[rowNeighbour(kWord, 1)],
                                         b[rowNeighbour(kWord, 2)], 0xD2)),
   ...);
}

TOLVEX_AVX512 inline __attribute__((always_inline)) void permute8(__m512i* a) {
#pragma GCC unroll 2
  for (std::size_t round = 0; round < kRounds; ++round) {
    __m512i parity[5];
    for (std::size_t x = 0; x < 5; ++x) {
      // 0x96 is the XOR of all three inputs.
      parity[x] = _mm512_ternarylogic_epi64(
          _mm512_ternarylogic_epi64(a[x], a[x + 5], a[x + 10], 0x96), a[x + 15], a[x + 20], 0x96);
    }
    __m512i d[5];
    for (std::size_t x = 0; x < 5; ++x) {
      d[x] = _mm512_xor_si512(parity[(x + 4) % 5], rotate8<1>(parity[(x + 1) % 5]));
    }
    __m512i b[kKeccakWords];
    thetaRhoPi8(a, d, b, std::make_index_sequence<kKeccakWords>());
    chi8(b, a, std::make_index_sequence<kKeccakWords>());
    a[0] =
        _mm512_xor_si512(a[0], _mm512_set1_epi64(static_cast<long long>(kRoundConstants[round])));
  }
}

TOLVEX_AVX512 void absorb8(std::uint64_t* states, const std::uint8_t* const* blocks) {
  __m512i a[kKeccakWords];
  for (std::size_t w = 0; w < kKeccakWords; ++w) {
    a[w] = _mm512_loadu_si512(states + w * 8);
  }
  // Word w of every block in one gather: the block addresses plus 8w.
  const __m512i addresses = _mm512_loadu_si512(blocks);
  for (std::size_t w = 0; w < kRateWords; ++w) {
    const __m512i offsets =
        _mm512_add_epi64(addresses, _mm512_set1_epi64(static_cast<long long>(w) * 8));
    a[w] = _mm512_xor_si512(
        a[w], _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), kAllStates, offsets, nullptr, 1));
  }
  permute8(a);
  for (std::size_t w = 0; w < kKeccakWords; ++w) {
    _mm512_storeu_si512(states + w * 8, a[w]);
  }
}

// ---- 4 states, AVX2 -------------------------------------------------------

template <int kBits>
TOLVEX_AVX2 inline __m256i rotate4(__m256i v) {
  if constexpr (kBits == 0) {
    return v;
  } else {
    return _mm256_or_si256(_mm256_slli_epi64(v, kBits), _mm256_srli_epi64(v, 64 - kBits));
  }
}

template <std::size_t... kWord>
TOLVEX_AVX2 inline void thetaRhoPi4(const __m256i* a, const __m256i* d, __m256i* b,
                                    std::index_sequence<kWord...>) {
  ((b[piTarget(kWord)] = rotate4<kRho[kWord]>(_mm256_xor_si256(a[kWord], d[kWord % 5]))), ...);
}

template <std::size_t... kWord>
TOLVEX_AVX2 inline void chi4(const __m256i* b, __m256i* a, std::index_sequence<kWord...>) {
  ((a[kWord] = _mm256_xor_si256(
        b[kWord], _mm256_andnot_si256(b[rowNeighbour(kWord, 1)], b[rowNeighbour(kWord, 2)]))),
   ...);
}

TOLVEX_AVX2 inline __attribute__((always_inline)) void permute4(__m256i* a) {
#pragma GCC unroll 2
  for (std::size_t round = 0; round < kRounds; ++round) {
    __m256i parity[5];
    for (std::size_t x = 0; x < 5; ++x) {
      parity[x] = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a[x], a[x + 5]),
                                                    _mm256_xor_si256(a[x + 10], a[x + 15])),
                                   a[x + 20]);
    }
    __m256i d[5];
    for (std::size_t x = 0; x < 5; ++x) {
      d[x] = _mm256_xor_si256(parity[(x + 4) % 5], rotate4<1>(parity[(x + 1) % 5]));
    }
    __m256i b[kKeccakWords];
    thetaRhoPi4(a, d, b, std::make_index_sequence<kKeccakWords>());
    chi4(b, a, std::make_index_sequence<kKeccakWords>());
    a[0] =
        _mm256_xor_si256(a[0], _mm256_set1_epi64x(static_cast<long long>(kRoundConstants[round])));
  }
}

TOLVEX_AVX2 void absorb4(std::uint64_t* states, const std::uint8_t* const* blocks) {
  __m256i a[kKeccakWords];
  for (std::size_t w = 0; w < kKeccakWords; ++w) {
    a[w] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(states + w * 4));
  }
  const __m256i addresses = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks));
  for (std::size_t w = 0; w < kRateWords; ++w) {
    const __m256i offsets =
        _mm256_add_epi64(addresses, _mm256_set1_epi64x(static_cast<long long>(w) * 8));
    a[w] = _mm256_xor_si256(a[w], _mm256_i64gather_epi64(nullptr, offsets, 1));
  }
  permute4(a);
  for (std::size_t w = 0; w < kKeccakWords; ++w) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(states + w * 4), a[w]);
  }
}

#undef TOLVEX_AVX2
#undef TOLVEX_AVX512

}  // namespace

bool cpuRunsKeccakX4() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool cpuRunsKeccakX8() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}

void keccakAbsorbX4(std::uint64_t* states, const std::uint8_t* const* blocks) {
  absorb4(states, blocks);
}

void keccakAbsorbX8(std::uint64_t* states, const std::uint8_t* const* blocks) {
  absorb8(states, blocks);
}

#else

bool cpuRunsKeccakX4() { return false; }
bool cpuRunsKeccakX8() { return false; }

void keccakAbsorbX4(std::uint64_t*, const std::uint8_t* const*) {
  TOLVEX_CHECK(false, "no 4-state Keccak on this processor");
}

void keccakAbsorbX8(std::uint64_t*, const std::uint8_t* const*) {
  TOLVEX_CHECK(false, "no 8-state Keccak on this processor");
}

#endif

}  // namespace crypto
