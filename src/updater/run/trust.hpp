#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace updater {

// The publisher keys a client accepts (Base64 text), fixed when it is built; an
// empty slot is unused and never matches.
using TrustedKeys = std::array<std::string_view, 2>;

// True when `publicKey` equals, as text, one of the non-empty `trusted` keys.
bool isTrustedPublicKey(const TrustedKeys& trusted, std::string_view publicKey);

// The 64 signature bytes of a signature file's text. Throws ValueError for
// text that is not Base64, AssertionDefect "signature length must be 64 bytes".
std::vector<std::uint8_t> decodeCatalogSignature(std::string_view text);

// True when `signature` signs `catalogDigest`, the digest text of a catalog
// (what the publisher signs), under the Base64 public key `publicKeyText`.
// Throws ValueError for a key that is not Base64, AssertionDefect when it is
// not 32 bytes.
bool isSignedCatalogDigest(std::string_view catalogDigest, std::span<const std::uint8_t> signature,
                           std::string_view publicKeyText);

}  // namespace updater
