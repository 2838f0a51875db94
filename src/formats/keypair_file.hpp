#pragma once

#include <string>

#include "crypto/ed25519.hpp"

namespace formats {

// The key file name in $HOME, joined with a normalising path join; the name
// below "/" when HOME is unset or empty.
std::string keypairPath();

// The 166-byte compact JSON text of the key file for `keypair`.
std::string keypairFileText(const crypto::SignerKeypair& keypair);

// Reads the key file at `path`. Throws IOError, JsonParsingError, KeyError,
// ValueError (bad Base64) or AssertionDefect (top level or key lengths).
crypto::SignerKeypair loadKeypair(const std::string& path);

// Creates the key file at `path` for its owner only (mode 0600) and writes
// `keypair` into it. Throws IOError.
void writeKeypairFile(const std::string& path, const crypto::SignerKeypair& keypair);

}  // namespace formats
