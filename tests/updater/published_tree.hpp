#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "crypto/ed25519.hpp"
#include "support/test_keys.hpp"

namespace updater_testing {

struct PublishedFile {
  std::string path;
  std::string content;
};

// `size` bytes of repeatable pseudo-random content (different for each `seed`).
std::string binaryContent(std::size_t size, unsigned seed);

// The catalog line of `path` with `content`: digest text, " *", path, LF.
std::string catalogLine(std::string_view path, std::string_view content);

// Writes `files` below `root`, then their catalog (in the given order) and its
// signature made with `keypair`, as a publisher would.
void publishTree(const std::string& root, const std::vector<PublishedFile>& files,
                 const crypto::SignerKeypair& keypair = testing_support::testKeypair(0));

// Writes `catalog` as the catalog of `root` and signs it with `keypair`.
void publishCatalog(const std::string& root, std::string_view catalog,
                    const crypto::SignerKeypair& keypair = testing_support::testKeypair(0));

// Writes updater-source.json into `dir` with `url` and `publicKey` (Base64 text).
void writeSourceDescriptor(const std::string& dir, std::string_view url,
                           const std::string& publicKey = testing_support::testPublicKeyText(0));

}  // namespace updater_testing
