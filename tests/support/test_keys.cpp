#include "support/test_keys.hpp"

#include <gtest/gtest.h>

#include "common/base64.hpp"
#include "formats/keypair_file.hpp"
#include "formats/tool_files.hpp"
#include "support/temp_dir.hpp"

namespace testing_support {
namespace {

crypto::Seed seedFromHex(std::string_view hex) {
  crypto::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) {
    seed[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  }
  return seed;
}

}  // namespace

const updater::TrustedKeys& testTrustedKeys() {
  static const updater::TrustedKeys keys{TOLVEX_TEST_KEY_1, TOLVEX_TEST_KEY_2};
  return keys;
}

crypto::SignerKeypair testKeypair(int index) {
  static constexpr std::string_view kSeeds[] = {
      "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
      "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
  };
  return crypto::createKeypair(seedFromHex(kSeeds[index]));
}

std::string testPublicKeyText(int index) {
  return common::base64Encode(testKeypair(index).publicKey);
}

void writeTestKeyFile(const std::string& home, int index) {
  writeFile(home + "/" + std::string(formats::kKeypairFileName),
            formats::keypairFileText(testKeypair(index)));
}

}  // namespace testing_support
