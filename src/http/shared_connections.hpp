#pragma once

#include <memory>

namespace http {

class TransferSession;

// While an object of this class lives, every request of the program (curlRequest,
// ncurlGet, ncurlDownload, DownloadSet) runs in its one libcurl session, and so
// reuses the connections of the requests before it: kept-alive HTTP/1.1
// connections, or the streams of one HTTP/2 connection where TLS offers it.
// Without one, each request makes, and closes, a connection of its own. Objects
// nest; the innermost is used. Requests run on one thread only.
class SharedConnections {
 public:
  // Throws CurlError when libcurl cannot make a session.
  SharedConnections();
  // Closes the connections; no request of the session may still be running.
  ~SharedConnections();
  SharedConnections(const SharedConnections&) = delete;
  SharedConnections& operator=(const SharedConnections&) = delete;

  // The session of the innermost object alive, or null when there is none.
  static TransferSession* current() noexcept;

 private:
  std::unique_ptr<TransferSession> session_;
  SharedConnections* outer_;
};

}  // namespace http
