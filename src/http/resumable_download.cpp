#include "http/resumable_download.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "http/content_range.hpp"
#include "http/ranges_answer.hpp"
#include "http/transfer.hpp"
#include "http/transfer_session.hpp"

namespace http {
namespace {

// libcurl hands over what each socket read returned, often a few KiB; gathering
// it saves most write calls. Beyond 256 KiB a larger buffer gains nothing
// measurable, and each download running at once holds one.
constexpr std::size_t kWriteBufferBytes = std::size_t{256} * 1024;

// What a DownloadSet runs: a request, and what its end means.
class Running {
 public:
  virtual ~Running() = default;
  virtual Transfer& transfer() = 0;
  // Once the transfer has ended: completes `end`, or throws the failure.
  virtual void finish(DownloadSet::Finished& end) = 0;
};

// Puts the URL in front of a transfer failure, as every failure names it.
[[noreturn]] void rethrowWithUrl(const common::Uri& url, const common::CurlError& error) {
  throw common::CurlError(common::assembleUri(url) + ": " + error.message(), error.cause());
}

// A GET of `url`, ready to run; throws CurlError "URL: MESSAGE" when libcurl
// cannot make it.
std::unique_ptr<Transfer> startGet(const CurlApi& curl, const common::Uri& url,
                                   const ChunkCallback& onChunk, const HeaderMap& requestHeaders,
                                   const HeadersDoneCallback& onHeadersDone,
                                   const ProgressCallback& onProgress,
                                   const std::string& environmentCaBundle) {
  try {
    return std::make_unique<Transfer>(curl, "GET", url, onChunk, requestHeaders, onHeadersDone,
                                      onProgress, environmentCaBundle);
  } catch (const common::CurlError& error) {
    // recovery point: every transfer failure names the URL
    rethrowWithUrl(url, error);
  }
}

// One download into one file: the file opened for appending, the request for
// what it lacks, and the handling of the answer's end.
class ResumableDownload final : public Running {
 public:
  // Throws IOError when the file cannot be opened or is no regular file (a
  // link is never followed), OSError when its size cannot be read, and
  // CurlError "URL: MESSAGE" when no request can be made.
  ResumableDownload(const CurlApi& curl, const common::Uri& url, const common::FileAt& file,
                    const ProgressCallback& onProgress, DownloadSet::FileListener listener,
                    std::optional<std::int64_t> stopAt, const std::string& environmentCaBundle)
      : url_(url),
        file_(file, kWriteBufferBytes),
        offset_(file_.initialSize()),
        listener_(std::move(listener)),
        stopAt_(stopAt),
        size_(offset_) {
    HeaderMap requestHeaders;
    if (stopAt_ && offset_ < *stopAt_) {
      requestHeaders.emplace_back(
          "Range", "bytes=" + std::to_string(offset_) + "-" + std::to_string(*stopAt_ - 1));
    } else if (offset_ > 0) {
      requestHeaders.emplace_back("Range", "bytes=" + std::to_string(offset_) + "-");
    }
    // Decided per header block (redirects come first) before any byte of the
    // answer is written: a server that ignored "Range" sends the whole file,
    // which starts the file over instead of being appended to it.
    const HeadersDoneCallback onHeadersDone = [this](const ResponseHeaders& headers) {
      wholeFileAnswer_ = answerStart(headers.status(), headers.find("content-range"), offset_) ==
                         AnswerStart::kStartOver;
    };
    const ChunkCallback onChunk = [this](std::string_view chunk) {
      if (wholeFileAnswer_ && !startedOver_) {
        file_.truncate();
        size_ = 0;
        startedOver_ = true;
        if (listener_.startedOver) {
          listener_.startedOver();
        }
      }
      if (stopAt_ && std::cmp_greater(chunk.size(), *stopAt_ - size_)) {
        // A server that ignored the range sends on: what it may hold is kept,
        // and the transfer ends here.
        chunk =
            chunk.substr(0, static_cast<std::size_t>(std::max<std::int64_t>(*stopAt_ - size_, 0)));
        stopped_ = true;
      }
      file_.append(chunk);
      size_ += std::ssize(chunk);
      if (listener_.appended) {
        listener_.appended(chunk);
      }
      if (stopped_) {
        throw common::CurlError("stopped at byte " + std::to_string(*stopAt_));
      }
    };
    transfer_ = startGet(curl, url_, onChunk, requestHeaders, onHeadersDone, onProgress,
                         environmentCaBundle);
  }

  Transfer& transfer() override { return *transfer_; }
  std::int64_t existingBytes() const { return offset_; }

