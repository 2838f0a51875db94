#include "crypto/blake2b_lanes.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/errors.hpp"
#include "crypto/vector_lanes.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace crypto {
namespace {

#if defined(__x86_64__)

constexpr std::size_t kChunkBytes = 128;
constexpr std::size_t kRounds = 12;

constexpr std::uint64_t kIv[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

// Digest length 64, no key, fanout and depth 1: the parameter block's first word.
constexpr std::uint64_t kParameters = 0x01010040;

// The message word order of each round; rounds 10 and 11 take rows 0 and 1.
constexpr std::uint8_t kSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

// Where each lane's 128-byte chunks are: in place, but for a last chunk
// shorter than that (the one chunk of empty messages too), copied and padded
// with zeros.
template <std::size_t kWidth>
class Chunks {
 public:
  Chunks(std::span<const std::uint8_t* const, kWidth> messages, std::size_t length)
      : messages_(messages),
        length_(length),
        count_(std::max<std::size_t>(1, (length + kChunkBytes - 1) / kChunkBytes)),
        padded_(length < count_ * kChunkBytes) {
    const std::size_t tail = length - (count_ - 1) * kChunkBytes;
    for (std::size_t lane = 0; padded_ && tail > 0 && lane < kWidth; ++lane) {
      std::memcpy(copies_[lane], messages_[lane] + (count_ - 1) * kChunkBytes, tail);
    }
  }

  std::size_t count() const { return count_; }
  bool last(std::size_t chunk) const { return chunk + 1 == count_; }
  // The bytes hashed once chunk `chunk` is.
  std::uint64_t counter(std::size_t chunk) const {
    return last(chunk) ? length_ : (chunk + 1) * kChunkBytes;
  }
  // Lane l's chunk `chunk` at [l]; an array the width of a vector register.
  const std::uint8_t* const* at(std::size_t chunk) {
    const bool copied = last(chunk) && padded_;
    for (std::size_t lane = 0; lane < kWidth; ++lane) {
      at_[lane] = copied ? copies_[lane] : messages_[lane] + chunk * kChunkBytes;
    }
    return at_.data();
  }

 private:
  std::span<const std::uint8_t* const, kWidth> messages_;
  std::size_t length_;
  std::size_t count_;
  bool padded_;  // the last chunk is copied
  alignas(64) std::array<const std::uint8_t*, kWidth> at_{};
  std::uint8_t copies_[kWidth][kChunkBytes]{};
};

// The code below is written once on vector types (crypto/vector_lanes.hpp), a
// message a lane.
#define TOLVEX_AVX512 __attribute__((target("avx512f")))

template <int kBits, typename V>
TOLVEX_INLINE void rotateRight(V& word) {
  word = (word >> kBits) | (word << (64 - kBits));
}

// AVX2 has no rotation: whole bytes move in one shuffle instead of two shifts
// and an OR.
using U8x32 = std::uint8_t __attribute__((vector_size(32)));

template <int kBytes, std::size_t... kByte>
TOLVEX_INLINE void rotateBytesRight(U64x4& word, std::index_sequence<kByte...>) {
  word = reinterpret_cast<U64x4>(
      __builtin_shufflevector(reinterpret_cast<U8x32>(word), reinterpret_cast<U8x32>(word),
                              (kByte / 8 * 8 + (kByte % 8 + kBytes) % 8)...));
}

template <>
TOLVEX_INLINE void rotateRight<32>(U64x4& word) {
  rotateBytesRight<4>(word, std::make_index_sequence<32>());
}
template <>
TOLVEX_INLINE void rotateRight<24>(U64x4& word) {
  rotateBytesRight<3>(word, std::make_index_sequence<32>());
}
template <>
TOLVEX_INLINE void rotateRight<16>(U64x4& word) {
  rotateBytesRight<2>(word, std::make_index_sequence<32>());
}

// Every lane of `word` set to `value`.
template <typename V>
TOLVEX_INLINE void fill(V& word, std::uint64_t value) {
  for (std::size_t lane = 0; lane < sizeof(V) / sizeof(std::uint64_t); ++lane) {
    word[lane] = value;
  }
}

template <typename V>
TOLVEX_INLINE void mix(V* v, int a, int b, int c, int d, const V& x, const V& y) {
  v[a] += v[b] + x;
  v[d] ^= v[a];
  rotateRight<32>(v[d]);
  v[c] += v[d];
  v[b] ^= v[c];
  rotateRight<24>(v[b]);
  v[a] += v[b] + y;
  v[d] ^= v[a];
  rotateRight<16>(v[d]);
  v[c] += v[d];
  v[b] ^= v[c];
  rotateRight<63>(v[b]);
}

template <typename V>
TOLVEX_INLINE void compress(V* h, const V* m, std::uint64_t counter, bool last) {
  V v[16] = {};
  for (std::size_t i = 0; i < 8; ++i) {
    v[i] = h[i];
    fill(v[i + 8], kIv[i]);
  }
  v[12] ^= counter;  // the high word of the counter stays 0 below 2^64 bytes
  v[14] ^= last ? ~std::uint64_t{0} : 0;
  for (std::size_t round = 0; round < kRounds; ++round) {
    const auto& s = kSigma[round % 10];
    mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
    mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
    mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
    mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
    mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
    mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
    mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
    mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (std::size_t i = 0; i < 8; ++i) {
    h[i] ^= v[i] ^ v[i + 8];
  }
}

template <typename V>
TOLVEX_INLINE void start(V* h) {
  for (std::size_t i = 0; i < 8; ++i) {
    fill(h[i], kIv[i]);
  }
  h[0] ^= kParameters;
}

template <std::size_t kWidth, typename V>
TOLVEX_INLINE std::array<Blake2bPrefix, kWidth> prefixesOf(const V* h) {
  static_assert(sizeof(Blake2bPrefix) == 2 * sizeof(std::uint64_t));
  std::array<Blake2bPrefix, kWidth> prefixes;
  for (std::size_t lane = 0; lane < kWidth; ++lane) {
    for (std::size_t byte = 0; byte < prefixes[lane].size(); ++byte) {
      prefixes[lane][byte] = static_cast<std::uint8_t>(h[byte / 8][lane] >> (byte % 8 * 8));
    }
  }
  return prefixes;
}

// The masked forms with every lane selected are the plain instructions; the
// unmasked intrinsics trip a false uninitialised-value warning in gcc 12.
constexpr __mmask8 kAllLanes = 0xFF;

// The pieces of 128 bits of `low` then `high` at even places (0x88: 0 and 2
// of each), or at odd ones (0xDD).
TOLVEX_INLINE TOLVEX_AVX512 __m512i evenPieces(__m512i low, __m512i high) {
  return _mm512_maskz_shuffle_i64x2(kAllLanes, low, high, 0x88);
}
TOLVEX_INLINE TOLVEX_AVX512 __m512i oddPieces(__m512i low, __m512i high) {
  return _mm512_maskz_shuffle_i64x2(kAllLanes, low, high, 0xDD);
}

// m[w] = word w of every lane's chunk: the chunks loaded as they are, then
// transposed in registers (faster than gathering each word).
TOLVEX_AVX512 void load8(const std::uint8_t* const* chunks, U64x8* m) {
  for (std::size_t half = 0; half < 2; ++half) {
    __m512i row[8];
    for (std::size_t lane = 0; lane < 8; ++lane) {
      row[lane] = _mm512_loadu_si512(chunks[lane] + half * 64);
    }
    // Pairs of lanes interleaved: words 0, 2, 4, 6 (and 1, 3, 5, 7) of each.
    __m512i pair[8];
    for (std::size_t lane = 0; lane < 8; lane += 2) {
      pair[lane] = _mm512_maskz_unpacklo_epi64(kAllLanes, row[lane], row[lane + 1]);
      pair[lane + 1] = _mm512_maskz_unpackhi_epi64(kAllLanes, row[lane], row[lane + 1]);
    }
    // Then pieces of 128 bits: quad[q] and quad[q + 4] hold words
    // kWordsOf[q] of lanes 0-3 and 4-7.
    constexpr std::size_t kWordsOf[4][2] = {{0, 4}, {2, 6}, {1, 5}, {3, 7}};
    __m512i quad[8];
    for (std::size_t at = 0; at < 8; at += 4) {
      quad[at] = evenPieces(pair[at], pair[at + 2]);
      quad[at + 1] = oddPieces(pair[at], pair[at + 2]);
      quad[at + 2] = evenPieces(pair[at + 1], pair[at + 3]);
      quad[at + 3] = oddPieces(pair[at + 1], pair[at + 3]);
    }
    for (std::size_t q = 0; q < 4; ++q) {
      _mm512_storeu_si512(&m[half * 8 + kWordsOf[q][0]], evenPieces(quad[q], quad[q + 4]));
      _mm512_storeu_si512(&m[half * 8 + kWordsOf[q][1]], oddPieces(quad[q], quad[q + 4]));
    }
  }
}

TOLVEX_AVX2 void load4(const std::uint8_t* const* chunks, U64x4* m) {
  for (std::size_t quarter = 0; quarter < 4; ++quarter) {
    __m256i row[4];
    for (std::size_t lane = 0; lane < 4; ++lane) {
      row[lane] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunks[lane] + quarter * 32));
    }
    const __m256i even01 = _mm256_unpacklo_epi64(row[0], row[1]);
    const __m256i odd01 = _mm256_unpackhi_epi64(row[0], row[1]);
    const __m256i even23 = _mm256_unpacklo_epi64(row[2], row[3]);
    const __m256i odd23 = _mm256_unpackhi_epi64(row[2], row[3]);
    auto* out = reinterpret_cast<__m256i*>(&m[quarter * 4]);
    _mm256_storeu_si256(out, _mm256_permute2x128_si256(even01, even23, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(odd01, odd23, 0x20));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(even01, even23, 0x31));
    _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(odd01, odd23, 0x31));
  }
}

