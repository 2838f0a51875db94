#pragma once

#include "crypto/ed25519.hpp"

namespace catalog {

inline constexpr const char* kCatalogFileName = "updater-catalog.sha3";
inline constexpr const char* kSignatureFileName = "updater-catalog.sig";

// Signs the digest text of updater-catalog.sha3 and writes the 88 Base64
// characters of the signature into updater-catalog.sig. Throws IOError.
void signCatalog(const crypto::SignerKeypair& keypair);

}  // namespace catalog
