#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "common/errors.hpp"
#include "common/uri.hpp"
#include "http/connection_pool.hpp"
#include "http/resumable_download.hpp"

namespace http_testing {

// One download through a DownloadSet of `pool`, run to its end (or to
// `stopAt` bytes); throws what ended it short (a failed transfer as CurlError
// "URL: MESSAGE").
inline void downloadOne(http::ConnectionPool& pool, const common::Uri& url, const std::string& path,
                        const http::ProgressCallback& onProgress = {},
                        std::optional<std::int64_t> stopAt = std::nullopt) {
  http::DownloadSet set(pool);
  set.start(0, url, path, onProgress, {}, stopAt);
  for (;;) {
    for (const auto& end : set.wait(1000)) {
      if (end.result == http::DownloadSet::Finished::Result::kTransferFailed) {
        throw common::CurlError(end.message);
      }
      if (end.error) {
        std::rethrow_exception(end.error);
      }
      return;
    }
  }
}

}  // namespace http_testing
