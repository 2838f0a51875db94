#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "common/uri.hpp"
#include "http/curl_api.hpp"
#include "http/http_request.hpp"
#include "http/response_headers.hpp"

// Internal to the HTTP layer: this header brings in curl.h.

namespace http {

class TransferSession;

struct EasyHandleCleanup {
  const CurlApi* curl = nullptr;
  void operator()(CURL* handle) const noexcept;
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleCleanup>;

struct HeaderListFree {
  const CurlApi* curl = nullptr;
  void operator()(curl_slist* list) const noexcept;
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

// What libcurl's body, header and progress callbacks work on; its address is
// their user data.
struct RequestContext {
  const CurlApi* curl = nullptr;
  CURL* handle = nullptr;
  bool headOnly = false;
  HeaderCollector headers;
  ChunkCallback onChunk;
  HeadersDoneCallback onHeadersDone;
  ProgressCallback onProgress;
  // An error raised inside a callback, raised again once libcurl has returned:
  // it must not unwind through libcurl's C frames.
  std::exception_ptr error;
  // The body callback stopped the transfer at a status other than 200 or 206.
  bool refusedStatus = false;
  // The sockets that libcurl made for the transfers of its session, some
  // closed since (TransferSession); the one of this transfer's connection, once
  // found, and that connection's local port.
  std::set<curl_socket_t>* sockets = nullptr;
  curl_socket_t socket = CURL_SOCKET_BAD;
  long socketPort = -1;
};

// How a transfer ended, as libcurl and our callbacks left it.
struct TransferOutcome {
  CURLcode code = CURLE_OK;
  long status = 0;                   // the final HTTP status; 0 without an answer
  std::exception_ptr callbackError;  // raised in one of our callbacks
  bool refusedStatus = false;        // the body callback stopped at `status`
  // Whether `status` is what ended the transfer short: a status other than 200
  // or 206 that no earlier fault of libcurl or of a callback hides.
  bool endedByStatus(bool headOnly) const;
};

// One GET or HEAD request on its own easy handle, with every option set but
// the connect timeout (the session's), ready to be run by a TransferSession.
// Neither copied nor moved: libcurl holds its address.
class Transfer {
 public:
  // Escapes the URL path and sets the options; `curl` and `environmentCaBundle`
  // are the pool's (ConnectionPool). Throws AssertionDefect for a method other than
  // "GET" or "HEAD", CurlError when libcurl has no handle.
  Transfer(const CurlApi& curl, std::string_view httpMethod, const common::Uri& url,
           ChunkCallback onChunk, const HeaderMap& requestHeaders,
           HeadersDoneCallback onHeadersDone, ProgressCallback onProgress,
           const std::string& environmentCaBundle);
  // Leaves its session first when it is still running.
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  CURL* handle() const noexcept { return handle_.get(); }
  bool done() const noexcept { return done_; }
  // Once done(): the status that ended it short, if that is what did.
  std::optional<long> endingStatus() const;

  // Records libcurl's result code for the finished transfer (called by the session).
  // A certificate that is not trusted gives CurlError::Cause::kUntrustedCertificate.
  void complete(CURLcode code);

  // Once done(): raises what ended the transfer short, if anything did — an
  // error of a callback, CurlError with libcurl's message, or CurlError "http
  // code N" when the final status is neither 200 nor 206.
  void rethrowFailure() const;

 private:
  friend class TransferSession;

  const CurlApi& curl_;
  // Declared before the handle, so that it is released after it.
  HeaderList headerList_;
  EasyHandle handle_;
  std::string requestUrl_;
  RequestContext context_;
  TransferSession* session_ = nullptr;  // set while it runs
  bool done_ = false;
  TransferOutcome outcome_;
};

}  // namespace http
