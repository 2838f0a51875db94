#include "catalog/catalog_signature.hpp"

#include <string>

#include "common/base64.hpp"
#include "common/file.hpp"
#include "crypto/sha3.hpp"

namespace catalog {

void signCatalog(const crypto::SignerKeypair& keypair) {
  // The digest text is signed rather than the catalog bytes, so that a client
  // can check a catalog of any size against a short, fixed-length message.
  // Everything is computed before the signature file is opened, so a failure
  // here leaves an older signature file as it was.
  const std::string message = crypto::sha3FileHexIfRegular(kCatalogFileName);
  const crypto::Signature signature = crypto::signMessage(
      {reinterpret_cast<const std::uint8_t*>(message.data()), message.size()}, keypair);
  common::writeWholeFile(kSignatureFileName, common::base64Encode(signature));
}

}  // namespace catalog
