#pragma once

#include <string>

#include "common/uri.hpp"
#include "http/http_request.hpp"

namespace http {

// Downloads `url` into the file at `path`, continuing after the bytes it already
// holds with a "Range" request; "http code 416" counts as complete. A server that
// ignores the range and answers 200 makes the file start over. Throws CurlError
// "URL: MESSAGE", IOError or OSError.
void ncurlDownload(const common::Uri& url, const std::string& path,
                   const ProgressCallback& onProgress);

}  // namespace http