  // Closes the file, or throws the download's failure. A range past the end
  // (416) means the file was already complete.
  void finish(DownloadSet::Finished& /*end*/) override {
    if (stopped_ || transfer_->endingStatus() == 416) {
      file_.close();
      return;
    }
    try {
      transfer_->rethrowFailure();
    } catch (const common::CurlError& error) {
      // recovery point: every failure of the transfer gets the URL in front
      rethrowWithUrl(url_, error);
    }
    file_.close();
  }

 private:
  const common::Uri url_;
  common::AppendingFile file_;
  const std::int64_t offset_;
  const DownloadSet::FileListener listener_;
  const std::optional<std::int64_t> stopAt_;
  std::int64_t size_;     // of the file, appended bytes included
  bool stopped_ = false;  // it holds the bytes it may: the rest was not taken
  bool wholeFileAnswer_ = false;
  bool startedOver_ = false;
  // Last, so that it leaves the session before the file is closed.
  std::unique_ptr<Transfer> transfer_;
};

// One answer, or one range of a file, kept in memory.
class MemoryFetch final : public Running {
 public:
  MemoryFetch(const CurlApi& curl, const common::Uri& url,
              std::optional<DownloadSet::ByteRange> range, std::size_t maxBytes,
              std::size_t maxWholeBytes, const ProgressCallback& onProgress,
              const std::string& environmentCaBundle)
      : url_(url), range_(range), maxWholeBytes_(maxWholeBytes) {
    HeaderMap requestHeaders;
    if (range_) {
      TOLVEX_CHECK(range_->first >= 0 && range_->length > 0, "an empty or negative range");
      requestHeaders.emplace_back("Range", "bytes=" + std::to_string(range_->first) + "-" +
                                               std::to_string(range_->first + range_->length - 1));
    }
    // A whole file, or another range, must not fill memory in place of the
    // range asked for: the answer is judged before its body is taken. Redirects
    // and error statuses come to their own ends.
    const HeadersDoneCallback onHeadersDone = [this](const ResponseHeaders& headers) {
      const int status = headers.status();
      if (range_ && status == 200) {
        wholeAnswer_ = true;
        if (maxWholeBytes_ == 0) {
          throw common::CurlError("the server ignored the range and sent the whole file");
        }
      }
      if (range_ && status == 206 && !isRequestedRange(headers)) {
        throw common::CurlError("answer is not the range requested");
      }
    };
    // A whole answer for a range has a bound of its own; either starts empty.
    const auto append = [this](std::string_view chunk) { body_.append(chunk); };
    const ChunkCallback onChunk =
        [this, ranged = boundedChunks(maxBytes, append),
         whole = boundedChunks(maxWholeBytes, append)](std::string_view chunk) {
          (wholeAnswer_ ? whole : ranged)(chunk);
        };
    transfer_ = startGet(curl, url_, onChunk, requestHeaders, onHeadersDone, onProgress,
                         environmentCaBundle);
  }

  Transfer& transfer() override { return *transfer_; }

  void finish(DownloadSet::Finished& end) override {
    end.wholeAnswer = wholeAnswer_;
    try {
      transfer_->rethrowFailure();
      if (range_ && !wholeAnswer_ && std::cmp_not_equal(body_.size(), range_->length)) {
        throw common::CurlError("answer shorter than the range requested");
      }
    } catch (const common::CurlError& error) {
      // recovery point: every transfer failure names the URL
      rethrowWithUrl(url_, error);
    }
    end.body = std::move(body_);
  }

 private:
  bool isRequestedRange(const ResponseHeaders& headers) const {
    if (headers.status() != 206) {
      return false;
    }
    const std::optional<std::string_view> value = headers.find("content-range");
    const auto range = value ? parseContentRange(*value) : std::nullopt;
    return range && range->first == range_->first &&
           range->last == range_->first + range_->length - 1;
  }

  const common::Uri url_;
  const std::optional<DownloadSet::ByteRange> range_;
  const std::size_t maxWholeBytes_;
  bool wholeAnswer_ = false;
  std::string body_;
  std::unique_ptr<Transfer> transfer_;
};

// Several ranges of a file in one request, kept in memory.
class RangesFetch final : public Running {
 public:
  RangesFetch(const CurlApi& curl, const common::Uri& url, std::vector<ByteRange> ranges,
              const ProgressCallback& onProgress, const std::string& environmentCaBundle)
      : url_(url), answer_(std::move(ranges)) {
    const HeaderMap requestHeaders = {{"Range", rangeRequest(answer_.asked())}};
    // An answer that cannot serve the ranges is stopped before more of it
    // comes: the exception only ends the transfer, finish() reports the answer.
    const HeadersDoneCallback onHeadersDone = [this](const ResponseHeaders& headers) {
      answer_.headersArrived(headers.status(), headers.find("content-type"),
                             headers.find("content-range"));
      stopUnlessUsable();
    };
    const ChunkCallback onChunk = [this](std::string_view chunk) {
      answer_.bodyArrived(chunk);
      stopUnlessUsable();
    };
    transfer_ = startGet(curl, url_, onChunk, requestHeaders, onHeadersDone, onProgress,
                         environmentCaBundle);
  }