// The prefixes of kWidth messages of `length` bytes, the words of each step's
// chunks put in vectors by kLoad.
template <typename V, std::size_t kWidth, void (*kLoad)(const std::uint8_t* const*, V*)>
TOLVEX_INLINE std::array<Blake2bPrefix, kWidth> hashLanes(
    std::span<const std::uint8_t* const, kWidth> messages, std::size_t length) {
  Chunks<kWidth> chunks(messages, length);
  V h[8];
  start(h);
  for (std::size_t chunk = 0; chunk < chunks.count(); ++chunk) {
    V m[16];
    kLoad(chunks.at(chunk), m);
    compress(h, m, chunks.counter(chunk), chunks.last(chunk));
  }
  return prefixesOf<kWidth>(h);
}

TOLVEX_AVX512 std::array<Blake2bPrefix, 8> hash8(std::span<const std::uint8_t* const, 8> messages,
                                                 std::size_t length) {
  return hashLanes<U64x8, 8, load8>(messages, length);
}

TOLVEX_AVX2 std::array<Blake2bPrefix, 4> hash4(std::span<const std::uint8_t* const, 4> messages,
                                               std::size_t length) {
  return hashLanes<U64x4, 4, load4>(messages, length);
}

#undef TOLVEX_AVX512

#endif

}  // namespace

#if defined(__x86_64__)

std::array<Blake2bPrefix, 4> blake2bPrefixX4(std::span<const std::uint8_t* const, 4> messages,
                                             std::size_t length) {
  return hash4(messages, length);
}

std::array<Blake2bPrefix, 8> blake2bPrefixX8(std::span<const std::uint8_t* const, 8> messages,
                                             std::size_t length) {
  return hash8(messages, length);
}

#else

std::array<Blake2bPrefix, 4> blake2bPrefixX4(std::span<const std::uint8_t* const, 4>, std::size_t) {
  TOLVEX_CHECK(false, "no 4-lane BLAKE2b on this processor");
  return {};
}

std::array<Blake2bPrefix, 8> blake2bPrefixX8(std::span<const std::uint8_t* const, 8>, std::size_t) {
  TOLVEX_CHECK(false, "no 8-lane BLAKE2b on this processor");
  return {};
}

#endif

}  // namespace crypto
