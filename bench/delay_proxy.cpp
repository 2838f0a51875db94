// Loopback TCP proxy that adds a round trip, for the benchmarks that need one
// on machines whose kernel has no netem:
//   tolvex_delay_proxy LISTEN_PORT UPSTREAM_PORT [--rtt-ms 50] [--no-slow-start]
// Listens on 127.0.0.1:LISTEN_PORT and forwards each connection to
// 127.0.0.1:UPSTREAM_PORT. Per connection, with D = RTT/2:
//  - set-up costs one round trip: the client's first bytes reach the server no
//    earlier than accept + RTT + D;
//  - bytes arrive D after they were sent, each way; the server's sending is paced
//    like slow start (SlowStartPacer) unless --no-slow-start;
//  - a close travels like data, D later and after the bytes before it.
// Bandwidth is not limited and each direction keeps its order.
//
// One thread, one epoll loop with a timer queue; each direction is a DelayLine.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/output.hpp"
#include "delay_line.hpp"
#include "slow_start_pacer.hpp"

namespace {

using bench::Clock;
using bench::DelayLine;
using bench::PipePool;
using bench::Time;
using common::FileDescriptor;

constexpr std::string_view kUsage =
    "usage: tolvex_delay_proxy LISTEN_PORT UPSTREAM_PORT [--rtt-ms 50] [--no-slow-start]";

struct Options {
  std::uint16_t listenPort = 0;
  std::uint16_t upstreamPort = 0;
  Clock::duration rtt = std::chrono::milliseconds(50);
  bool slowStart = true;
};

std::uint16_t parsePort(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.begin(), text.end(), value);
  if (error != std::errc() || end != text.end() || value == 0 || value > 65535) {
    throw common::UsageError("not a port: " + std::string(text));
  }
  return static_cast<std::uint16_t>(value);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  std::vector<std::string_view> ports;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--rtt-ms" && i + 1 == argc) {
      throw common::UsageError("--rtt-ms needs a value");
    }
    if (arg == "--rtt-ms") {
      const std::string_view text = argv[++i];
      double ms = -1;
      const auto [end, error] = std::from_chars(text.begin(), text.end(), ms);
      if (error != std::errc() || end != text.end() || !(ms >= 0 && ms < 1e9)) {
        throw common::UsageError("not a round trip in milliseconds: " + std::string(text));
      }
      options.rtt =
          std::chrono::round<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
    } else if (arg == "--no-slow-start") {
      options.slowStart = false;
    } else if (arg.starts_with("--")) {
      throw common::UsageError("unknown option: " + std::string(arg));
    } else {
      ports.push_back(arg);
    }
  }
  if (ports.size() != 2) {
    throw common::UsageError("two ports are needed");
  }
  options.listenPort = parsePort(ports[0]);
  options.upstreamPort = parsePort(ports[1]);
  return options;
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Small writes go out at once, as on the paths the proxy stands for.
void setNoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A client's connection and the one to the server made for it.
struct Connection {
  enum Side : unsigned { kClient = 0, kServer = 1 };

  FileDescriptor sockets[2];
  DelayLine toServer;
  DelayLine toClient;
  bool connecting = true;
  std::uint32_t interest[2] = {0, 0};  // what epoll watches on each socket; 0: not registered

  DelayLine& from(Side side) { return side == kClient ? toServer : toClient; }
  DelayLine& into(Side side) { return side == kClient ? toClient : toServer; }
};

class Proxy {
 public:
  explicit Proxy(const Options& options);
  [[noreturn]] void run();

 private:
  struct Timer {
    Time due;
    std::uint64_t id;
    bool operator>(const Timer& other) const { return due > other.due; }
  };

  void acceptAll();
  void handle(std::uint64_t id, Connection::Side side, std::uint32_t events);
  bool pump(Connection& connection, Time now);
  void settle(std::uint64_t id, Connection& connection, Time now, bool healthy);
  void watch(Connection& connection, std::uint64_t id, Connection::Side side, std::uint32_t wanted);
  void fireTimers();

  Options options_;
  FileDescriptor epoll_;
  FileDescriptor listener_;
  PipePool pool_;
  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
  std::uint64_t nextId_ = 1;  // epoll data: id * 2 + side; 0 is the listener
};

Proxy::Proxy(const Options& options)
    : options_(options),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      listener_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
  if (epoll_.get() < 0 || listener_.get() < 0) {
    throw common::osError(errno, "epoll_create1 or socket");
  }
  const int on = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = loopback(options_.listenPort);
  if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 512) != 0) {
    throw common::osError(errno, "listening on 127.0.0.1:" + std::to_string(options_.listenPort));
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = 0;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &event) != 0) {
    throw common::osError(errno, "epoll_ctl");
  }
}

void Proxy::run() {
  std::vector<epoll_event> events(256);
  for (;;) {
    timespec timeout{};
    if (!timers_.empty()) {
      const auto wait = std::max(Clock::duration::zero(), timers_.top().due - Clock::now());
      const auto seconds = std::chrono::floor<std::chrono::seconds>(wait);
      timeout.tv_sec = seconds.count();
      timeout.tv_nsec = std::chrono::nanoseconds(wait - seconds).count();
    }
    const int count = ::epoll_pwait2(epoll_.get(), events.data(), static_cast<int>(events.size()),
                                     timers_.empty() ? nullptr : &timeout, nullptr);
    if (count < 0 && errno != EINTR) {
      throw common::osError(errno, "epoll_pwait2");
    }
    for (int i = 0; i < count; ++i) {
      const std::uint64_t data = events[i].data.u64;
      if (data == 0) {
        acceptAll();
      } else {
        handle(data / 2, static_cast<Connection::Side>(data % 2), events[i].events);
      }
    }
    fireTimers();
  }
}

