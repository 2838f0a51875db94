#include "catalog/catalog_signature.hpp"

#include <string>

#include "common/file.hpp"
#include "crypto/sha3.hpp"
#include "formats/catalog_file.hpp"
#include "formats/tool_files.hpp"

namespace catalog {

void signCatalog(const crypto::SignerKeypair& keypair) {
  // The digest text is signed rather than the catalog bytes, so that a client
  // can check a catalog of any size against a short, fixed-length message.
  // Everything is computed before the signature file is opened, so a failure
  // here leaves an older signature file as it was.
  const std::string message = crypto::sha3FileHexIfRegular(std::string(formats::kCatalogFileName));
  const crypto::Signature signature = crypto::signMessage(
      {reinterpret_cast<const std::uint8_t*>(message.data()), message.size()}, keypair);
  common::writeWholeFile(std::string(formats::kSignatureFileName),
                         formats::signatureFileText(signature));
}

}  // namespace catalog
