#include "updater/run/trust.hpp"

#include <algorithm>

#include "common/base64.hpp"
#include "common/errors.hpp"
#include "crypto/ed25519.hpp"
#include "formats/catalog_file.hpp"

namespace updater {

bool isTrustedPublicKey(const TrustedKeys& trusted, std::string_view publicKey) {
  return std::ranges::any_of(
      trusted, [publicKey](std::string_view key) { return !key.empty() && key == publicKey; });
}

std::vector<std::uint8_t> decodeCatalogSignature(std::string_view text) {
  std::vector<std::uint8_t> signature = formats::parseSignatureFile(text);
  TOLVEX_CHECK(signature.size() == 64, "signature length must be 64 bytes");
  return signature;
}

bool isSignedCatalogDigest(std::string_view catalogDigest, std::span<const std::uint8_t> signature,
                           std::string_view publicKeyText) {
  const std::vector<std::uint8_t> publicKey = common::base64Decode(publicKeyText);
  TOLVEX_CHECK(publicKey.size() == 32, "public key must be 32 bytes");
  return crypto::verifySignature(
      {reinterpret_cast<const std::uint8_t*>(catalogDigest.data()), catalogDigest.size()},
      signature, publicKey);
}

}  // namespace updater
