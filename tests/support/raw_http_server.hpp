#pragma once

#include <functional>
#include <memory>
#include <string>

namespace testing_support {

// A loopback server for answers that a well-behaved HTTP library would not
// send: the test gives the raw bytes, header lines included. Each connection
// carries one request; the answer is written as given and the connection is
// closed (answers should say "Connection: close").
class RawHttpServer {
 public:
  // The raw answer to a request whose head (request line and header lines,
  // "\r\n"-separated, without the blank line) is `requestHead`.
  using Responder = std::function<std::string(const std::string& requestHead)>;

  // Listens on 127.0.0.1 with a port chosen by the system, answering from a
  // background thread until destroyed.
  explicit RawHttpServer(Responder responder);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  // "http://127.0.0.1:PORT" followed by `path`.
  std::string url(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