void Proxy::acceptAll() {
  for (;;) {
    FileDescriptor client(
        ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (client.get() < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      if (errno != EAGAIN) {
        throw common::osError(errno, "accept4");
      }
      return;
    }
    const Time accepted = Clock::now();
    FileDescriptor server(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in upstream = loopback(options_.upstreamPort);
    const bool connected =
        server.get() >= 0 &&
        ::connect(server.get(), reinterpret_cast<const sockaddr*>(&upstream), sizeof upstream) == 0;
    if (!connected && (server.get() < 0 || errno != EINPROGRESS)) {
      continue;  // the client sees its connection closed, as with a server that is down
    }
    setNoDelay(client.get());
    setNoDelay(server.get());
    const auto delay = options_.rtt / 2;
    std::optional<bench::SlowStartPacer> pacer;
    if (options_.slowStart) {
      pacer.emplace(options_.rtt);
    }
    auto connection = std::make_unique<Connection>(
        Connection{{std::move(client), std::move(server)},
                   DelayLine(accepted + options_.rtt + delay, delay, std::nullopt),
                   DelayLine(Time{}, delay, pacer),
                   !connected});
    const std::uint64_t id = nextId_++;
    Connection& added = *connections_.emplace(id, std::move(connection)).first->second;
    settle(id, added, accepted, true);
  }
}

void Proxy::handle(std::uint64_t id, Connection::Side side, std::uint32_t events) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) {
    return;
  }
  Connection& connection = *found->second;
  const Time now = Clock::now();
  bool healthy = true;
  if (side == Connection::kServer && connection.connecting) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(connection.sockets[side].get(), SOL_SOCKET, SO_ERROR, &error, &length);
    healthy = error == 0;
    connection.connecting = false;
  }
  if (healthy && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
    connection.from(side).read(connection.sockets[side].get(), now, pool_);
  }
  if (healthy && connection.into(side).blocked()) {
    healthy = connection.into(side).flush(connection.sockets[side].get(), now, pool_);
  }
  settle(id, connection, now, healthy);
}

bool Proxy::pump(Connection& connection, Time now) {
  return connection.toServer.flush(connection.sockets[Connection::kServer].get(), now, pool_) &&
         connection.toClient.flush(connection.sockets[Connection::kClient].get(), now, pool_);
}

// Ends the connection when it failed or both closes have been passed on;
// otherwise sets the timers its directions need and makes epoll watch what
// each socket waits for.
void Proxy::settle(std::uint64_t id, Connection& connection, Time now, bool healthy) {
  if (!healthy || (connection.toServer.finished() && connection.toClient.finished())) {
    connection.toServer.release(pool_);
    connection.toClient.release(pool_);
    connections_.erase(id);  // closing the sockets takes them out of epoll
    return;
  }
  for (const auto side : {Connection::kClient, Connection::kServer}) {
    if (const auto due = connection.from(side).newTimer(now)) {
      timers_.push({*due, id});
    }
    std::uint32_t wanted = connection.from(side).wantsRead(now) ? std::uint32_t{EPOLLIN} : 0;
    if (connection.into(side).blocked() || (side == Connection::kServer && connection.connecting)) {
      wanted |= EPOLLOUT;
    }
    watch(connection, id, side, wanted);
  }
}

// Unregisters a socket that waits for nothing, so that a hang-up there (always
// reported) cannot wake the loop over and over.
void Proxy::watch(Connection& connection, std::uint64_t id, Connection::Side side,
                  std::uint32_t wanted) {
  std::uint32_t& current = connection.interest[side];
  if (wanted == current) {
    return;
  }
  epoll_event event{};
  event.events = wanted;
  event.data.u64 = id * 2 + side;
  const int operation = current == 0 ? EPOLL_CTL_ADD : wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  if (::epoll_ctl(epoll_.get(), operation, connection.sockets[side].get(), &event) != 0) {
    throw common::osError(errno, "epoll_ctl");
  }
  current = wanted;
}

void Proxy::fireTimers() {
  const Time now = Clock::now();
  while (!timers_.empty() && timers_.top().due <= now) {
    const std::uint64_t id = timers_.top().id;
    timers_.pop();
    const auto found = connections_.find(id);
    if (found != connections_.end()) {
      Connection& connection = *found->second;
      settle(id, connection, now, pump(connection, now));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A peer that went away is an error of the splice into it, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  // Each connection holds two sockets and the pipes of its two delay lines.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  // The one catch site: a wrong command line or a failed system call ends the proxy.
  try {
    Proxy(parseOptions(argc, argv)).run();
  } catch (const common::UsageError& error) {
    common::printErr("tolvex_delay_proxy: " + error.message());
    common::printErr(kUsage);
    return 2;
  } catch (const common::Error& error) {
    common::printErr("tolvex_delay_proxy: " + error.message());
    return 1;
  }
}
