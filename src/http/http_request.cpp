#include "http/http_request.hpp"

#include <memory>

#include "common/errors.hpp"
#include "common/text.hpp"
#include "http/transfer.hpp"
#include "http/transfer_session.hpp"

namespace http {
namespace {

// `segment` percent-encoded as libcurl's escape encodes it: every byte but
// the unreserved ones of RFC 3986 as %XX (upper-case hex). Done here, since
// escaping needs neither a connection nor a handle.
std::string escapeSegment(std::string_view segment) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(segment.size());
  for (const char c : segment) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~') {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0x0F];
    }
  }
  return escaped;
}

// `path` with every non-empty segment percent-encoded; empty segments stay empty.
std::string escapePath(std::string_view path) {
  const std::vector<std::string_view> segments = common::split(path, '/');
  std::string escaped;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) {
      escaped += '/';
    }
    if (!segments[i].empty()) {
      escaped += escapeSegment(segments[i]);
    }
  }
  return escaped;
}

}  // namespace

ChunkCallback boundedChunks(std::size_t maxBytes, ChunkCallback onChunk) {
  return [received = std::size_t{0}, maxBytes,
          onChunk = std::move(onChunk)](std::string_view chunk) mutable {
    if (chunk.size() > maxBytes - received) {
      throw common::CurlError("answer too large: more than " + std::to_string(maxBytes) + " bytes");
    }
    received += chunk.size();
    onChunk(chunk);
  };
}

std::string escapedRequestUrl(const common::Uri& url) {
  common::Uri escaped = url;
  escaped.path = escapePath(url.path);
  return common::assembleUri(escaped);
}

void curlRequest(ConnectionPool& pool, std::string_view httpMethod, const common::Uri& url,
                 const ChunkCallback& onChunk, const HeaderMap& requestHeaders,
                 const HeadersDoneCallback& onHeadersDone, const ProgressCallback& onProgress) {
  Transfer transfer(pool.curl(), httpMethod, url, onChunk, requestHeaders, onHeadersDone,
                    onProgress, pool.environmentCaBundle());
  pool.session().run(transfer);
  transfer.rethrowFailure();
}

void getBounded(ConnectionPool& pool, const common::Uri& url, std::size_t maxBytes,
                const ChunkCallback& onChunk, const HeaderMap& requestHeaders) {
  curlRequest(pool, "GET", url, boundedChunks(maxBytes, onChunk), requestHeaders, {}, {});
}

std::string ncurlGet(ConnectionPool& pool, const common::Uri& url, std::size_t maxBytes,
                     const HeaderMap& requestHeaders) {
  std::string body;
  getBounded(
      pool, url, maxBytes, [&body](std::string_view chunk) { body += chunk; }, requestHeaders);
  return body;
}

StartedGet::StartedGet(ConnectionPool& pool, const common::Uri& url, std::size_t maxBytes)
    : pool_(pool),
      transfer_(std::make_unique<Transfer>(
          pool.curl(), "GET", url,
          boundedChunks(maxBytes, [this](std::string_view chunk) { body_ += chunk; }), HeaderMap{},
          HeadersDoneCallback{}, ProgressCallback{}, pool.environmentCaBundle())) {
  pool_.session().add(*transfer_);
}

StartedGet::~StartedGet() = default;

std::string StartedGet::take() {
  pool_.session().finish(*transfer_);
  transfer_->rethrowFailure();
  return std::move(body_);
}

}  // namespace http
