#include "crypto/ed25519.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>

#include "common/errors.hpp"
#include "common/file.hpp"

namespace crypto {
namespace {

using Scalar = std::array<std::uint8_t, crypto_core_ed25519_SCALARBYTES>;
using WideHash = std::array<std::uint8_t, crypto_hash_sha512_BYTES>;

// Messages travel with a 32-bit length in the signature format's contract.
constexpr std::uint64_t kMessageLimit = std::uint64_t{1} << 32;

bool sodiumReady() noexcept {
  // sodium_init is idempotent, but the check needs to happen once only.
  static const bool ready = sodium_init() >= 0;
  return ready;
}

void requireSodium() { TOLVEX_CHECK(sodiumReady(), "sodium_init failed"); }

// Wipes a secret intermediate when it goes out of scope, on every exit.
template <typename Bytes>
class Wiped {
 public:
  Wiped() = default;
  ~Wiped() { sodium_memzero(bytes_.data(), bytes_.size()); }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  std::uint8_t* data() noexcept { return bytes_.data(); }

 private:
  Bytes bytes_{};
};

// SHA-512 of the concatenated parts, reduced modulo the group order L.
void hashToScalar(std::uint8_t* scalar,
                  std::initializer_list<std::span<const std::uint8_t>> parts) {
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  for (const auto& part : parts) {
    crypto_hash_sha512_update(&state, part.data(), part.size());
  }
  Wiped<WideHash> wide;
  crypto_hash_sha512_final(&state, wide.data());
  sodium_memzero(&state, sizeof state);
  crypto_core_ed25519_scalar_reduce(scalar, wide.data());
}

// Encoding of scalar·B. libsodium reports -1 only for the identity point (a
// scalar that is 0 modulo L), whose encoding it has written all the same; that
// is the correct result, so the status carries no information here.
void baseMultiply(std::uint8_t* point, const std::uint8_t* scalar) {
  static_cast<void>(crypto_scalarmult_ed25519_base_noclamp(point, scalar));
}

}  // namespace

Seed createSeed(const char* source) {
  const common::FilePtr file(std::fopen(source, "rb"));
  if (!file) {
    throw common::ValueError("ed25519_create_seed failed");
  }
  Seed seed{};
  // A short read would leave zero bytes in the seed and a guessable key.
  if (std::fread(seed.data(), 1, seed.size(), file.get()) != seed.size()) {
    sodium_memzero(seed.data(), seed.size());
    throw common::ValueError("ed25519_create_seed failed");
  }
  return seed;
}

SignerKeypair createKeypair(const Seed& seed) {
  requireSodium();
  SignerKeypair keypair;
  std::uint8_t* h = keypair.privateKey.data();
  crypto_hash_sha512(h, seed.data(), seed.size());
  h[0] &= 248;
  h[31] &= 63;
  h[31] |= 64;
  baseMultiply(keypair.publicKey.data(), h);
  return keypair;
}

Signature signMessage(std::span<const std::uint8_t> message, const SignerKeypair& keypair) {
  requireSodium();
  TOLVEX_CHECK(message.size() < kMessageLimit, "message too long to sign");
  const std::span<const std::uint8_t> secret(keypair.privateKey.data(), 32);
  const std::span<const std::uint8_t> prefix(keypair.privateKey.data() + 32, 32);

  Signature signature{};
  Wiped<Scalar> r;
  hashToScalar(r.data(), {prefix, message});
  baseMultiply(signature.data(), r.data());

  Scalar k{};
  const std::span<const std::uint8_t> encodedR(signature.data(), 32);
  hashToScalar(k.data(), {encodedR, std::span<const std::uint8_t>(keypair.publicKey), message});

  // The clamped secret scalar may exceed L; reduce it before the product.
  Wiped<WideHash> wideSecret;
  std::copy(secret.begin(), secret.end(), wideSecret.data());
  Wiped<Scalar> a;
  crypto_core_ed25519_scalar_reduce(a.data(), wideSecret.data());
  Wiped<Scalar> product;
  crypto_core_ed25519_scalar_mul(product.data(), k.data(), a.data());
  crypto_core_ed25519_scalar_add(signature.data() + 32, product.data(), r.data());
  return signature;
}

bool verifySignature(std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature,
                     std::span<const std::uint8_t> publicKey) {
  if (signature.size() != crypto_sign_ed25519_BYTES ||
      publicKey.size() != crypto_sign_ed25519_PUBLICKEYBYTES || message.size() >= kMessageLimit) {
    return false;
  }
  if ((signature[63] & 0xE0) != 0) {
    return false;
  }
  if (!sodiumReady()) {
    return false;
  }
  return crypto_sign_ed25519_verify_detached(signature.data(), message.data(), message.size(),
                                             publicKey.data()) == 0;
}

SignerKeypair::~SignerKeypair() { wipeSecret(privateKey); }

void wipeSecret(std::span<std::uint8_t> bytes) { sodium_memzero(bytes.data(), bytes.size()); }

void wipeSecret(std::string& text) { sodium_memzero(text.data(), text.size()); }

}  // namespace crypto
