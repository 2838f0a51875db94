#include "formats/keypair_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "common/base64.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/json.hpp"
#include "common/path.hpp"
#include "formats/tool_files.hpp"

namespace formats {
namespace {

// The key file holds the private key: create it for its owner only.
common::OutputFile createPrivateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw common::IOError("cannot open: " + path);
  }
  common::FilePtr file(::fdopen(fd, "wb"));
  if (!file) {
    ::close(fd);
    throw common::IOError("cannot open: " + path);
  }
  return common::OutputFile(std::move(file));
}

}  // namespace

std::string keypairPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    return "/" + std::string(kKeypairFileName);
  }
  return common::joinNormalized(home, kKeypairFileName);
}

std::string keypairFileText(const crypto::SignerKeypair& keypair) {
  const std::string publicKey = common::base64Encode(keypair.publicKey);
  const std::string privateKey = common::base64Encode(keypair.privateKey);
  return common::compactJsonObject({{"public_key", publicKey}, {"private_key", privateKey}});
}

crypto::SignerKeypair loadKeypair(const std::string& path) {
  const common::JsonObject object = common::JsonObject::parse(common::readWholeFile(path));
  // Both members are decoded before either length is checked, so a bad
  // character anywhere is reported ahead of a wrong length.
  const std::vector<std::uint8_t> publicKey =
      common::base64Decode(object.stringMember("public_key"));
  const std::vector<std::uint8_t> privateKey =
      common::base64Decode(object.stringMember("private_key"));
  TOLVEX_CHECK(publicKey.size() == 32, "error in keypair: public key should be 32 bytes");
  TOLVEX_CHECK(privateKey.size() == 64, "error in keypair: private key should be 64 bytes");
  crypto::SignerKeypair keypair;
  std::copy(publicKey.begin(), publicKey.end(), keypair.publicKey.begin());
  std::copy(privateKey.begin(), privateKey.end(), keypair.privateKey.begin());
  return keypair;
}

void writeKeypairFile(const std::string& path, const crypto::SignerKeypair& keypair) {
  common::OutputFile file = createPrivateFile(path);
  file.write(keypairFileText(keypair));
  file.close();
}

}  // namespace formats
