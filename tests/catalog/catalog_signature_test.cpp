#include "catalog/catalog_signature.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "common/base64.hpp"
#include "crypto/sha3.hpp"
#include "support/test_keys.hpp"

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(CatalogSignature, SignsTheDigestTextNotTheCatalogBytes) {
  for (const std::string& catalogText :
       {std::string(), std::string("abc *a.txt\n"), crypto::sha3Hex("x") + " *dir/x\n"}) {
    SCOPED_TRACE("catalog '" + catalogText + "'");
    const crypto::SignerKeypair keypair = testing_support::testKeypair(0);
    const std::string digestText = crypto::sha3Hex(catalogText);
    const std::string text = catalog::signatureFileTextFor(digestText, keypair);

    ASSERT_EQ(text.size(), 88U);
    EXPECT_TRUE(text.ends_with("=="));
    EXPECT_EQ(text.find('\n'), std::string::npos);
    const std::vector<std::uint8_t> signature = common::base64Decode(text);
    ASSERT_EQ(signature.size(), 64U);
    EXPECT_TRUE(crypto::verifySignature(bytesOf(digestText), signature, keypair.publicKey));
    EXPECT_FALSE(crypto::verifySignature(bytesOf(catalogText), signature, keypair.publicKey));
    EXPECT_FALSE(crypto::verifySignature(bytesOf(digestText), signature,
                                         testing_support::testKeypair(1).publicKey));
  }
}

TEST(CatalogSignature, IsDeterministicAndFollowsEveryCatalogByte) {
  const crypto::SignerKeypair keypair = testing_support::testKeypair(1);
  const std::string first = catalog::signatureFileTextFor(crypto::sha3Hex(" *a\n"), keypair);
  EXPECT_EQ(catalog::signatureFileTextFor(crypto::sha3Hex(" *a\n"), keypair), first);

  const std::vector<std::uint8_t> oldSignature = common::base64Decode(first);
  EXPECT_FALSE(
      crypto::verifySignature(bytesOf(crypto::sha3Hex(" *b\n")), oldSignature, keypair.publicKey));
  EXPECT_NE(catalog::signatureFileTextFor(crypto::sha3Hex(" *b\n"), keypair), first);
}

}  // namespace
