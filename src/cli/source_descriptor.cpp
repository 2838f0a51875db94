#include "cli/source_descriptor.hpp"

#include "cli/keypair_file.hpp"
#include "common/base64.hpp"
#include "common/file.hpp"
#include "common/json.hpp"
#include "common/output.hpp"

namespace cli {
namespace {

// Read and parsed at every use: the file may be edited between two calls.
common::JsonObject readDescriptor() {
  return common::JsonObject::parse(common::readWholeFile(kSourceFileName));
}

// `name` below `path` with exactly one "/" between them. `name` is appended as
// text, never re-parsed, so "?", "#" or "%" in it stay part of the path.
std::string joinPath(std::string_view path, std::string_view name) {
  const bool nameRooted = name.starts_with('/');
  const bool pathEndsInSlash = path.ends_with('/');
  if (pathEndsInSlash && nameRooted) {
    name.remove_prefix(1);
  }
  std::string joined;
  joined.reserve(path.size() + 1 + name.size());
  joined.append(path);
  if (!pathEndsInSlash && !nameRooted) {
    joined.push_back('/');
  }
  joined.append(name);
  return joined;
}

}  // namespace

int makeSourceJsonCommand(const std::string& url) {
  // Loaded first: a missing or broken key file leaves an existing descriptor as it was.
  const crypto::SignerKeypair keypair = loadKeypair(keypairPath());
  const std::string publicKey = common::base64Encode(keypair.publicKey);
  common::writeWholeFile(kSourceFileName,
                         common::compactJsonObject({{"public_key", publicKey}, {"url", url}}));
  common::printErr(std::string("Created ") + kSourceFileName);
  return 0;
}

std::string readSourcePublicKey() { return readDescriptor().stringMember("public_key"); }

common::Uri remoteUrl(std::string_view name) {
  common::Uri uri = common::parseUri(readDescriptor().stringMember("url"));
  uri.path = joinPath(uri.path, name);
  return uri;
}

}  // namespace cli
