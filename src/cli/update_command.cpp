#include "cli/update_command.hpp"

#include <limits.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
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

// The catalog at `catalogUrl` and its signature, once the signature verifies
// under the descriptor's key; nothing, after the refusal line, when it does
// not. Throws ExitRequest(255) when that key is not among `trustedKeys`, and
// what updater::downloadCatalog and updater::decodeCatalogSignature throw.
std::optional<updater::CatalogDownload> verifiedCatalog(http::ConnectionPool& pool,
                                                        const common::Uri& catalogUrl,
                                                        const updater::TrustedKeys& trustedKeys,
                                                        updater::FailureReporter& failures) {
  updater::CatalogDownload download = updater::downloadCatalog(pool, catalogUrl, failures);
  const std::vector<std::uint8_t> signature =
      updater::decodeCatalogSignature(download.signatureText);
  const std::string publicKey = formats::readSourcePublicKey();
  if (!updater::isTrustedPublicKey(trustedKeys, publicKey)) {
    common::printOut("error: public key mismatch");
    // Leaves the message readable when the program was started by a double click.
    common::sleepMilliseconds(kKeyMismatchPauseMilliseconds);
    throw common::ExitRequest(255);
  }
  if (updater::isSignedCatalogDigest(download.catalog.digest(), signature, publicKey)) {
    return download;
  }
  // A publish between the server's reads of the two files, or a cache that
  // keeps one of them longer, pairs a catalog with another publish's
  // signature: both are asked for once more, from the server itself.
  download =
      updater::downloadCatalog(pool, catalogUrl, failures, updater::CatalogCopy::kRevalidated);
  if (updater::isSignedCatalogDigest(download.catalog.digest(),
                                     updater::decodeCatalogSignature(download.signatureText),
                                     publicKey)) {
    return download;
  }
  common::printErr(common::assembleUri(catalogUrl) + " signature verification failed");
  return std::nullopt;
}

// The working directory's name as a line may show it.
std::string workingDirectoryName() {
  std::array<char, PATH_MAX> name{};
  return ::getcwd(name.data(), name.size()) != nullptr ? std::string(name.data()) : ".";
}

// A run in a directory that it may not write (`why`, the system's text): it
// only tells whether an update is due. Returns 0, or 1 when one is.
int checkOnly(const std::vector<updater::StageRequest>& requests, crypto::Sha3Lanes lanes,
              const std::string& why) {
  const std::optional<std::string> outOfDate = updater::firstOutOfDateTarget(requests, lanes);
  common::printErr("");
  if (outOfDate) {
    common::printErr("error: an update is due, but " + workingDirectoryName() +
                     " cannot be written: " + why);
    return 1;
  }
  common::printErr("All files are up to date.");
  return 0;
}

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
  if (verbose) {
    common::printOut("Checking update at " + common::assembleUri(catalogUrl));
  } else {
    common::printErr("Checking updates...");
  }
  const std::optional<updater::CatalogDownload> download =
      verifiedCatalog(pool, catalogUrl, trustedKeys, failures);
  if (!download) {
    return -1;
  }
  const std::optional<formats::CatalogRelease> release = download->catalog.release();
  updater::ReleaseGuard releaseGuard;
  if (const auto refusal =
          releaseGuard.refusal(release, static_cast<std::int64_t>(common::wallClockSeconds()))) {
    common::printErr(*refusal);
    return -1;
  }

  std::vector<formats::CatalogEntry> entries = download->catalog.entries();
  const auto totalFiles = static_cast<std::int64_t>(entries.size());
  const std::vector<updater::StageRequest> requests = updater::stageRequestsOf(std::move(entries));
  if (!runLock.unwritable().empty()) {
    return checkOnly(requests, lanes, runLock.unwritable());
  }
  const updater::StagingResult staged =
      updater::stageFiles(pool, requests, totalFiles, verbose, failures, lanes);
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
    // Kept before the first file moves: a run that applies only part of the
    // catalog must still keep an older one from taking those files back.
    releaseGuard.keep(release);
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
