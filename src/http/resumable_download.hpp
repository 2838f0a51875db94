#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/uri.hpp"
#include "http/connection_pool.hpp"
#include "http/content_range.hpp"
#include "http/http_request.hpp"

namespace http {

// Resumable downloads, run side by side on the calling thread through one
// connection pool (which must outlive the set). Each downloads its URL into its
// file, continuing after the bytes the file already holds with a "Range"
// request; "http code 416" counts as complete, and a server that ignores the
// range and answers 200 makes the file start over. Memory grows with the
// downloads running, not with the size of the files.
class DownloadSet {
 public:
  // A download that has ended, and how.
  struct Finished {
    enum class Result {
      kComplete,        // the file holds everything
      kTransferFailed,  // worth another attempt: `message` is "URL: MESSAGE"
      kFileFailed,      // the file could not be written: `error` ends the run
    };
    std::size_t id = 0;
    Result result = Result::kComplete;
    std::string message;
    common::CurlError::Cause cause = common::CurlError::Cause::kOther;  // kTransferFailed only
    std::exception_ptr error;  // kFileFailed only: IOError or OSError, raised in its turn
    std::string body;          // of a complete fetch()
    // Of a fetchRanges(): the bytes of the first ranges asked, each arrived
    // whole and as asked. With kComplete, fewer than asked means that the
    // server's answer could not serve the others (`message` says why, for a
    // log, not a failure): they are better asked another way. With
    // kTransferFailed, those that arrived before the failure.
    std::vector<std::string> ranges;
    // Of a fetch() of a range: the server ignored the range and answered with
    // the whole file (200). `body` holds it when the fetch takes such an
    // answer; otherwise the fetch failed (kTransferFailed).
    bool wholeAnswer = false;
  };

  using ByteRange = http::ByteRange;

  explicit DownloadSet(ConnectionPool& pool);
  // Stops what still runs; each file keeps the bytes it has received.
  ~DownloadSet();
  DownloadSet(const DownloadSet&) = delete;
  DownloadSet& operator=(const DownloadSet&) = delete;

  // Hears, in order, what a download does to its file: each piece appended,
  // and a start over (the file emptied because the server sent it whole).
  // Called on the thread that drives the set.
  struct FileListener {
    std::function<void(std::string_view bytes)> appended;
    std::function<void()> startedOver;
  };

  // Starts downloading `url` into `file` under `id`, which must not be running,
  // and returns the bytes the file held already (the download continues after
  // them). With `stopAt`, the file grows no further than that many bytes: only
  // those are asked for, and the download is complete once it holds them,
  // whatever else the server sends. Throws before its request goes out: IOError
  // when the file cannot be opened or is no regular file, OSError when its size
  // cannot be read.
  std::int64_t start(std::size_t id, const common::Uri& url, const common::FileAt& file,
                     const ProgressCallback& onProgress, FileListener listener = {},
                     std::optional<std::int64_t> stopAt = std::nullopt);
  // Starts fetching `url` into memory under `id`, which must not be running:
  // the whole answer, or with `range` exactly those bytes, which the server must
  // send as a partial answer of that range. With `maxWholeBytes` above 0, a
  // server that ignores the range may send the whole file of up to that many
  // bytes instead (Finished::wholeAnswer). Anything else (a whole file for a
  // range otherwise, another range, a body longer than its bound or shorter
  // than the range) fails the fetch before its bytes are kept: kTransferFailed.
  void fetch(std::size_t id, const common::Uri& url, std::optional<ByteRange> range,
             std::size_t maxBytes, std::size_t maxWholeBytes, const ProgressCallback& onProgress);
  // Starts fetching the bytes of several ranges of `url` into memory under
  // `id`, which must not be running, in one request ("Range: bytes=a-b,c-d").
  // `ranges` must be ascending, non-empty and apart (AssertionDefect
  // otherwise); Apache caps a request field at 8 KiB and, by default, the
  // ranges at 200 (beyond, it sends the whole file). An answer that
  // cannot serve them (see RangesAnswer) is stopped at once and ends as
  // described for Finished::ranges.
  void fetchRanges(std::size_t id, const common::Uri& url, std::vector<ByteRange> ranges,
                   const ProgressCallback& onProgress);
  // Stops download `id` if it runs; its file keeps what it has received.
  void cancel(std::size_t id);
  std::size_t running() const;

  // Moves the downloads on, waiting up to `timeoutMilliseconds` for something
  // to happen (no wait when one has already ended), and returns those that
  // ended, each once.
  std::vector<Finished> wait(int timeoutMilliseconds);

  // Ends the current or next wait() early. Any thread may call it.
  void wake() noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace http
