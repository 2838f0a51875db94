#include "support/raw_http_server.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace testing_support {

struct RawHttpServer::Impl {
  Responder responder;
  int listener = -1;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::thread thread;

  void serve() {
    while (!stopping) {
      pollfd waiting{listener, POLLIN, 0};
      // Short waits, so that the destructor is not held up.
      if (::poll(&waiting, 1, 20) <= 0) {
        continue;
      }
      const int connection = ::accept(listener, nullptr, nullptr);
      if (connection >= 0) {
        answer(connection);
        ::close(connection);
      }
    }
  }

  void answer(int connection) const {
    std::string received;
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos) {
      const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
      if (count <= 0) {
        return;
      }
      received.append(buffer, static_cast<std::size_t>(count));
    }
    const std::string reply = responder(received.substr(0, received.find("\r\n\r\n")));
    for (std::size_t sent = 0; sent < reply.size();) {
      const ssize_t count =
          ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (count <= 0) {
        return;
      }
      sent += static_cast<std::size_t>(count);
    }
  }
};

RawHttpServer::RawHttpServer(Responder responder) : impl_(std::make_unique<Impl>()) {
  impl_->responder = std::move(responder);
  impl_->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(impl_->listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::getsockname(impl_->listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  EXPECT_EQ(::listen(impl_->listener, 16), 0);
  impl_->port = ntohs(address.sin_port);
  impl_->thread = std::thread([impl = impl_.get()] { impl->serve(); });
}

RawHttpServer::~RawHttpServer() {
  impl_->stopping = true;
  impl_->thread.join();
  ::close(impl_->listener);
}

std::string RawHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + path;
}

}  // namespace testing_support
