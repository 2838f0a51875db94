#include "updater/update_driver.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <unordered_set>

#include "cli/source_descriptor.hpp"
#include "common/base64.hpp"
#include "common/errors.hpp"
#include "common/output.hpp"
#include "common/system.hpp"
#include "common/uri.hpp"
#include "crypto/ed25519.hpp"
#include "crypto/sha3.hpp"
#include "http/http_request.hpp"
#include "http/shared_connections.hpp"
#include "updater/lock_and_apply.hpp"
#include "updater/retry.hpp"
#include "updater/stage_file.hpp"
#include "updater/trust.hpp"

namespace updater {
namespace {

constexpr std::string_view kCatalogName = "updater-catalog.sha3";
constexpr std::string_view kSignatureName = "updater-catalog.sig";
constexpr std::int64_t kKeyMismatchPauseMilliseconds = 5000;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Ends the process on a key that this build does not trust, after a pause that
// leaves the message readable when the program was started by a double click.
void requireTrustedKey(const std::string& publicKeyText) {
  if (!isTrustedPublicKey(publicKeyText)) {
    common::printOut("error: public key mismatch");
    common::sleepMilliseconds(kKeyMismatchPauseMilliseconds);
    throw common::ExitRequest(255);
  }
}

// True when `signatureText` signs the digest text of `catalog` with the
// descriptor's key, which must be one of the built-in keys.
bool isSignedCatalog(std::string_view catalog, std::string_view signatureText) {
  const std::vector<std::uint8_t> signature = common::base64Decode(signatureText);
  TOLVEX_CHECK(signature.size() == 64, "signature length must be 64 bytes");
  const std::string digest = crypto::sha3Hex(catalog);
  const std::string publicKeyText = cli::readSourcePublicKey();
  requireTrustedKey(publicKeyText);
  const std::vector<std::uint8_t> publicKey = common::base64Decode(publicKeyText);
  TOLVEX_CHECK(publicKey.size() == 32, "public key must be 32 bytes");
  return crypto::verifySignature(bytesOf(digest), signature, publicKey);
}

bool isAcceptedPath(std::string_view path) {
  return !path.starts_with('/') && path.find("..") == std::string_view::npos;
}

// The path with empty and "." segments dropped: lexically different names of one
// file ("a//b", "./a/b") would otherwise share a staged file while both download.
std::string samePathKey(std::string_view path) {
  std::string key;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, slash - start);
    if (!segment.empty() && segment != ".") {
      key.append(key.empty() ? "" : "/").append(segment);
    }
    start = slash + 1;
  }
  return key;
}

// Stages every entry and returns the paths whose staged files are ready.
std::vector<std::string> stageEntries(const std::vector<CatalogEntry>& entries, bool verbose) {
  std::vector<StageRequest> requests;
  std::unordered_set<std::string> seen;
  const auto totalFiles = static_cast<std::int64_t>(entries.size());
  for (std::int64_t currentFile = 0; currentFile < totalFiles; ++currentFile) {
    const CatalogEntry& entry = entries[static_cast<std::size_t>(currentFile)];
    // A path listed twice is handled once, by its first entry: moving it a
    // second time would fail after the first move had been applied.
    if (seen.insert(samePathKey(entry.path)).second) {
      requests.push_back({entry.digest, entry.path, currentFile});
    }
  }
  return stageFiles(requests, totalFiles, verbose);
}

}  // namespace

std::vector<CatalogEntry> parseCatalog(std::string_view text) {
  std::vector<CatalogEntry> entries;
  for (;;) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    const std::size_t separator = line.find(" *");
    if (separator != std::string_view::npos) {
      const std::string_view path = line.substr(separator + 2);
      if (isAcceptedPath(path)) {
        entries.push_back({std::string(line.substr(0, separator)), std::string(path)});
      }
    }
    if (end == std::string_view::npos) {
      return entries;
    }
    text.remove_prefix(end + 1);
  }
}

int update(bool verbose) {
  // Every request of the run, from the catalog to the last file, reuses the
  // connections of the ones before it.
  const http::SharedConnections connections;
  const common::Uri catalogUrl = cli::remoteUrl(kCatalogName);
  const std::string url = common::assembleUri(catalogUrl);
  if (verbose) {
    common::printOut("Checking update at " + url);
  } else {
    common::printErr("Checking updates...");
  }
  const std::string catalog =
      retryTransfer([&catalogUrl] { return http::ncurlGet(catalogUrl, http::kMaxCatalogBytes); },
                    kTransferAttempts, kTransferDelaySeconds);
  const std::string signature = retryTransfer(
      [] { return http::ncurlGet(cli::remoteUrl(kSignatureName), http::kMaxSignatureBytes); },
      kTransferAttempts, kTransferDelaySeconds);
  if (!isSignedCatalog(catalog, signature)) {
    common::printErr(url + " signature verification failed");
    return -1;
  }
  const std::vector<std::string> updated = stageEntries(parseCatalog(catalog), verbose);
  if (!updated.empty()) {
    if (!waitForUnlockedFiles(updated)) {
      common::printErr("");
      common::printErr("Exiting due to locked files. Update not applied, no files changed.");
      return -1;
    }
    applyStagedFiles(updated);
  }
  common::printErr("");
  common::printErr("All files are up to date.");
  return 0;
}

}  // namespace updater
