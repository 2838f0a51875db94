#include "crypto/keccak_lanes.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "common/errors.hpp"
#include "crypto/vector_lanes.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace crypto {
namespace {

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

// ---- one state, 64-bit scalar ----------------------------------------------

// One row of five words after chi.
struct Row {
  std::uint64_t a, e, i, o, u;
};

// chi along one row: each word ^= ~next & the one after.
inline __attribute__((always_inline)) Row chiRow(std::uint64_t b0, std::uint64_t b1,
                                                 std::uint64_t b2, std::uint64_t b3,
                                                 std::uint64_t b4) {
  return {b0 ^ (~b1 & b2), b1 ^ (~b2 & b3), b2 ^ (~b3 & b4), b3 ^ (~b4 & b0), b4 ^ (~b0 & b1)};
}

// One named variable per word: compilers keep them all in registers, which
// they do not for an array, however constant its indices.
inline __attribute__((always_inline)) void absorb1(std::uint64_t* state, const std::uint8_t* blocks,
                                                   std::size_t count) {
  std::uint64_t aba = state[0], abe = state[1], abi = state[2], abo = state[3], abu = state[4];
  std::uint64_t aga = state[5], age = state[6], agi = state[7], ago = state[8], agu = state[9];
  std::uint64_t aka = state[10], ake = state[11], aki = state[12], ako = state[13], aku = state[14];
  std::uint64_t ama = state[15], ame = state[16], ami = state[17], amo = state[18], amu = state[19];
  std::uint64_t asa = state[20], ase = state[21], asi = state[22], aso = state[23], asu = state[24];
  for (std::size_t block = 0; block < count; ++block, blocks += kSha3RateBytes) {
    std::uint64_t in[kRateWords];
    std::memcpy(in, blocks, kSha3RateBytes);
    if constexpr (std::endian::native == std::endian::big) {
      for (std::uint64_t& word : in) {
        word = __builtin_bswap64(word);
      }
    }
    aba ^= in[0], abe ^= in[1], abi ^= in[2], abo ^= in[3], abu ^= in[4], aga ^= in[5];
    age ^= in[6], agi ^= in[7], ago ^= in[8], agu ^= in[9], aka ^= in[10], ake ^= in[11];
    aki ^= in[12], ako ^= in[13], aku ^= in[14], ama ^= in[15], ame ^= in[16];
    for (const std::uint64_t constant : kRoundConstants) {
      const std::uint64_t ca = aba ^ aga ^ aka ^ ama ^ asa, ce = abe ^ age ^ ake ^ ame ^ ase;
      const std::uint64_t ci = abi ^ agi ^ aki ^ ami ^ asi, co = abo ^ ago ^ ako ^ amo ^ aso;
      const std::uint64_t cu = abu ^ agu ^ aku ^ amu ^ asu;
      const std::uint64_t da = cu ^ std::rotl(ce, 1), de = ca ^ std::rotl(ci, 1);
      const std::uint64_t di = ce ^ std::rotl(co, 1), dd = ci ^ std::rotl(cu, 1);
      const std::uint64_t du = co ^ std::rotl(ca, 1);
      // theta, rho and pi into one row at a time, then chi of that row.
      const Row eb = chiRow(aba ^ da, std::rotl(age ^ de, 44), std::rotl(aki ^ di, 43),
                            std::rotl(amo ^ dd, 21), std::rotl(asu ^ du, 14));
      const Row eg =
          chiRow(std::rotl(abo ^ dd, 28), std::rotl(agu ^ du, 20), std::rotl(aka ^ da, 3),
                 std::rotl(ame ^ de, 45), std::rotl(asi ^ di, 61));
      const Row ek = chiRow(std::rotl(abe ^ de, 1), std::rotl(agi ^ di, 6), std::rotl(ako ^ dd, 25),
                            std::rotl(amu ^ du, 8), std::rotl(asa ^ da, 18));
      const Row em =
          chiRow(std::rotl(abu ^ du, 27), std::rotl(aga ^ da, 36), std::rotl(ake ^ de, 10),
                 std::rotl(ami ^ di, 15), std::rotl(aso ^ dd, 56));
      const Row es =
          chiRow(std::rotl(abi ^ di, 62), std::rotl(ago ^ dd, 55), std::rotl(aku ^ du, 39),
                 std::rotl(ama ^ da, 41), std::rotl(ase ^ de, 2));
      aba = eb.a ^ constant, abe = eb.e, abi = eb.i, abo = eb.o, abu = eb.u;
      aga = eg.a, age = eg.e, agi = eg.i, ago = eg.o, agu = eg.u;
      aka = ek.a, ake = ek.e, aki = ek.i, ako = ek.o, aku = ek.u;
      ama = em.a, ame = em.e, ami = em.i, amo = em.o, amu = em.u;
      asa = es.a, ase = es.e, asi = es.i, aso = es.o, asu = es.u;
    }
  }
  const std::uint64_t words[kKeccakWords] = {aba, abe, abi, abo, abu, aga, age, agi, ago,
                                             agu, aka, ake, aki, ako, aku, ama, ame, ami,
                                             amo, amu, asa, ase, asi, aso, asu};
  std::copy_n(words, kKeccakWords, state);
}

void absorb1Plain(std::uint64_t* state, const std::uint8_t* blocks, std::size_t count) {
  absorb1(state, blocks, count);
}

#if defined(__x86_64__)

// chi's ~b & c is one instruction with BMI1.
__attribute__((target("bmi"))) void absorb1Bmi(std::uint64_t* state, const std::uint8_t* blocks,
                                               std::size_t count) {
  absorb1(state, blocks, count);
}

// The code below is written once on vector types (crypto/vector_lanes.hpp), a
// Keccak state a lane. With AVX-512 the compiler turns the shifts of a rotation
// into one rotate and chi's a ^ (~b & c) into one ternary-logic instruction.
#define TOLVEX_AVX512 __attribute__((target("avx512f,avx512vl")))

template <int kBits, typename V>
TOLVEX_INLINE void rotateLeft(const V& word, V& out) {
  if constexpr (kBits == 0) {
    out = word;
  } else {
    out = (word << kBits) | (word >> (64 - kBits));
  }
}

// theta's column effect XORed in, then rho and pi. The rotations are
// immediates, hence the index sequence instead of a loop.
template <typename V, std::size_t... kWord>
TOLVEX_INLINE void thetaRhoPi(const V* a, const V* d, V* b, std::index_sequence<kWord...>) {
  (rotateLeft<kRho[kWord]>(a[kWord] ^ d[kWord % 5], b[piTarget(kWord)]), ...);
}

template <typename V, std::size_t... kWord>
TOLVEX_INLINE void chi(const V* b, V* a, std::index_sequence<kWord...>) {
  ((a[kWord] = b[kWord] ^ (~b[rowNeighbour(kWord, 1)] & b[rowNeighbour(kWord, 2)])), ...);
}

// a ^ b ^ c. gcc makes chi one ternary-logic instruction by itself, but
// regroups theta's five-way XOR so that it fuses only two of its four XORs.
// Written per target, and inlined only once the body is in that target's
// function (always_inline would ask it of the body without a target), as
// are the gathers below.
template <typename V>
inline void xor3(const V& a, const V& b, const V& c, V& out) {
  out = a ^ b ^ c;
}

// 0x96 is the XOR of all three inputs.
inline TOLVEX_AVX512 void xor3(const U64x8& a, const U64x8& b, const U64x8& c, U64x8& out) {
  out = reinterpret_cast<U64x8>(_mm512_ternarylogic_epi64(reinterpret_cast<__m512i>(a),
                                                          reinterpret_cast<__m512i>(b),
                                                          reinterpret_cast<__m512i>(c), 0x96));
}

template <typename V>
TOLVEX_INLINE void permute(V* a) {
#pragma GCC unroll 2
  for (std::size_t round = 0; round < kRounds; ++round) {
    V parity[5];
    for (std::size_t x = 0; x < 5; ++x) {
      xor3(a[x], a[x + 5], a[x + 10], parity[x]);
      xor3(parity[x], a[x + 15], a[x + 20], parity[x]);
    }
    V d[5];
    for (std::size_t x = 0; x < 5; ++x) {
      rotateLeft<1>(parity[(x + 1) % 5], d[x]);
      d[x] ^= parity[(x + 4) % 5];
    }
    V b[kKeccakWords];
    thetaRhoPi(a, d, b, std::make_index_sequence<kKeccakWords>());
    chi(b, a, std::make_index_sequence<kKeccakWords>());
    a[0] ^= kRoundConstants[round];
  }
}

// The states (interleaved as the vectors are) absorb one block each, word w of
// every block loaded into one vector by kGather.
template <typename V, void (*kGather)(const std::uint8_t* const*, std::size_t, V&)>
TOLVEX_INLINE void absorbLanes(std::uint64_t* states, const std::uint8_t* const* blocks) {
  V a[kKeccakWords];
  std::memcpy(a, states, sizeof(a));
  for (std::size_t w = 0; w < kRateWords; ++w) {
    V word;
    kGather(blocks, w, word);
    a[w] ^= word;
  }
  permute(a);
  std::memcpy(states, a, sizeof(a));
}

// The masked form with every element selected is the plain instruction; the
// unmasked intrinsic trips a false uninitialised-value warning in gcc 12.
constexpr __mmask8 kAllStates = 0xFF;

// Word w of every block in one gather: the block addresses plus 8w.
inline TOLVEX_AVX512 void gather8(const std::uint8_t* const* blocks, std::size_t w, U64x8& word) {
  const __m512i offsets = _mm512_add_epi64(_mm512_loadu_si512(blocks),
                                           _mm512_set1_epi64(static_cast<long long>(w) * 8));
  word = reinterpret_cast<U64x8>(
      _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), kAllStates, offsets, nullptr, 1));
}

inline TOLVEX_AVX2 void gather4(const std::uint8_t* const* blocks, std::size_t w, U64x4& word) {
  const __m256i offsets =
      _mm256_add_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks)),
                       _mm256_set1_epi64x(static_cast<long long>(w) * 8));
  word = reinterpret_cast<U64x4>(_mm256_i64gather_epi64(nullptr, offsets, 1));
}

TOLVEX_AVX512 void absorb8(std::uint64_t* states, const std::uint8_t* const* blocks) {
  absorbLanes<U64x8, gather8>(states, blocks);
}

TOLVEX_AVX2 void absorb4(std::uint64_t* states, const std::uint8_t* const* blocks) {
  absorbLanes<U64x4, gather4>(states, blocks);
}

#undef TOLVEX_AVX512

#endif

}  // namespace

void keccakAbsorb(std::uint64_t* state, const std::uint8_t* blocks, std::size_t count) {
#if defined(__x86_64__)
  static const auto absorb = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi") ? absorb1Bmi : absorb1Plain;
  }();
  absorb(state, blocks, count);
#else
  absorb1Plain(state, blocks, count);
#endif
}

#if defined(__x86_64__)

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
