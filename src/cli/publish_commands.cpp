#include "cli/publish_commands.hpp"

#include <sys/stat.h>

#include "catalog/block_index_folder.hpp"
#include "catalog/catalog_builder.hpp"
#include "catalog/catalog_draft.hpp"
#include "catalog/ignore_rules.hpp"
#include "catalog/release_stamp.hpp"
#include "common/base64.hpp"
#include "common/file.hpp"
#include "common/output.hpp"
#include "common/system.hpp"
#include "common/text.hpp"
#include "crypto/ed25519.hpp"
#include "formats/catalog_file.hpp"
#include "formats/keypair_file.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"

namespace cli {

int keygenCommand() {
  const std::string path = formats::keypairPath();
  const auto refuse = [&path] {
    common::printErr(path + " already exists. Aborting.");
    return -1;
  };
  // A link counts as a key file, even a dangling one: never write through it.
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
    return refuse();
  }
  // The seed is read before the file is opened, so a failing source leaves no file.
  const crypto::SignerKeypair keypair = crypto::createKeypair(crypto::createSeed());
  if (!formats::createKeypairFile(path, keypair)) {
    return refuse();  // made by someone else meanwhile
  }
  common::printErr("Created " + path);
  return 0;
}

int makeSourceJsonCommand(const std::string& url) {
  // Loaded first: a missing or broken key file leaves an existing descriptor as it was.
  const crypto::SignerKeypair keypair = formats::loadKeypair(formats::keypairPath());
  formats::writeSourceDescriptor(common::base64Encode(keypair.publicKey), url);
  common::printErr("Created " + std::string(formats::kSourceFileName));
  return 0;
}

int updateCatalogCommand(std::string_view argv0, crypto::LaneWidth lanes, bool release,
                         std::optional<std::int64_t> expiryDays) {
  const std::string keyPath = formats::keypairPath();
  const std::string executableName = common::executableFileName(argv0);
  if (!common::isRegularFile(keyPath)) {
    common::printErr("ERROR: " + keyPath + " does not exist");
    common::printErr("Run '" + executableName + " keygen' to generate a keypair");
    return -1;
  }
  const crypto::SignerKeypair keypair = formats::loadKeypair(keyPath);
  const catalog::IgnoreRules rules = catalog::loadIgnoreRules();
  // Indexes are written before the catalog that names them is served, and old
  // ones deleted only after it: a client with the new catalog finds its indexes.
  catalog::BlockIndexFolder indexes(lanes);
  catalog::CatalogDraft draft;
  std::optional<formats::CatalogRelease> stamp;
  if (release) {
    const auto now = static_cast<std::int64_t>(common::wallClockSeconds());
    stamp = catalog::nextRelease(catalog::servedRelease(), now, expiryDays);
    draft.catalog().write(formats::releaseLine(*stamp));
  }
  const catalog::CatalogContent content =
      catalog::buildCatalog(rules, executableName, draft.catalog(), indexes, lanes);
  draft.commit(keypair);
  common::printErr("Created catalog file: " + std::string(formats::kCatalogFileName) + " with " +
                   std::to_string(content.fileCount) + " files.");
  common::printErr("Signed catalog file: " + std::string(formats::kSignatureFileName));
  if (stamp) {
    std::string line = "Release: " + std::to_string(stamp->number);
    if (stamp->expires) {
      line += " (expires " + common::utcTimeText(*stamp->expires) + ")";
    }
    common::printErr(line);
  }
  for (const std::string& failure : indexes.removeAllBut(content.indexedDigests)) {
    common::printErr("warning: " + failure);
  }
  return 0;
}

}  // namespace cli
