#pragma once

#include <string>
#include <string_view>

#include "crypto/ed25519.hpp"

namespace catalog {

// The text of the signature file for a catalog whose digest text is
// `digestText`: the 88 Base64 characters of its signature with `keypair`.
std::string signatureFileTextFor(std::string_view digestText, const crypto::SignerKeypair& keypair);

}  // namespace catalog
