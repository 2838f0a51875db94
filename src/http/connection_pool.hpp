#pragma once

#include <chrono>
#include <memory>

namespace http {

class TransferSession;

// The connections of one run. Every request made through the same pool
// (ncurlGet, curlRequest, the downloads of a DownloadSet) runs in its one
// libcurl session, and so reuses the connections of the requests before it:
// kept-alive HTTP/1.1 connections, or the streams of one HTTP/2 connection
// where TLS offers it. Requests run on one thread only.
class ConnectionPool {
 public:
  // How long setting up a connection may take before its request fails with
  // CurlError "Timeout was reached".
  static constexpr std::chrono::milliseconds kConnectTimeout{10000};

  // Throws CurlError when libcurl cannot make a session.
  explicit ConnectionPool(std::chrono::milliseconds connectTimeout = kConnectTimeout);
  // Closes the connections; no request of the pool may still be running.
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The session that runs the pool's requests (internal to the HTTP layer).
  TransferSession& session() noexcept { return *session_; }

 private:
  std::unique_ptr<TransferSession> session_;
};

}  // namespace http
