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
// ValueError (bad Base64) or AssertionDefect (top level or key lengths). No
// message shows any of the file's content, and the buffers that held the
// private key are wiped.
crypto::SignerKeypair loadKeypair(const std::string& path);

// Creates the key file at `path` for its owner only (mode 0600) and writes
// `keypair` into it; false, with nothing written, when something (a file, a
// link, even a dangling one) is there already. Never writes through a link.
// Throws IOError "cannot open: PATH" for a directory there or a failed open,
// "cannot write string to file" for a failed write (the file is removed).
bool createKeypairFile(const std::string& path, const crypto::SignerKeypair& keypair);

}  // namespace formats
