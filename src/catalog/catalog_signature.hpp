#pragma once

#include "crypto/ed25519.hpp"

namespace catalog {

// Signs the digest text of the catalog file and writes the 88 Base64
// characters of the signature into the signature file. Throws IOError.
void signCatalog(const crypto::SignerKeypair& keypair);

}  // namespace catalog