  Transfer& transfer() override { return *transfer_; }

  void finish(DownloadSet::Finished& end) override {
    if (answer_.usable()) {
      try {
        transfer_->rethrowFailure();
      } catch (const common::CurlError& error) {
        // recovery point: the ranges that arrived whole go with the failure
        end.ranges = answer_.takeArrived();
        rethrowWithUrl(url_, error);
      }
      answer_.bodyEnded();
    }
    if (!answer_.usable()) {
      end.message = common::assembleUri(url_) + ": " + answer_.problem();
    }
    end.ranges = answer_.takeArrived();
  }

 private:
  void stopUnlessUsable() const {
    if (!answer_.usable()) {
      throw common::CurlError(answer_.problem());
    }
  }

  const common::Uri url_;
  RangesAnswer answer_;
  std::unique_ptr<Transfer> transfer_;
};

}  // namespace

struct DownloadSet::Impl {
  TransferSession& session;
  const CurlApi& curl;
  const std::string& environmentCaBundle;
  std::map<std::size_t, std::unique_ptr<Running>> downloads;
};

DownloadSet::DownloadSet(ConnectionPool& pool)
    : impl_(std::make_unique<Impl>(
          Impl{pool.session(), pool.curl(), pool.environmentCaBundle(), {}})) {}

DownloadSet::~DownloadSet() = default;

std::int64_t DownloadSet::start(std::size_t id, const common::Uri& url, const common::FileAt& file,
                                const ProgressCallback& onProgress, FileListener listener,
                                std::optional<std::int64_t> stopAt) {
  TOLVEX_CHECK(impl_->downloads.count(id) == 0, "a download id is used twice at once");
  auto download = std::make_unique<ResumableDownload>(
      impl_->curl, url, file, onProgress, std::move(listener), stopAt, impl_->environmentCaBundle);
  const std::int64_t existing = download->existingBytes();
  impl_->session.add(download->transfer());
  impl_->downloads.emplace(id, std::move(download));
  return existing;
}

void DownloadSet::fetch(std::size_t id, const common::Uri& url, std::optional<ByteRange> range,
                        std::size_t maxBytes, std::size_t maxWholeBytes,
                        const ProgressCallback& onProgress) {
  TOLVEX_CHECK(impl_->downloads.count(id) == 0, "a download id is used twice at once");
  auto fetch = std::make_unique<MemoryFetch>(impl_->curl, url, range, maxBytes, maxWholeBytes,
                                             onProgress, impl_->environmentCaBundle);
  impl_->session.add(fetch->transfer());
  impl_->downloads.emplace(id, std::move(fetch));
}

void DownloadSet::fetchRanges(std::size_t id, const common::Uri& url, std::vector<ByteRange> ranges,
                              const ProgressCallback& onProgress) {
  TOLVEX_CHECK(impl_->downloads.count(id) == 0, "a download id is used twice at once");
  auto fetch = std::make_unique<RangesFetch>(impl_->curl, url, std::move(ranges), onProgress,
                                             impl_->environmentCaBundle);
  impl_->session.add(fetch->transfer());
  impl_->downloads.emplace(id, std::move(fetch));
}

void DownloadSet::cancel(std::size_t id) { impl_->downloads.erase(id); }

std::size_t DownloadSet::running() const { return impl_->downloads.size(); }

std::vector<DownloadSet::Finished> DownloadSet::wait(int timeoutMilliseconds) {
  const auto anyDone = [this] {
    for (const auto& [id, download] : impl_->downloads) {
      if (download->transfer().done()) {
        return true;
      }
    }
    return false;
  };
  // A download may have ended while another request drove the session.
  if (!anyDone()) {
    impl_->session.drive(timeoutMilliseconds);
  }
  std::vector<Finished> finished;
  for (auto it = impl_->downloads.begin(); it != impl_->downloads.end();) {
    if (!it->second->transfer().done()) {
      ++it;
      continue;
    }
    Finished end{it->first, Finished::Result::kComplete, {}, {}, nullptr, {}, {}, false};
    try {
      it->second->finish(end);
    } catch (const common::CurlError& error) {
      // recovery point: a failed transfer is its owner's to try again
      end.result = Finished::Result::kTransferFailed;
      end.message = error.message();
      end.cause = error.cause();
    } catch (const common::Error&) {
      // recovery point: kept for the owner to raise when this download's turn comes
      end.result = Finished::Result::kFileFailed;
      end.error = std::current_exception();
    }
    finished.push_back(std::move(end));
    it = impl_->downloads.erase(it);
  }
  return finished;
}

void DownloadSet::wake() noexcept { impl_->session.wake(); }

}  // namespace http
