#include "cli/update_command.hpp"

#include <optional>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/output.hpp"
#include "common/system.hpp"
#include "common/uri.hpp"
#include "formats/catalog_file.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"
#include "http/connection_pool.hpp"
#include "updater/catalog_download.hpp"
#include "updater/lock_and_apply.hpp"
#include "updater/release_guard.hpp"
#include "updater/run_lock.hpp"
#include "updater/staging.hpp"
#include "updater/trust.hpp"

namespace cli {
namespace {

constexpr std::int64_t kKeyMismatchPauseMilliseconds = 5000;

}  // namespace

int updateCommand(bool verbose, const updater::TrustedKeys& trustedKeys, const http::CurlApi& curl,
                  const std::string& environmentCaBundle, crypto::Sha3Lanes lanes) {
  // Taken first: a second run would otherwise append to staged files that this
  // one moves into place.
  const updater::RunLock runLock(
      [] { common::printErr("Waiting for another update of this directory to finish..."); });
  // Staged files are private until they are moved; a new target then gets the
  // mode it would have had if it had been created here. Read while no other
  // thread runs.
  const mode_t newFileMode = common::newFileMode();
  // Every request of the run, from the catalog to the last file, reuses the
  // connections of the ones before it.
  http::ConnectionPool pool(curl, environmentCaBundle);
  // One for the whole run, so that its hint is given once.
  updater::FailureReporter failures;
  const common::Uri catalogUrl = formats::remoteUrl(formats::kCatalogFileName);
  const std::string url = common::assembleUri(catalogUrl);
  if (verbose) {
    common::printOut("Checking update at " + url);
  } else {
    common::printErr("Checking updates...");
  }
  const updater::CatalogDownload download = updater::downloadCatalog(pool, catalogUrl, failures);
  const updater::ReceivedCatalog& catalog = download.catalog;
  const std::vector<std::uint8_t> signature =
      updater::decodeCatalogSignature(download.signatureText);

  const std::string publicKey = formats::readSourcePublicKey();
  if (!updater::isTrustedPublicKey(trustedKeys, publicKey)) {
    common::printOut("error: public key mismatch");
    // Leaves the message readable when the program was started by a double click.
    common::sleepMilliseconds(kKeyMismatchPauseMilliseconds);
    throw common::ExitRequest(255);
  }
  if (!updater::isSignedCatalogDigest(catalog.digest(), signature, publicKey)) {
    common::printErr(url + " signature verification failed");
    return -1;
  }
  const std::optional<formats::CatalogRelease> release = catalog.release();
  updater::ReleaseGuard releaseGuard;
  if (const auto refusal =
          releaseGuard.refusal(release, static_cast<std::int64_t>(common::wallClockSeconds()))) {
    common::printErr(*refusal);
    return -1;
  }

  std::vector<formats::CatalogEntry> entries = catalog.entries();
  const auto totalFiles = static_cast<std::int64_t>(entries.size());
  const updater::StagingResult staged = updater::stageFiles(
      pool, updater::stageRequestsOf(std::move(entries)), totalFiles, verbose, failures, lanes);
  bool complete = staged.refused == 0;
  if (!staged.files.empty()) {
    std::vector<std::string> updated;
    for (const auto& file : staged.files) {
      updated.push_back(file.path);
    }
    if (!updater::waitForUnlockedFiles(updated)) {
      common::printErr("");
      common::printErr("Exiting due to locked files. Update not applied, no files changed.");
      return -1;
    }
    complete = updater::applyStagedFiles(staged.files, newFileMode) && complete;
  }
  common::printErr("");
  if (!complete) {
    // The refused files were named as they came up.
    common::printErr("Every other file is up to date.");
    return -1;
  }
  releaseGuard.keep(release);
  common::printErr("All files are up to date.");
  return 0;
}

}  // namespace cli
