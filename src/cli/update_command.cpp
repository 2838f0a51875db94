#include "cli/update_command.hpp"

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

// The body of `url()` fetched whole, with the client's attempts and pauses; ""
// when every attempt failed (the checks that follow then fail on it).
template <typename UrlOf>
std::string fetchWhole(http::ConnectionPool& pool, const UrlOf& url, std::size_t maxBytes) {
  return updater::retryTransfer([&] { return http::ncurlGet(pool, url(), maxBytes); },
                                updater::kTransferAttempts, updater::kTransferDelaySeconds);
}

}  // namespace

int updateCommand(bool verbose, const updater::TrustedKeys& trustedKeys) {
  // Taken first: a second run would otherwise append to staged files that this
  // one moves into place.
  const updater::RunLock runLock(
      [] { common::printErr("Waiting for another update of this directory to finish..."); });
  // Every request of the run, from the catalog to the last file, reuses the
  // connections of the ones before it.
  http::ConnectionPool pool;
  const common::Uri catalogUrl = formats::remoteUrl(formats::kCatalogFileName);
  const std::string url = common::assembleUri(catalogUrl);
  if (verbose) {
    common::printOut("Checking update at " + url);
  } else {
    common::printErr("Checking updates...");
  }
  // Kept in a file until its signature is checked: an answer of any size costs
  // disk, not memory.
  const updater::ReceivedCatalog catalog = updater::receiveCatalog(pool, catalogUrl);
  // The signature's URL is formed anew at each attempt: the descriptor may be edited meanwhile.
  const std::string signatureText = fetchWhole(
      pool, [] { return formats::remoteUrl(formats::kSignatureFileName); },
      formats::kMaxSignatureBytes);
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
  const std::vector<std::string> updated =
      updater::stageFiles(pool, updater::stageRequestsOf(std::move(entries)), totalFiles, verbose);
  if (!updated.empty()) {
    if (!updater::waitForUnlockedFiles(updated)) {
      common::printErr("");
      common::printErr("Exiting due to locked files. Update not applied, no files changed.");
      return -1;
    }
    updater::applyStagedFiles(updated);
  }
  common::printErr("");
  common::printErr("All files are up to date.");
  return 0;
}

}  // namespace cli
