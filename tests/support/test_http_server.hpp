#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

// One request as the server received it.
struct RecordedRequest {
  std::string method;  // "GET", "HEAD", ...
  std::string path;    // the request target as sent: percent-encoded, with any "?query"
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
  // The client's port: requests with equal ports came over one connection.
  int clientPort = -1;

  // The value of the first header called `name` (case-insensitive), "" when absent.
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
};

// A real HTTP(S) server on 127.0.0.1 with a port chosen by the system, serving the
// files below a document root from a background thread until it is destroyed.
//
// Files are read at request time, so a test may change them between requests.
// Connections are kept alive for up to 100 requests.
// GET and HEAD are answered; "Range: bytes=A-" and "bytes=A-B" give 206 with
// Content-Range, a range starting at or after the end gives 416, a missing file 404;
// several ranges get cpp-httplib's own multipart/byteranges answer, in one piece.
//
// The set...() calls below change how particular paths are answered. A `path` is
// the decoded request path with its leading "/" (a file "dir/a b.txt" is
// "/dir/a b.txt"). All calls are safe while requests are being served.
class TestHttpServer {
 public:
  enum class Transport { kHttp, kHttps };

  // Starts serving `documentRoot`. With kHttps a self-signed certificate for
  // 127.0.0.1 is made first; clients trust it only through certificatePem().
  explicit TestHttpServer(std::string documentRoot, Transport transport = Transport::kHttp);
  // Stops the server; answers still being throttled are cut short. A connection
  // that a client still keeps alive holds this up for 5 seconds, the library's
  // keep-alive time-out: end clients first.
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const;
  // "http://127.0.0.1:PORT" (or "https://...") followed by `path`, e.g. url("/a.txt").
  std::string url(std::string_view path = "/") const;
  // The PEM text of the certificate of a kHttps server ("" for kHttp), ready to be
  // written to a CA bundle file.
  const std::string& certificatePem() const;

  // Every request received so far, oldest first.
  std::vector<RecordedRequest> requests() const;
  // The requests received so far for the decoded `path`.
  std::vector<RecordedRequest> requestsFor(std::string_view path) const;
  void clearRequests();

  // Answers `path` with `status` and `body` (Content-Type text/plain; an empty
  // body sends "Content-Length: 0") instead of serving a file.
  void setAnswer(const std::string& path, int status, std::string body);
  // Answers `path` with a redirect to `location` (absolute URL or absolute path).
  void setRedirect(const std::string& path, const std::string& location, int status = 302);
  // Serves `path` gzip-encoded (Content-Encoding: gzip), whatever the client accepts.
  void setGzip(const std::string& path);
  // The next `count` requests for `path` get `status` with `body` (transient failures).
  void failNext(const std::string& path, int count, int status, std::string body = "");
  // The next `count` answers for `path` announce the full length but the connection
  // is closed after `bytes` bytes of the body.
  void dropAfter(const std::string& path, std::size_t bytes, int count = 1);
  // When true, "Range" is ignored everywhere: every file is answered 200 in full.
  void setIgnoreRange(bool ignore);
  // When true, a request for several ranges is answered 200 in full, as by a
  // server that serves single ranges only.
  void setIgnoreRangeLists(bool ignore);
  // The body of 416 answers; "" sends 416 without a body. Default: a short text.
  void setRangeNotSatisfiableBody(std::string body);
  // Bodies go out in pieces of `chunkBytes` with `pause` before each piece.
  void setThrottle(std::size_t chunkBytes, std::chrono::milliseconds pause);
  // Waits `delay` before answering any request.
  void setResponseDelay(std::chrono::milliseconds delay);
  // Holds each request for a path that starts with `pathPrefix` until `count`
  // of them are held at once, then lets them all go, and every later one
  // unheld. So a client that keeps `count` requests in flight is seen with
  // exactly that many at once however busy the machine is; one that keeps
  // fewer is let go after 20 seconds.
  void gatherRequests(std::string pathPrefix, int count);
  // Holds every request for a path that starts with `pathPrefix` until
  // releaseHeldRequests() (or 20 seconds).
  void holdRequests(std::string pathPrefix);
  void releaseHeldRequests();
  // The most requests that were being answered at one time (each counted from
  // its arrival until its handler has returned, response delay included).
  int maxConcurrentRequests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
