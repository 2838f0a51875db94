#pragma once

#include <string>

#include "crypto/ed25519.hpp"

namespace cli {

// $HOME/.tolvex-signer-keypair, joined with a normalising path join;
// "/.tolvex-signer-keypair" when HOME is unset or empty.
std::string keypairPath();

// The 166-byte compact JSON text of the key file for `keypair`.
std::string keypairFileText(const crypto::SignerKeypair& keypair);

// Reads the key file at `path`. Throws IOError, JsonParsingError, KeyError,
// ValueError (bad Base64) or AssertionDefect (top level or key lengths).
crypto::SignerKeypair loadKeypair(const std::string& path);

// The `keygen` command body: 0, or -1 when the key file exists already.
int keygenCommand();

}  // namespace cli
