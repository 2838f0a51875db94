// Downloads one URL into one file through a DownloadSet, the transfer path of
// `update`, for bench/download_bench.sh. Usage: tolvex_download_bench URL FILE

#include <string>

#include "common/errors.hpp"
#include "common/output.hpp"
#include "common/uri.hpp"
#include "http/connection_pool.hpp"
#include "http/curl_library.hpp"
#include "http/resumable_download.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    common::printErr("usage: tolvex_download_bench URL FILE");
    return 2;
  }
  try {
    http::ConnectionPool pool(http::loadCurlLibrary());
    http::DownloadSet downloads(pool);
    downloads.start(0, common::parseUri(argv[1]), argv[2], {});
    while (downloads.running() > 0) {
      for (const auto& end : downloads.wait(1000)) {
        if (end.error) {
          std::rethrow_exception(end.error);
        }
        if (end.result != http::DownloadSet::Finished::Result::kComplete) {
          common::printErr(end.message);
          return 1;
        }
      }
    }
  } catch (const common::ExitRequest& request) {
    return request.status();
  } catch (const common::Error& error) {
    common::printErr(error.message());
    return 1;
  }
  return 0;
}
