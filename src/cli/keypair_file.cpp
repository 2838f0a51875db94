#include "cli/keypair_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "common/base64.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/json.hpp"
#include "common/output.hpp"

namespace cli {
namespace {

constexpr const char* kKeypairFileName = ".tolvex-signer-keypair";

// Joins `base` and `name` and normalises the result: repeated "/" collapse,
// "." disappears, ".." removes the component before it. A ".." with nothing
// before it stays in a relative path and vanishes at the root.
std::string normalizedJoin(std::string_view base, std::string_view name) {
  std::string joined(base);
  joined += '/';
  joined += name;
  const bool absolute = joined.front() == '/';
  std::vector<std::string_view> parts;
  std::string_view rest = joined;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") {
      continue;
    }
    if (part == ".." && !parts.empty() && parts.back() != "..") {
      parts.pop_back();
    } else if (part != ".." || !absolute) {
      parts.push_back(part);
    }
  }
  std::string result = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    result += i == 0 ? "" : "/";
    result += parts[i];
  }
  return result;
}

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
    return std::string("/") + kKeypairFileName;
  }
  return normalizedJoin(home, kKeypairFileName);
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

int keygenCommand() {
  const std::string path = keypairPath();
  if (common::isRegularFile(path)) {
    common::printErr(path + " already exists. Aborting.");
    return -1;
  }
  // The seed is read before the file is opened, so a failing source leaves no file.
  const crypto::SignerKeypair keypair = crypto::createKeypair(crypto::createSeed());
  common::OutputFile file = createPrivateFile(path);
  file.write(keypairFileText(keypair));
  file.close();
  common::printErr("Created " + path);
  return 0;
}

}  // namespace cli
