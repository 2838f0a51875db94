#include "formats/source_descriptor.hpp"

#include "common/file.hpp"
#include "common/json.hpp"
#include "common/path.hpp"
#include "formats/tool_files.hpp"

namespace formats {
void writeSourceDescriptor(std::string_view publicKey, std::string_view url) {
  common::writeWholeFile(std::string(kSourceFileName),
                         common::compactJsonObject({{"public_key", publicKey}, {"url", url}}));
}

std::string readSourceDescriptor() { return common::readWholeFile(std::string(kSourceFileName)); }

std::string readSourcePublicKey() { return sourcePublicKeyIn(readSourceDescriptor()); }

common::Uri remoteUrl(std::string_view name) { return remoteUrlIn(readSourceDescriptor(), name); }

std::string sourcePublicKeyIn(std::string_view descriptor) {
  return common::JsonObject::parse(descriptor).stringMember("public_key");
}

common::Uri remoteUrlIn(std::string_view descriptor, std::string_view name) {
  common::Uri uri = common::parseUri(common::JsonObject::parse(descriptor).stringMember("url"));
  uri.path = common::joinWithOneSlash(uri.path, name);
  return uri;
}

}  // namespace formats
