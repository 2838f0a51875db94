#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace http {

class TransferSession;
struct CurlApi;

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

  // `curl` is the table of libcurl's functions (loadCurlLibrary), which every
  // request of the pool goes through. `environmentCaBundle` is the CA bundle file that the
  // environment names (environmentCaBundle()), trusted by HTTPS requests when the working directory
  // holds no "curl-ca-bundle.crt"; "" leaves libcurl's default store. Throws CurlError when libcurl
  // cannot make a session.
  explicit ConnectionPool(const CurlApi& curl, std::string environmentCaBundle = {},
                          std::chrono::milliseconds connectTimeout = kConnectTimeout);
  // Closes the connections; no request of the pool may still be running.
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The session that runs the pool's requests (internal to the HTTP layer).
  TransferSession& session() noexcept { return *session_; }
  const std::string& environmentCaBundle() const noexcept { return environmentCaBundle_; }
  const CurlApi& curl() const noexcept { return curl_; }

 private:
  const CurlApi& curl_;
  std::unique_ptr<TransferSession> session_;
  std::string environmentCaBundle_;
};

// The CA bundle file that the environment names, given the values of
// CURL_CA_BUNDLE and SSL_CERT_FILE (null when unset), as the curl tool reads
// them: the first that is set and not empty; "" when neither is.
std::string environmentCaBundle(const char* curlCaBundle, const char* sslCertFile);

}  // namespace http
