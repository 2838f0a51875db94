#include "cli/update_command.hpp"

#include <memory>
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
#include "http/http_request.hpp"
#include "updater/catalog_download.hpp"
#include "updater/lock_and_apply.hpp"
#include "updater/retry.hpp"
#include "updater/run_lock.hpp"
#include "updater/staging.hpp"
#include "updater/trust.hpp"

namespace cli {
namespace {

constexpr std::int64_t kKeyMismatchPauseMilliseconds = 5000;

// The signature's request, started now; null when it cannot be made, and the
// first attempt is then made later like the others.
std::unique_ptr<http::StartedGet> startSignatureFetch(http::ConnectionPool& pool) {
  try {
    return std::make_unique<http::StartedGet>(pool, formats::remoteUrl(formats::kSignatureFileName),
                                              formats::kMaxSignatureBytes);
  } catch (const common::CurlError&) {
    // recovery point: the attempt made after the catalog reports the failure
    return nullptr;
  }
}

}  // namespace

int updateCommand(bool verbose, const updater::TrustedKeys& trustedKeys,
                  const std::string& environmentCaBundle) {
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
  http::ConnectionPool pool(environmentCaBundle);
  // One for the whole run, so that its hint is given once.
  updater::FailureReporter failures;
  const common::Uri catalogUrl = formats::remoteUrl(formats::kCatalogFileName);
  const std::string url = common::assembleUri(catalogUrl);
  if (verbose) {
    common::printOut("Checking update at " + url);
  } else {
    common::printErr("Checking updates...");
  }
  // The signature's first attempt runs alongside the catalog's, which saves a
  // round trip; its outcome is taken, and any failure reported, only after the
  // catalog's, as though it had started then.
  std::unique_ptr<http::StartedGet> firstSignatureAttempt = startSignatureFetch(pool);
  // Kept in a file until its signature is checked: an answer of any size costs
  // disk, not memory.
  const updater::ReceivedCatalog catalog = updater::receiveCatalog(pool, catalogUrl, failures);
  // Later attempts form the URL anew: the descriptor may be edited meanwhile.
  std::string signatureText;
  const std::optional<common::CurlError> signatureFailure = updater::runWithRetries(
      [&] {
        if (firstSignatureAttempt) {
          // Taken once: after a failure the next attempt is a request of its own.
          const auto attempt = std::move(firstSignatureAttempt);
          signatureText = attempt->take();
          return;
        }
        signatureText = http::ncurlGet(pool, formats::remoteUrl(formats::kSignatureFileName),
                                       formats::kMaxSignatureBytes);
      },
      updater::kTransferAttempts, updater::kTransferDelaySeconds, failures);
  if (signatureFailure) {
    // The run ends on the transfer's own failure: the empty text it left would
    // otherwise be taken for a malformed signature.
    throw common::CurlError(common::assembleUri(formats::remoteUrl(formats::kSignatureFileName)) +
                                ": " + signatureFailure->message(),
                            signatureFailure->cause());
  }
  const std::vector<std::uint8_t> signature = updater::decodeCatalogSignature(signatureText);

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

  std::vector<formats::CatalogEntry> entries = catalog.entries();
  const auto totalFiles = static_cast<std::int64_t>(entries.size());
  const updater::StagingResult staged = updater::stageFiles(
      pool, updater::stageRequestsOf(std::move(entries)), totalFiles, verbose, failures);
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
  common::printErr("All files are up to date.");
  return 0;
}

}  // namespace cli
