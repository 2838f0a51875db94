#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "common/uri.hpp"
#include "formats/catalog_file.hpp"
#include "http/connection_pool.hpp"
#include "http/http_request.hpp"
#include "updater/staging/retry.hpp"

namespace updater {

// The catalog as it arrived, not yet trusted: its bytes in a file that has no
// name any more, so that nothing is left behind however the run ends, and the
// digest text of those bytes. Memory stays small however large the answer.
class ReceivedCatalog {
 public:
  ReceivedCatalog(common::FilePtr file, std::string digest)
      : file_(std::move(file)), digest_(std::move(digest)) {}

  // The digest text of the bytes received (of "" when every attempt failed).
  const std::string& digest() const noexcept { return digest_; }

  // The entries of the received catalog (formats::readCatalog): read only once
  // its signature has been checked. Throws IOError on a read error.
  std::vector<formats::CatalogEntry> entries() const;

  // The release of the received catalog (formats::readCatalogRelease), read
  // like its entries only once its signature has been checked. Throws IOError
  // on a read error, ValueError for a malformed release line.
  std::optional<formats::CatalogRelease> release() const;

 private:
  common::FilePtr file_;
  std::string digest_;
};

// Fetches the catalog at `url` through `pool` with the client's attempts and
// pauses, each attempt starting from empty, into a file beside the descriptor
// (formats::kCatalogDownloadFileName, removed again at once; one left by a
// killed run is replaced; where the directory may not be written, a nameless
// file of the temporary directory). Each request sends `requestHeaders`. An
// answer past formats::kMaxCatalogBytes fails its attempt. When every attempt
// fails the catalog is empty, and the signature check that follows fails on it.
// Failures go to `reporter`. Throws IOError when the file cannot be made or
// written.
ReceivedCatalog receiveCatalog(http::ConnectionPool& pool, const common::Uri& url,
                               FailureReporter& reporter,
                               const http::HeaderMap& requestHeaders = {});

// The catalog at `catalogUrl` (as receiveCatalog) and the text of its signature
// (formats::kSignatureFileName beside it, at most formats::kMaxSignatureBytes),
// both as they arrived, not yet trusted.
struct CatalogDownload {
  ReceivedCatalog catalog;
  std::string signatureText;
};

// Which copies of the catalog and its signature may answer.
enum class CatalogCopy {
  kAny,          // whatever a cache on the way holds
  kRevalidated,  // the server's own: every request asks caches to revalidate
};

// Fetches the catalog and its signature with the client's attempts and pauses.
// For kAny, the signature's first attempt runs alongside the catalog's, which
// saves a round trip; its outcome is taken, and any failure reported, only
// after the catalog's. For kRevalidated, the signature is asked for after the
// catalog has arrived. Throws CurlError "URL: MESSAGE" when every signature
// attempt failed, and what receiveCatalog throws.
CatalogDownload downloadCatalog(http::ConnectionPool& pool, const common::Uri& catalogUrl,
                                FailureReporter& reporter, CatalogCopy copy = CatalogCopy::kAny);

}  // namespace updater
