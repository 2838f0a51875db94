#include "formats/keypair_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// The bytes of a Base64 key member; a bad character is reported by its place
// only, never by what it is.
std::vector<std::uint8_t> decodeKeyMember(std::string_view name, std::string& text) {
  try {
    return common::base64Decode(text);
  } catch (const common::ValueError& error) {
    // recovery point: the message would quote a character of the key
    const std::string_view message = error.message();
    const std::size_t at = message.rfind(" at location ");
    crypto::wipeSecret(text);
    throw common::ValueError(
        "Invalid base64 format character in \"" + std::string(name) + "\"" +
        std::string(message.substr(at == std::string_view::npos ? message.size() : at)));
  }
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
  std::string privateKey = common::base64Encode(keypair.privateKey);
  std::string text =
      common::compactJsonObject({{"public_key", publicKey}, {"private_key", privateKey}});
  crypto::wipeSecret(privateKey);
  return text;
}

crypto::SignerKeypair loadKeypair(const std::string& path) {
  std::string text = common::readWholeFile(path);
  std::string publicText;
  std::string privateText;
  std::vector<std::uint8_t> publicKey;
  std::vector<std::uint8_t> privateKey;
  try {
    common::JsonObject object =
        common::JsonObject::parse(text, common::JsonObject::Quoting::kNever);
    crypto::wipeSecret(text);
    // Both members are decoded before either length is checked, so a bad
    // character anywhere is reported ahead of a wrong length.
    publicText = object.takeStringMember("public_key");
    publicKey = decodeKeyMember("public_key", publicText);
    privateText = object.takeStringMember("private_key");
    privateKey = decodeKeyMember("private_key", privateText);
  } catch (const common::Error&) {
    // recovery point: the secrets are wiped, then the error goes on
    crypto::wipeSecret(text);
    crypto::wipeSecret(privateText);
    throw;
  }
  crypto::wipeSecret(privateText);
  crypto::SignerKeypair keypair;
  const bool lengthsFit = publicKey.size() == 32 && privateKey.size() == 64;
  if (lengthsFit) {
    std::copy(publicKey.begin(), publicKey.end(), keypair.publicKey.begin());
    std::copy(privateKey.begin(), privateKey.end(), keypair.privateKey.begin());
  }
  crypto::wipeSecret(privateKey);
  TOLVEX_CHECK(publicKey.size() == 32, "error in keypair: public key should be 32 bytes");
  TOLVEX_CHECK(privateKey.size() == 64, "error in keypair: private key should be 64 bytes");
  return keypair;
}

bool createKeypairFile(const std::string& path, const crypto::SignerKeypair& keypair) {
  // Created here and now, for its owner only: an existing file is never
  // truncated, and a link is never followed, not even a dangling one.
  common::FileDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0) {
    struct stat status {};
    if (errno == EEXIST && ::lstat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
      return false;
    }
    throw common::IOError("cannot open: " + path);
  }
  std::string text = keypairFileText(keypair);
  const int error = common::writeAll(file.get(), text);
  crypto::wipeSecret(text);
  if (error != 0 || file.close() != 0) {
    ::unlink(path.c_str());
    throw common::IOError("cannot write string to file");
  }
  return true;
}

}  // namespace formats
