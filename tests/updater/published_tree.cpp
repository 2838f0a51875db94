#include "published_tree.hpp"

#include "common/base64.hpp"
#include "common/json.hpp"
#include "crypto/ed25519.hpp"
#include "crypto/sha3.hpp"
#include "support/temp_dir.hpp"

namespace updater_testing {

std::string binaryContent(std::size_t size, unsigned seed) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245U + 12345U;
    content[i] = static_cast<char>(seed >> 16);
  }
  return content;
}

std::string catalogLine(std::string_view path, std::string_view content) {
  return crypto::sha3Hex(content) + " *" + std::string(path) + "\n";
}

void publishTree(const std::string& root, const std::vector<PublishedFile>& files,
                 const crypto::SignerKeypair& keypair) {
  std::string catalog;
  for (const auto& file : files) {
    testing_support::writeFile(root + "/" + file.path, file.content);
    catalog += catalogLine(file.path, file.content);
  }
  publishCatalog(root, catalog, keypair);
}

void publishCatalog(const std::string& root, std::string_view catalog,
                    const crypto::SignerKeypair& keypair) {
  testing_support::writeFile(root + "/updater-catalog.sha3", catalog);
  // The signed message is the catalog's digest text, not the catalog itself.
  const std::string digest = crypto::sha3Hex(catalog);
  const crypto::Signature signature = crypto::signMessage(
      {reinterpret_cast<const std::uint8_t*>(digest.data()), digest.size()}, keypair);
  testing_support::writeFile(root + "/updater-catalog.sig", common::base64Encode(signature));
}

void writeSourceDescriptor(const std::string& dir, std::string_view url,
                           const std::string& publicKey) {
  testing_support::writeFile(dir + "/updater-source.json",
                             common::compactJsonObject({{"public_key", publicKey}, {"url", url}}));
}

}  // namespace updater_testing
