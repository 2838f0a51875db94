#include "catalog/catalog_signature.hpp"

#include "formats/catalog_file.hpp"

namespace catalog {

std::string signatureFileTextFor(std::string_view digestText,
                                 const crypto::SignerKeypair& keypair) {
  // The digest text is signed rather than the catalog bytes, so that a client
  // can check a catalog of any size against a short, fixed-length message.
  const crypto::Signature signature = crypto::signMessage(
      {reinterpret_cast<const std::uint8_t*>(digestText.data()), digestText.size()}, keypair);
  return formats::signatureFileText(signature);
}

}  // namespace catalog
