#include "catalog/catalog_signature.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "common/base64.hpp"
#include "common/errors.hpp"
#include "crypto/sha3.hpp"
#include "support/temp_dir.hpp"
#include "support/test_keys.hpp"

namespace {

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(CatalogSignature, SignsTheDigestTextNotTheCatalogBytes) {
  for (const std::string& catalogText :
       {std::string(), std::string("abc *a.txt\n"), crypto::sha3Hex("x") + " *dir/x\n"}) {
    SCOPED_TRACE("catalog '" + catalogText + "'");
    const TempDir dir;
    const testing_support::ScopedWorkingDirectory cwd(dir.path());
    writeFile(dir / "updater-catalog.sha3", catalogText);
    const crypto::SignerKeypair keypair = testing_support::testKeypair(0);
    catalog::signCatalog(keypair);

    const std::string text = readFile(dir / "updater-catalog.sig");
    ASSERT_EQ(text.size(), 88U);
    EXPECT_TRUE(text.ends_with("=="));
    EXPECT_EQ(text.find('\n'), std::string::npos);
    const std::vector<std::uint8_t> signature = common::base64Decode(text);
    ASSERT_EQ(signature.size(), 64U);
    const std::string digestText = crypto::sha3Hex(catalogText);
    EXPECT_TRUE(crypto::verifySignature(bytesOf(digestText), signature, keypair.publicKey));
    EXPECT_FALSE(crypto::verifySignature(bytesOf(catalogText), signature, keypair.publicKey));
    EXPECT_FALSE(crypto::verifySignature(bytesOf(digestText), signature,
                                         testing_support::testKeypair(1).publicKey));
  }
}

TEST(CatalogSignature, IsDeterministicAndFollowsEveryCatalogByte) {
  const TempDir dir;
  const testing_support::ScopedWorkingDirectory cwd(dir.path());
  const crypto::SignerKeypair keypair = testing_support::testKeypair(1);
  writeFile(dir / "updater-catalog.sha3", " *a\n");
  catalog::signCatalog(keypair);
  const std::string first = readFile(dir / "updater-catalog.sig");
  catalog::signCatalog(keypair);
  EXPECT_EQ(readFile(dir / "updater-catalog.sig"), first);

  writeFile(dir / "updater-catalog.sha3", " *b\n");
  const std::vector<std::uint8_t> oldSignature = common::base64Decode(first);
  EXPECT_FALSE(
      crypto::verifySignature(bytesOf(crypto::sha3Hex(" *b\n")), oldSignature, keypair.publicKey));
  catalog::signCatalog(keypair);
  EXPECT_NE(readFile(dir / "updater-catalog.sig"), first);
}

TEST(CatalogSignature, ReportsASignatureFileThatCannotBeCreated) {
  const TempDir dir;
  const testing_support::ScopedWorkingDirectory cwd(dir.path());
  writeFile(dir / "updater-catalog.sha3", "");
  std::filesystem::create_directory(dir / "updater-catalog.sig");
  try {
    catalog::signCatalog(testing_support::testKeypair(0));
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& error) {
    EXPECT_EQ(error.message(), "cannot open: updater-catalog.sig");
  }
}

}  // namespace
