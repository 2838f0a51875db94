#pragma once

#include <array>
#include <string_view>

namespace updater {

// The publisher keys built into this executable (Base64 text); an empty slot is unused.
// Defined by the executable, not the library, so that tests build clients with their own keys.
extern const std::array<std::string_view, 2> trustedPublicKeys;

// True when `publicKey` equals, as text, one of the non-empty trusted keys.
bool isTrustedPublicKey(std::string_view publicKey);

}  // namespace updater
