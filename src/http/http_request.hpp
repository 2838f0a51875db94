#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/uri.hpp"
#include "http/connection_pool.hpp"
#include "http/response_headers.hpp"

namespace http {

// Request headers, sent in this order.
using HeaderMap = std::vector<std::pair<std::string, std::string>>;

// Receives each piece of the response body.
using ChunkCallback = std::function<void(std::string_view chunk)>;
// Receives the response headers when a blank line ends a header block.
using HeadersDoneCallback = std::function<void(const ResponseHeaders& headers)>;
// Bytes received so far and bytes expected (0 while unknown) of the current answer.
using ProgressCallback = std::function<void(std::int64_t downloaded, std::int64_t total)>;

// `url` assembled with each path segment percent-encoded; a "?" or "#" inside
// the path is encoded as part of it.
std::string escapedRequestUrl(const common::Uri& url);

// One GET or HEAD of `url` (path not yet percent-encoded) through `pool`,
// streaming the body to `onChunk`. Reuses an idle connection of the pool to the
// server, and leaves its own open for the next request. Throws CurlError (libcurl's message, or
// "http code N" when the final status is neither 200 nor 206), and passes on errors raised by the
// callbacks.
void curlRequest(ConnectionPool& pool, std::string_view httpMethod, const common::Uri& url,
                 const ChunkCallback& onChunk, const HeaderMap& requestHeaders,
                 const HeadersDoneCallback& onHeadersDone, const ProgressCallback& onProgress);

// `onChunk`, behind a check that fails the answer with CurlError "answer too
// large: more than N bytes" before the chunk that takes it past `maxBytes`.
ChunkCallback boundedChunks(std::size_t maxBytes, ChunkCallback onChunk);

// A GET of `url` through `pool`, sending `requestHeaders`, whose body goes to
// `onChunk` and may hold at most `maxBytes`; throws CurlError as curlRequest,
// and "answer too large: more than N bytes" (before passing on the chunk that
// goes past the limit).
void getBounded(ConnectionPool& pool, const common::Uri& url, std::size_t maxBytes,
                const ChunkCallback& onChunk, const HeaderMap& requestHeaders = {});

// The whole body of a GET of `url` through `pool`, sending `requestHeaders`;
// throws CurlError as getBounded.
std::string ncurlGet(ConnectionPool& pool, const common::Uri& url, std::size_t maxBytes,
                     const HeaderMap& requestHeaders = {});

class Transfer;

// An ncurlGet started at once and collected later: it moves on whenever the
// pool runs other requests meanwhile, so that two small answers cost one round
// trip, not two. Must end before the pool.
class StartedGet {
 public:
  // Throws CurlError when no request can be made.
  StartedGet(ConnectionPool& pool, const common::Uri& url, std::size_t maxBytes);
  // Stops the request if it still runs.
  ~StartedGet();
  StartedGet(const StartedGet&) = delete;
  StartedGet& operator=(const StartedGet&) = delete;

  // Runs the request to its end and returns the body; throws as ncurlGet. Once only.
  std::string take();

 private:
  ConnectionPool& pool_;
  std::string body_;
  std::unique_ptr<Transfer> transfer_;
};

}  // namespace http
