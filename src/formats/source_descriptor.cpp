#include "formats/source_descriptor.hpp"

#include "common/file.hpp"
#include "common/json.hpp"
#include "common/path.hpp"
#include "formats/tool_files.hpp"

namespace formats {
namespace {

common::JsonObject readDescriptor() {
  return common::JsonObject::parse(common::readWholeFile(std::string(kSourceFileName)));
}

}  // namespace

void writeSourceDescriptor(std::string_view publicKey, std::string_view url) {
  common::writeWholeFile(std::string(kSourceFileName),
                         common::compactJsonObject({{"public_key", publicKey}, {"url", url}}));
}

std::string readSourcePublicKey() { return readDescriptor().stringMember("public_key"); }

common::Uri remoteUrl(std::string_view name) {
  common::Uri uri = common::parseUri(readDescriptor().stringMember("url"));
  uri.path = common::joinWithOneSlash(uri.path, name);
  return uri;
}

}  // namespace formats
