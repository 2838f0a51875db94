#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace crypto {

using Seed = std::array<std::uint8_t, 32>;
using PublicKey = std::array<std::uint8_t, 32>;
// Expanded form: the clamped secret scalar, then the nonce prefix.
using PrivateKey = std::array<std::uint8_t, 64>;
using Signature = std::array<std::uint8_t, 64>;

// The public key followed by the expanded private key (96 bytes in all). The
// private key is wiped when the object ends.
struct SignerKeypair {
  PublicKey publicKey{};
  PrivateKey privateKey{};
  ~SignerKeypair();
};

// Overwrites `bytes` with zeros in a way the compiler cannot leave out: for
// buffers that held a private key.
void wipeSecret(std::span<std::uint8_t> bytes);
void wipeSecret(std::string& text);

// 32 bytes from "/dev/urandom" (or `source`, for tests). Throws ValueError
// "ed25519_create_seed failed" when the source cannot be opened or gives fewer bytes.
Seed createSeed(const char* source = "/dev/urandom");

// RFC 8032 key pair of `seed`, with the private key in expanded form.
SignerKeypair createKeypair(const Seed& seed);

// Deterministic RFC 8032 signature of `message`, made with the expanded private
// key; the public half of `keypair` is used as it is, not recomputed.
Signature signMessage(std::span<const std::uint8_t> message, const SignerKeypair& keypair);

// True when `signature` is a valid signature of `message` under `publicKey`.
// Never throws.
bool verifySignature(std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature,
                     std::span<const std::uint8_t> publicKey);

}  // namespace crypto
