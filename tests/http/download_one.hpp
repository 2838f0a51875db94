#pragma once

#include <exception>
#include <string>

#include "common/errors.hpp"
#include "common/uri.hpp"
#include "http/connection_pool.hpp"
#include "http/resumable_download.hpp"

namespace http_testing {

// One download through a DownloadSet of `pool`, run to its end; throws what
// ended it short (a failed transfer as CurlError "URL: MESSAGE").
inline void downloadOne(http::ConnectionPool& pool, const common::Uri& url, const std::string& path,
                        const http::ProgressCallback& onProgress = {}) {
  http::DownloadSet set(pool);
  set.start(0, url, path, onProgress);
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
