#pragma once

#include <chrono>
#include <memory>
#include <set>

#include "http/curl_api.hpp"

// Internal to the HTTP layer: this header brings in curl.h.

namespace http {

class Transfer;

struct MultiHandleCleanup {
  const CurlApi* curl = nullptr;
  void operator()(CURLM* multi) const noexcept;
};
using MultiHandle = std::unique_ptr<CURLM, MultiHandleCleanup>;

// A libcurl multi handle that runs transfers side by side on the calling
// thread. Its connection cache outlives each transfer, so requests to one server
// reuse the connections (and HTTP/2 streams) of earlier ones.
class TransferSession {
 public:
  // Every transfer added gives up setting up its connection after
  // `connectTimeout`. Throws CurlError when libcurl cannot make a multi handle.
  TransferSession(const CurlApi& curl, std::chrono::milliseconds connectTimeout);
  TransferSession(const TransferSession&) = delete;
  TransferSession& operator=(const TransferSession&) = delete;

  // Starts `transfer`; it runs whenever the session is driven, until it ends or
  // is removed. Throws CurlError with libcurl's message.
  void add(Transfer& transfer);
  // Stops `transfer` if it still runs.
  void remove(Transfer& transfer) noexcept;

  // Adds `transfer` and drives the session until it has ended. It has left the
  // session when this returns, normally or by an error.
  void run(Transfer& transfer);
  // The same for a `transfer` added earlier, which may have ended already.
  void finish(Transfer& transfer);

  // Moves every transfer on. Waits first, up to `timeoutMilliseconds`, for
  // network activity, one of libcurl's timers or wake(). Each transfer that
  // ends is completed and leaves the session. Throws CurlError when the multi
  // interface itself fails.
  void drive(int timeoutMilliseconds);

  // Ends the current or next wait of drive() early. Any thread may call it.
  void wake() noexcept;

 private:
  void performAndDispatch();

  const CurlApi& curl_;
  // The sockets libcurl made for the session's transfers (RequestContext).
  std::set<curl_socket_t> sockets_;
  MultiHandle multi_;
  long connectTimeoutMilliseconds_;
};

}  // namespace http
