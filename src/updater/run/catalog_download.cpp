#include "updater/run/catalog_download.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>

#include "common/errors.hpp"
#include "crypto/sha3.hpp"
#include "formats/catalog_file.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"
#include "http/http_request.hpp"
#include "updater/staging/retry.hpp"

namespace updater {
namespace {

// A file without a name in the system's temporary directory, for `name`.
common::FilePtr temporaryFile(const std::string& name) {
  common::FilePtr file(std::tmpfile());
  if (!file) {
    throw common::IOError("cannot open: " + name);
  }
  return file;
}

// Opened without following links, and made anew (whatever lay at the name is
// removed first), so the catalog cannot be written through a link planted
// there. The name goes at once; the descriptor keeps the file. A run in a
// directory that it may not write only checks: its catalog goes to a nameless
// file in the temporary directory instead.
common::FilePtr createNamelessFile(const std::string& name) {
  const auto unwritable = [] { return errno == EACCES || errno == EROFS; };
  if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
    if (unwritable()) {
      return temporaryFile(name);
    }
    throw common::osError(errno, name);
  }
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && unwritable()) {
    return temporaryFile(name);
  }
  if (fd < 0) {
    throw common::IOError("cannot open: " + name);
  }
  common::FilePtr file(::fdopen(fd, "w+b"));
  if (!file) {
    ::close(fd);
    throw common::IOError("cannot open: " + name);
  }
  if (::unlink(name.c_str()) != 0) {
    throw common::osError(errno, name);
  }
  return file;
}

void empty(std::FILE* file) {
  if (std::fflush(file) != 0 || ::ftruncate(::fileno(file), 0) != 0 ||
      std::fseek(file, 0, SEEK_SET) != 0) {
    throw common::IOError("cannot write string to file");
  }
}

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

std::vector<formats::CatalogEntry> ReceivedCatalog::entries() const {
  if (std::fseek(file_.get(), 0, SEEK_SET) != 0) {
    common::throwReadError(errno);
  }
  return formats::readCatalog(file_.get());
}

std::optional<formats::CatalogRelease> ReceivedCatalog::release() const {
  return formats::readCatalogRelease(::fileno(file_.get()));
}

ReceivedCatalog receiveCatalog(http::ConnectionPool& pool, const common::Uri& url,
                               FailureReporter& reporter, const http::HeaderMap& requestHeaders) {
  common::FilePtr file = createNamelessFile(std::string(formats::kCatalogDownloadFileName));
  std::string digest;
  const auto attempt = [&] {
    empty(file.get());
    crypto::Sha3Stream stream;
    http::getBounded(
        pool, url, formats::kMaxCatalogBytes,
        [&](std::string_view chunk) {
          stream.update(chunk);
          if (std::fwrite(chunk.data(), 1, chunk.size(), file.get()) != chunk.size()) {
            throw common::IOError("cannot write string to file");
          }
        },
        requestHeaders);
    if (std::fflush(file.get()) != 0) {
      throw common::IOError("cannot write string to file");
    }
    digest = stream.finishHex();
  };
  if (runWithRetries(attempt, kTransferAttempts, kTransferDelaySeconds, reporter).has_value()) {
    // Nothing of a failed attempt counts.
    empty(file.get());
    digest = crypto::sha3Hex("");
  }
  return ReceivedCatalog(std::move(file), std::move(digest));
}

CatalogDownload downloadCatalog(http::ConnectionPool& pool, const common::Uri& catalogUrl,
                                FailureReporter& reporter, CatalogCopy copy) {
  const bool revalidated = copy == CatalogCopy::kRevalidated;
  // A cache that kept one of the two files longer than the other would answer
  // the same mismatched pair again.
  const http::HeaderMap requestHeaders =
      revalidated ? http::HeaderMap{{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}}
                  : http::HeaderMap{};
  // Revalidated, the signature is asked for once the catalog has arrived: a
  // publish renames the catalog first, so only one that falls wholly between
  // the two reads can mismatch them.
  std::unique_ptr<http::StartedGet> firstSignatureAttempt =
      revalidated ? nullptr : startSignatureFetch(pool);
  // Kept in a file until its signature is checked: an answer of any size costs
  // disk, not memory.
  ReceivedCatalog catalog = receiveCatalog(pool, catalogUrl, reporter, requestHeaders);
  // Later attempts form the URL anew: the descriptor may be edited meanwhile.
  std::string signatureText;
  const std::optional<common::CurlError> failure = runWithRetries(
      [&] {
        if (firstSignatureAttempt) {
          // Taken once: after a failure the next attempt is a request of its own.
          const auto attempt = std::move(firstSignatureAttempt);
          signatureText = attempt->take();
          return;
        }
        signatureText = http::ncurlGet(pool, formats::remoteUrl(formats::kSignatureFileName),
                                       formats::kMaxSignatureBytes, requestHeaders);
      },
      kTransferAttempts, kTransferDelaySeconds, reporter);
  if (failure) {
    // The run ends on the transfer's own failure: the empty text it left would
    // otherwise be taken for a malformed signature.
    throw common::CurlError(common::assembleUri(formats::remoteUrl(formats::kSignatureFileName)) +
                                ": " + failure->message(),
                            failure->cause());
  }
  return {std::move(catalog), std::move(signatureText)};
}

}  // namespace updater
