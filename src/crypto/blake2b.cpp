#include "crypto/blake2b.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "common/errors.hpp"

namespace crypto {
namespace {

struct MdContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

// OpenSSL's BLAKE2b runs at about twice the speed of libsodium's on 4 KiB
// blocks (1.3 against 0.7 GB/s on the build machine), and block checksums are
// taken over whole files. Fetched once, shared read-only by all threads.
const EVP_MD* blake2bMethod() {
  static const EVP_MD* const method = EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr);
  TOLVEX_CHECK(method != nullptr, "BLAKE2b-512 is not available");
  return method;
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

}  // namespace crypto
