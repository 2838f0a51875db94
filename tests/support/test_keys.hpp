#pragma once

#include <string>

#include "crypto/ed25519.hpp"
#include "updater/run/trust.hpp"

namespace testing_support {

// The publisher keys of the test client: the public keys of testKeypair(0) and (1).
const updater::TrustedKeys& testTrustedKeys();

// The key pairs whose public keys the test client trusts: index 0 and 1 are
// made from the seeds of RFC 8032 test vectors 1 and 2.
crypto::SignerKeypair testKeypair(int index);

// The Base64 public key text of testKeypair(index).
std::string testPublicKeyText(int index);

// Writes the key file of testKeypair(index) to HOME `home`.
void writeTestKeyFile(const std::string& home, int index);

}  // namespace testing_support
