#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/uri.hpp"
#include "http/connection_pool.hpp"

namespace http {

// Insertion-ordered header map: sent, and received, in this order.
using HeaderMap = std::vector<std::pair<std::string, std::string>>;

// Receives each piece of the response body.
using ChunkCallback = std::function<void(std::string_view chunk)>;
// Receives the response headers when a blank line ends a header block.
using HeadersDoneCallback = std::function<void(const HeaderMap& headers)>;
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

// The whole body of a GET of `url` through `pool`; throws CurlError as curlRequest, and when the
// body grows past `maxBytes`.
std::string ncurlGet(ConnectionPool& pool, const common::Uri& url, std::size_t maxBytes);

}  // namespace http
