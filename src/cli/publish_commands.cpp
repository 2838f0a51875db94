#include "cli/publish_commands.hpp"

#include <sys/stat.h>

#include "catalog/block_index_folder.hpp"
#include "catalog/catalog_builder.hpp"
#include "catalog/catalog_draft.hpp"
#include "catalog/ignore_rules.hpp"
#include "catalog/release_bundle.hpp"
#include "catalog/release_stamp.hpp"
#include "catalog/tool_folder.hpp"
#include "catalog/version_plan.hpp"
#include "catalog/version_store.hpp"
#include "common/base64.hpp"
#include "common/file.hpp"
#include "common/output.hpp"
#include "common/system.hpp"
#include "common/text.hpp"
#include "crypto/ed25519.hpp"
#include "formats/catalog_file.hpp"
#include "formats/keypair_file.hpp"
#include "formats/release_history.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"

namespace cli {
namespace {

// The largest release history read: far more than kMaxEarlierReleases
// releases of a large tree need.
constexpr std::int64_t kMaximumHistoryBytes = std::int64_t{1} << 30;

void warn(const std::string& what) { common::printErr("warning: " + what); }

// The history as the folder holds it, and its text; a damaged, foreign or
// unreadable one is only a warning: the history starts afresh.
std::pair<formats::ReleaseHistory, std::string> loadReleaseHistory(
    const catalog::ToolFolder& folder) {
  const std::string name(formats::kReleaseHistoryName);
  const std::string path = formats::toolFolderPathOf(name);
  try {
    const std::optional<std::string> text = folder.read(name, kMaximumHistoryBytes);
    if (text) {
      return {formats::parseReleaseHistory(*text), *text};
    }
    if (folder.holds(name)) {
      warn(path + ": not a readable regular file; starting it afresh");
    }
  } catch (const common::Error& error) {
    // recovery point: the history only saves transfer; it starts afresh
    warn(path + ": " + error.what() + "; starting it afresh");
  }
  return {};
}

}  // namespace

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
                         std::optional<std::int64_t> expiryDays, std::size_t earlierKept) {
  const std::string keyPath = formats::keypairPath();
  const std::string executableName = common::executableFileName(argv0);
  if (!common::isRegularFile(keyPath)) {
    common::printErr("ERROR: " + keyPath + " does not exist");
    common::printErr("Run '" + executableName + " keygen' to generate a keypair");
    return -1;
  }
  const crypto::SignerKeypair keypair = formats::loadKeypair(keyPath);
  const catalog::IgnoreRules rules = catalog::loadIgnoreRules();
  // Indexes, copies, patches and descriptions are written before the catalog
  // that names their versions is served, and old ones deleted only after it: a
  // client with the new catalog finds them.
  catalog::ToolFolder folder;
  auto [history, historyText] = loadReleaseHistory(folder);
  catalog::BlockIndexFolder indexes(folder, lanes);
  catalog::VersionStore versions(folder, history);
  catalog::CatalogDraft draft;
  std::optional<formats::CatalogRelease> stamp;
  if (release) {
    const auto now = static_cast<std::int64_t>(common::wallClockSeconds());
    stamp = catalog::nextRelease(catalog::servedRelease(), now, expiryDays);
    draft.catalog().write(formats::releaseLine(*stamp));
  }
  const catalog::CatalogContent content =
      catalog::buildCatalog(rules, executableName, draft.catalog(), indexes, versions, lanes);
  const bool releasesChanged = catalog::recordRelease(history, content.release, earlierKept);
  const auto plans = catalog::planVersions(history, content.described);
  for (const std::string& warning :
       versions.publish(plans, history, releasesChanged, common::workerCount())) {
    warn(warning);
  }
  // The release's pair is written before the catalog that names it is served.
  const std::string catalogDigest = draft.sign(keypair);
  for (const std::string& warning : catalog::publishRelease(folder, catalogDigest, plans)) {
    warn(warning);
  }
  draft.commit();
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
  catalog::KeptVersions kept{content.indexedDigests, {}, catalog::windowOf(history), catalogDigest};
  for (const auto& [path, digest] : content.release) {
    kept.current.insert(digest);
  }
  catalog::forgetStaleRefusals(history, kept);
  if (std::string text = formats::releaseHistoryText(history); text != historyText) {
    try {
      folder.write(std::string(formats::kReleaseHistoryName), text);
    } catch (const common::Error& error) {
      // recovery point: without its history the next publish starts afresh
      warn(formats::toolFolderPathOf(formats::kReleaseHistoryName) + ": " + error.what());
    }
  }
  for (const std::string& failure : folder.removeAllBut(
           [&kept](const formats::FolderName& name) { return catalog::keeps(kept, name); })) {
    warn(failure);
  }
  return 0;
}

}  // namespace cli
