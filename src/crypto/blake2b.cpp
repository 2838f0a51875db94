#include "crypto/blake2b.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "common/errors.hpp"
#include "crypto/blake2b_lanes.hpp"
#include "crypto/lane_width.hpp"

namespace crypto {
namespace {

struct MdContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

// OpenSSL's BLAKE2b, not libsodium's: the faster one on small blocks, and block
// checksums are taken over whole files (bench/README.md). Fetched once, shared
// read-only by all threads.
const EVP_MD* blake2bMethod() {
  static const EVP_MD* const method = EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr);
  TOLVEX_CHECK(method != nullptr, "BLAKE2b-512 is not available");
  return method;
}

// Appends to `prefixes`, which holds those of the first blocks of `bytes`, the
// prefixes of the next ones, kWidth at a time by `hash`, while kWidth are left.
template <std::size_t kWidth>
void hashInLanes(std::span<const std::uint8_t> bytes, std::size_t blockLength,
                 std::array<Blake2bPrefix, kWidth> (*hash)(
                     std::span<const std::uint8_t* const, kWidth>, std::size_t),
                 std::vector<Blake2bPrefix>& prefixes) {
  while (bytes.size() / blockLength - prefixes.size() >= kWidth) {
    std::array<const std::uint8_t*, kWidth> blocks;
    for (std::size_t lane = 0; lane < kWidth; ++lane) {
      blocks[lane] = bytes.data() + (prefixes.size() + lane) * blockLength;
    }
    const std::array<Blake2bPrefix, kWidth> hashed = hash(blocks, blockLength);
    prefixes.insert(prefixes.end(), hashed.begin(), hashed.end());
  }
}

}  // namespace

Blake2bPrefix blake2bPrefix(std::span<const std::uint8_t> bytes) {
  // One context per thread, reset for every digest: no allocation per block.
  thread_local const std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
  TOLVEX_CHECK(context != nullptr, "cannot allocate a BLAKE2b context");
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  TOLVEX_CHECK(EVP_DigestInit_ex(context.get(), blake2bMethod(), nullptr) == 1 &&
                   EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) == 1 &&
                   EVP_DigestFinal_ex(context.get(), digest.data(), &size) == 1 && size == 64,
               "BLAKE2b-512 failed");
  Blake2bPrefix prefix{};
  std::copy_n(digest.begin(), prefix.size(), prefix.begin());
  return prefix;
}

std::vector<Blake2bPrefix> blake2bPrefixes(std::span<const std::uint8_t> bytes,
                                           std::size_t blockLength, LaneWidth lanes) {
  TOLVEX_CHECK(blockLength > 0, "BLAKE2b blocks of no bytes");
  TOLVEX_CHECK(lanes <= widestLaneWidth(), "this processor lacks the BLAKE2b lanes asked for");
  const std::size_t count = bytes.size() / blockLength;
  std::vector<Blake2bPrefix> prefixes;
  prefixes.reserve(count);
  // The widest lanes while enough blocks are left, then narrower ones.
  if (lanes == LaneWidth::kEight) {
    hashInLanes<8>(bytes, blockLength, blake2bPrefixX8, prefixes);
  }
  if (lanes >= LaneWidth::kFour) {
    hashInLanes<4>(bytes, blockLength, blake2bPrefixX4, prefixes);
  }
  while (prefixes.size() < count) {
    prefixes.push_back(blake2bPrefix(bytes.subspan(prefixes.size() * blockLength, blockLength)));
  }
  return prefixes;
}

}  // namespace crypto
