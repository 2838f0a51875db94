#include "updater/run/run_update.hpp"

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
#include "http/curl_library.hpp"
#include "updater/apply/lock_and_apply.hpp"
#include "updater/run/catalog_download.hpp"
#include "updater/run/release_guard.hpp"
#include "updater/run/run_lock.hpp"
#include "updater/run/trust.hpp"
#include "updater/staging/staging.hpp"

namespace updater {
namespace {

constexpr std::int64_t kKeyMismatchPauseMilliseconds = 5000;

// The catalog at `catalogUrl` and its signature, once the signature verifies
// under the descriptor's key; nothing, after the refusal line, when it does
// not. Throws ExitRequest(255) when that key is not among `trustedKeys`, and
// what downloadCatalog and decodeCatalogSignature throw.
std::optional<CatalogDownload> verifiedCatalog(http::ConnectionPool& pool,
                                               const common::Uri& catalogUrl,
                                               const TrustedKeys& trustedKeys,
                                               FailureReporter& failures) {
  CatalogDownload download = downloadCatalog(pool, catalogUrl, failures);
  const std::vector<std::uint8_t> signature = decodeCatalogSignature(download.signatureText);
  const std::string publicKey = formats::readSourcePublicKey();
  if (!isTrustedPublicKey(trustedKeys, publicKey)) {
    common::printOut("error: public key mismatch");
    // Leaves the message readable when the program was started by a double click.
    common::sleepMilliseconds(kKeyMismatchPauseMilliseconds);
    throw common::ExitRequest(255);
  }
  if (isSignedCatalogDigest(download.catalog.digest(), signature, publicKey)) {
    return download;
  }
  // A publish between the server's reads of the two files, or a cache that
  // keeps one of them longer, pairs a catalog with another publish's
  // signature: both are asked for once more, from the server itself.
  download = downloadCatalog(pool, catalogUrl, failures, CatalogCopy::kRevalidated);
  if (isSignedCatalogDigest(download.catalog.digest(),
                            decodeCatalogSignature(download.signatureText), publicKey)) {
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
int checkOnly(const std::vector<StageRequest>& requests, crypto::LaneWidth lanes,
              const std::string& why) {
  const std::optional<std::string> outOfDate = firstOutOfDateTarget(requests, lanes);
  common::printErr("");
  if (outOfDate) {
    common::printErr("error: an update is due, but " + workingDirectoryName() +
                     " cannot be written: " + why);
    return 1;
  }
  common::printErr("All files are up to date.");
  return 0;
}

// Stages `requests` (of the catalog whose digest text is `catalogDigest`) and
// moves what was staged into place, keeping `release` once files move; a new
// target gets `newFileMode`. Returns 0 when every file is up to date, -1
// otherwise.
int stageAndApply(http::ConnectionPool& pool, const std::vector<StageRequest>& requests,
                  std::int64_t totalFiles, const UpdateInputs& inputs, FailureReporter& failures,
                  ReleaseGuard& releaseGuard, const std::optional<formats::CatalogRelease>& release,
                  mode_t newFileMode, const std::string& catalogDigest) {
  const StagingResult staged = stageFiles(pool, requests, totalFiles, inputs.verbose, failures,
                                          inputs.lanes, kMaxTransfersInFlight, catalogDigest);
  bool complete = staged.refused == 0;
  if (!staged.files.empty()) {
    std::vector<std::string> updated;
    for (const auto& file : staged.files) {
      updated.push_back(file.path);
    }
    if (!waitForUnlockedFiles(updated)) {
      common::printErr("");
      common::printErr("Exiting due to locked files. Update not applied, no files changed.");
      return -1;
    }
    // Kept before the first file moves: a run that applies only part of the
    // catalog must still keep an older one from taking those files back.
    releaseGuard.keep(release);
    complete = applyStagedFiles(staged.files, newFileMode) && complete;
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

}  // namespace

Network loadNetwork(const char* curlCaBundle, const char* sslCertFile) {
  return {http::loadCurlLibrary(), http::environmentCaBundle(curlCaBundle, sslCertFile)};
}

int runUpdate(const UpdateInputs& inputs) {
  // Taken first: a second run would otherwise append to staged files that this
  // one moves into place.
  const RunLock runLock(
      [] { common::printErr("Waiting for another update of this directory to finish..."); });
  // Staged files are private until they are moved; a new target then gets the
  // mode it would have had if it had been created here. Read while no other
  // thread runs.
  const mode_t newFileMode = common::newFileMode();
  // Every request of the run, from the catalog to the last file, reuses the
  // connections of the ones before it.
  http::ConnectionPool pool(inputs.network.curl, inputs.network.environmentCaBundle);
  // One for the whole run, so that its hint is given once.
  FailureReporter failures;
  const common::Uri catalogUrl = formats::remoteUrl(formats::kCatalogFileName);
  if (inputs.verbose) {
    common::printOut("Checking update at " + common::assembleUri(catalogUrl));
  } else {
    common::printErr("Checking updates...");
  }
  const std::optional<CatalogDownload> download =
      verifiedCatalog(pool, catalogUrl, inputs.trustedKeys, failures);
  if (!download) {
    return -1;
  }
  const std::optional<formats::CatalogRelease> release = download->catalog.release();
  ReleaseGuard releaseGuard;
  if (const auto refusal =
          releaseGuard.refusal(release, static_cast<std::int64_t>(common::wallClockSeconds()))) {
    common::printErr(*refusal);
    return -1;
  }
  std::vector<formats::CatalogEntry> entries = download->catalog.entries();
  const auto totalFiles = static_cast<std::int64_t>(entries.size());
  const std::vector<StageRequest> requests = stageRequestsOf(std::move(entries));
  if (!runLock.unwritable().empty()) {
    return checkOnly(requests, inputs.lanes, runLock.unwritable());
  }
  // The digest that the signature signed: it names the release description.
  return stageAndApply(pool, requests, totalFiles, inputs, failures, releaseGuard, release,
                       newFileMode, download->catalog.digest());
}

}  // namespace updater
