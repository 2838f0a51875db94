#include "delay_line.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "common/errors.hpp"

namespace bench {

namespace {

// A line is not read while it holds kMaxQueued bytes, which caps its rate at
// kMaxQueued / delay, or kMaxPipes pipes (past the user's quota they hold 8 KiB).
constexpr std::size_t kMaxQueued = 32 << 20;
constexpr std::size_t kMaxPipes = 64;
// A steady stream is read and passed on at most once per kBatch, which bounds
// how often the proxy and its peers wake each other up; bytes that follow a
// pause still go at once.
constexpr auto kBatch = std::chrono::milliseconds(1);
constexpr int kPipeSize = 1 << 20;         // asked for; the system may allow less
constexpr std::size_t kMaxSparePipes = 8;  // kept empty, yet counted in the user's quota
constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

}  // namespace

Pipe PipePool::take() {
  if (!spare_.empty()) {
    Pipe pipe = std::move(spare_.back());
    spare_.pop_back();
    return pipe;
  }
  int ends[2];
  if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
    throw common::osError(errno, "pipe2");
  }
  // Larger pipes mean fewer of them per queue; refused past the user's quota.
  const bool large = ::fcntl(ends[1], F_SETPIPE_SZ, kPipeSize) >= kPipeSize;
  return Pipe{common::FileDescriptor(ends[0]), common::FileDescriptor(ends[1]), large};
}

void PipePool::give(Pipe pipe) {
  if (pipe.bytes == 0 && pipe.large && spare_.size() < kMaxSparePipes) {
    spare_.push_back(std::move(pipe));
  }
}

bool DelayLine::mayRead() const {
  return !sourceEnded_ && queued_ < kMaxQueued && pipes_.size() < kMaxPipes;
}

void DelayLine::mark(Time due, std::size_t bytes, bool close) {
  last_ = std::max({due, firstDelivery_, last_});
  marks_.push_back({last_, bytes, close});
}

std::optional<Time> DelayLine::newTimer(Time now) {
  std::optional<Time> next;
  if (!marks_.empty()) {
    next = std::max(marks_.front().due, nextFlush_);
  }
  if (mayRead() && now < nextRead_) {
    next = std::min(next.value_or(nextRead_), nextRead_);
  }
  if (!next || *next == timer_) {
    return std::nullopt;
  }
  timer_ = *next;
  return next;
}

void DelayLine::read(int source, Time now, PipePool& pool) {
  if (!wantsRead(now)) {
    return;
  }
  while (mayRead()) {
    if (pipes_.empty()) {
      pipes_.push_back(pool.take());
    }
    // What the socket holds tells a full pipe from a drained socket; when it
    // holds nothing, the splice still finds out whether the stream has ended.
    int waiting = 0;
    ::ioctl(source, FIONREAD, &waiting);
    const std::size_t asked = waiting > 0 ? static_cast<std::size_t>(waiting) : kPipeSize;
    const ssize_t count =
        ::splice(source, nullptr, pipes_.back().in.get(), nullptr, asked, kSpliceFlags);
    if (count < 0 && errno == EAGAIN && waiting > 0 && pipes_.back().bytes > 0) {
      pipes_.push_back(pool.take());  // the pipe is full
      continue;
    }
    if (count < 0 && errno == EAGAIN) {
      break;
    }
    if (count <= 0) {
      // A reset is passed on as a close, the same way and as late.
      sourceEnded_ = true;
      mark(now + delay_, 0, true);
      break;
    }
    const auto bytes = static_cast<std::size_t>(count);
    pipes_.back().bytes += bytes;
    queued_ += bytes;
    nextRead_ = now + kBatch;
    if (pacer_) {
      for (const auto& piece : pacer_->schedule(now, bytes)) {
        mark(piece.departure + delay_, piece.bytes, false);
      }
    } else {
      mark(now + delay_, bytes, false);
    }
    if (bytes >= asked) {
      break;  // took all there was
    }
    pipes_.push_back(pool.take());  // the pipe is full
  }
}

bool DelayLine::flush(int destination, Time now, PipePool& pool) {
  while (!marks_.empty() && marks_.front().due <= now) {
    dueBytes_ += marks_.front().bytes;
    closeDue_ = closeDue_ || marks_.front().close;
    marks_.pop_front();
  }
  while (dueBytes_ > 0) {
    Pipe& front = pipes_.front();
    const std::size_t asked = std::min(front.bytes, dueBytes_);
    TOLVEX_CHECK(asked > 0, "only the last pipe of a line may be empty");
    const ssize_t count =
        ::splice(front.out.get(), nullptr, destination, nullptr, asked, kSpliceFlags);
    if (count < 0) {
      blocked_ = errno == EAGAIN;
      return blocked_;  // any other error ends the connection
    }
    const auto bytes = static_cast<std::size_t>(count);
    nextFlush_ = now + kBatch;
    front.bytes -= bytes;
    queued_ -= bytes;
    dueBytes_ -= bytes;
    if (front.bytes == 0 && pipes_.size() > 1) {
      pool.give(std::move(front));
      pipes_.pop_front();
    }
    if (bytes < asked) {
      blocked_ = true;  // the socket is full; the next try would only be refused
      return true;
    }
  }
  blocked_ = false;
  if (closeDue_ && !finished_) {
    ::shutdown(destination, SHUT_WR);
    finished_ = true;
  }
  return true;
}

void DelayLine::release(PipePool& pool) {
  for (Pipe& pipe : pipes_) {
    pool.give(std::move(pipe));
  }
  pipes_.clear();
}

}  // namespace bench
