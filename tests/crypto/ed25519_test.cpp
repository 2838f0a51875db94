#include "crypto/ed25519.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/errors.hpp"
#include "support/temp_dir.hpp"

namespace {

using testing_support::TempDir;
using testing_support::writeFile;

std::vector<std::uint8_t> fromHex(std::string_view hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

template <std::size_t N>
std::array<std::uint8_t, N> arrayFromHex(std::string_view hex) {
  const std::vector<std::uint8_t> bytes = fromHex(hex);
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(bytes.size(), N);
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

struct Vector {
  const char* name;
  const char* seed;
  const char* expandedKey;  // clamped SHA-512 of the seed
  const char* publicKey;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, tests 1 to 3.
const Vector kVectors[] = {
    {"test 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "307c83864f2833cb427a2ef1c00a013cfdff2768d980c0a3a520f006904de94f"
     "9b4f0afe280b746a778684e75442502057b7473a03f08f96f5a38e9287e01f8f",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"test 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "68bd9ed75882d52815a97585caf4790a7f6c6b3b7f821c5e259a24b02e502e51"
     "4566848291dacaf225cc63deb348da318e2c2e17b00b8160f9ce6bfa0472911d",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
     "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"test 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "909a8b755ed902849023a55b15c23d11ba4d7f4ec5c2f51b1325a181991ea95c"
     "6608c8666b9cde2325f539d7d83386fe8187c6be61d8a70c247190d64edf5f1e",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
     "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

crypto::SignerKeypair vectorKeypair(const Vector& v) {
  return crypto::createKeypair(arrayFromHex<32>(v.seed));
}

TEST(Ed25519, KeypairFromSeedMatchesRfc8032) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.name);
    const crypto::SignerKeypair keypair = vectorKeypair(v);
    EXPECT_EQ(keypair.publicKey, arrayFromHex<32>(v.publicKey));
    EXPECT_EQ(keypair.privateKey, arrayFromHex<64>(v.expandedKey));
    EXPECT_EQ(vectorKeypair(v).privateKey, keypair.privateKey);
  }
}

TEST(Ed25519, SignatureMatchesRfc8032AndVerifies) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.name);
    const std::vector<std::uint8_t> message = fromHex(v.message);
    const crypto::Signature signature = crypto::signMessage(message, vectorKeypair(v));
    EXPECT_EQ(signature, arrayFromHex<64>(v.signature));
    EXPECT_TRUE(crypto::verifySignature(message, arrayFromHex<64>(v.signature),
                                        arrayFromHex<32>(v.publicKey)));
  }
}

TEST(Ed25519, AnyChangedBitIsRejected) {
  const Vector& v = kVectors[2];
  const std::vector<std::uint8_t> message = fromHex(v.message);
  const auto signature = arrayFromHex<64>(v.signature);
  const auto publicKey = arrayFromHex<32>(v.publicKey);
  for (std::size_t bit = 0; bit < message.size() * 8; ++bit) {
    SCOPED_TRACE("message bit " + std::to_string(bit));
    std::vector<std::uint8_t> changed = message;
    changed[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
    EXPECT_FALSE(crypto::verifySignature(changed, signature, publicKey));
  }
  for (std::size_t bit = 0; bit < 64 * 8; ++bit) {
    SCOPED_TRACE("signature bit " + std::to_string(bit));
    auto changed = signature;
    changed[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
    EXPECT_FALSE(crypto::verifySignature(message, changed, publicKey));
  }
  for (std::size_t bit = 0; bit < 32 * 8; ++bit) {
    SCOPED_TRACE("public key bit " + std::to_string(bit));
    auto changed = publicKey;
    changed[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
    EXPECT_FALSE(crypto::verifySignature(message, signature, changed));
  }
}

TEST(Ed25519, MalformedInputsGiveFalseWithoutThrowing) {
  const Vector& v = kVectors[0];
  const auto signature = arrayFromHex<64>(v.signature);
  const auto publicKey = arrayFromHex<32>(v.publicKey);
  const std::vector<std::uint8_t> empty;
  // Rejected by the byte-63 rule before any arithmetic.
  auto highS = signature;
  highS[63] |= 0x20;
  // y = 2 has no x on the curve, so this is not the encoding of a point.
  std::array<std::uint8_t, 32> notAPoint{};
  notAPoint[0] = 2;
  const struct {
    const char* name;
    std::span<const std::uint8_t> signature;
    std::span<const std::uint8_t> publicKey;
  } cases[] = {
      {"byte 63 with a top bit set", highS, publicKey},
      {"key that is not a point", signature, notAPoint},
      {"short signature", std::span(signature).first(63), publicKey},
      {"short key", signature, std::span(publicKey).first(31)},
      {"empty signature and key", empty, empty},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(crypto::verifySignature(empty, c.signature, c.publicKey));
  }
}

TEST(Ed25519, HalvesThatDoNotBelongTogetherNeverVerify) {
  crypto::SignerKeypair mixed = vectorKeypair(kVectors[0]);
  mixed.publicKey = vectorKeypair(kVectors[1]).publicKey;
  const std::string_view text = "a digest text";
  const std::span<const std::uint8_t> message(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size());
  const crypto::Signature signature = crypto::signMessage(message, mixed);
  EXPECT_FALSE(crypto::verifySignature(message, signature, mixed.publicKey));
  EXPECT_FALSE(crypto::verifySignature(message, signature, vectorKeypair(kVectors[0]).publicKey));
}

TEST(Ed25519, FreshKeypairSignsAndVerifies) {
  const crypto::SignerKeypair keypair = crypto::createKeypair(crypto::createSeed());
  const std::vector<std::uint8_t> message(64, 'a');
  const crypto::Signature signature = crypto::signMessage(message, keypair);
  EXPECT_EQ(crypto::signMessage(message, keypair), signature);
  EXPECT_TRUE(crypto::verifySignature(message, signature, keypair.publicKey));
}

TEST(Ed25519, SeedFromShortOrMissingSourceFails) {
  const TempDir dir;
  writeFile(dir / "short", std::string(31, 'x'));
  writeFile(dir / "exact", std::string(32, 'x'));
  crypto::Seed expected{};
  expected.fill('x');
  EXPECT_EQ(crypto::createSeed((dir / "exact").c_str()), expected);
  for (const std::string& source : {dir / "short", dir / "missing"}) {
    SCOPED_TRACE(source);
    try {
      crypto::createSeed(source.c_str());
      ADD_FAILURE() << "no error";
    } catch (const common::ValueError& e) {
      EXPECT_EQ(e.message(), "ed25519_create_seed failed");
    }
  }
}

}  // namespace
