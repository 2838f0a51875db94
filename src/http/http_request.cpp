#include "http/http_request.hpp"

#include <memory>

#include "common/errors.hpp"
#include "http/curl_api.hpp"
#include "http/transfer.hpp"
#include "http/transfer_session.hpp"

namespace http {
namespace {

struct CurlTextFree {
  void operator()(char* text) const noexcept { curlApi().free(text); }
};

std::string escapeSegment(std::string_view segment) {
  const EasyHandle handle(curlApi().easyInit());
  if (!handle) {
    throw common::CurlError("easy_init() failed");
  }
  const std::unique_ptr<char, CurlTextFree> escaped(
      curlApi().easyEscape(handle.get(), segment.data(), static_cast<int>(segment.size())));
  if (!escaped) {
    throw common::CurlError("escape failed");
  }
  return std::string(escaped.get());
}

// `path` with every non-empty segment percent-encoded; empty segments stay empty.
std::string escapePath(std::string_view path) {
  std::string escaped;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view segment = path.substr(start, slash - start);
    if (!segment.empty()) {
      escaped += escapeSegment(segment);
    }
    if (slash == std::string_view::npos) {
      return escaped;
    }
    escaped += '/';
    start = slash + 1;
  }
}

}  // namespace

std::string escapeUrlPath(std::string_view url) { return escapedRequestUrl(common::parseUri(url)); }

std::string escapedRequestUrl(const common::Uri& url) {
  common::Uri escaped = url;
  escaped.path = escapePath(url.path);
  return common::assembleUri(escaped);
}

void curlRequest(std::string_view httpMethod, const common::Uri& url, const ChunkCallback& onChunk,
                 const HeaderMap& requestHeaders, const HeadersDoneCallback& onHeadersDone,
                 const ProgressCallback& onProgress) {
  Transfer transfer(httpMethod, url, onChunk, requestHeaders, onHeadersDone, onProgress);
  runTransfer(transfer);
  transfer.rethrowFailure();
}

std::string ncurlGet(const common::Uri& url, std::size_t maxBytes) {
  std::string body;
  const ChunkCallback append = [&body, maxBytes](std::string_view chunk) {
    if (chunk.size() > maxBytes - body.size()) {
      throw common::CurlError("answer too large: more than " + std::to_string(maxBytes) + " bytes");
    }
    body += chunk;
  };
  curlRequest("GET", url, append, {}, {}, {});
  return body;
}

}  // namespace http
