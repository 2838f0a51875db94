#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "common/file.hpp"
#include "slow_start_pacer.hpp"

namespace bench {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

// A pipe holding bytes on their way from one socket to another.
struct Pipe {
  common::FileDescriptor out;
  common::FileDescriptor in;
  bool large = false;  // as large as asked for
  std::size_t bytes = 0;
};

// Empty pipes for reuse, so that a steady transfer does not make one per read.
class PipePool {
 public:
  // An empty pipe, as large as the system allows; throws OSError when none can be made.
  Pipe take();
  // Keeps `pipe` for reuse when it is empty and large; a small one is closed, so
  // that a full quota does not leave the proxy with small pipes for good.
  void give(Pipe pipe);

 private:
  std::vector<Pipe> spare_;
};

// One way of one connection of the delay proxy: the bytes read from the source
// that are not yet written to the destination, and the times at which they are
// due there. They wait in pipes, moved in and out with splice, never copied.
class DelayLine {
 public:
  DelayLine(Time firstDelivery, Clock::duration delay, std::optional<SlowStartPacer> pacer)
      : firstDelivery_(firstDelivery), delay_(delay), pacer_(pacer) {}

  // Whether the source is to be read at `now`: not after its end, nor while the
  // line is full, nor in the batch interval after a read.
  bool wantsRead(Time now) const { return mayRead() && now >= nextRead_; }
  // Whether the destination took less than was due and is to be waited for.
  bool blocked() const { return blocked_; }
  // Whether the close has been passed on, after every byte.
  bool finished() const { return finished_; }
  // When this line next has something to do that no socket will report:
  // bytes fall due, or the source may be read again. Nothing when that time is
  // the one returned last, for which a timer has been set.
  std::optional<Time> newTimer(Time now);

  // Takes what `source` has, up to the queue's bound; its end or an error is a close.
  void read(int source, Time now, PipePool& pool);
  // Passes on what is due at `now` to `destination`, then the close once everything
  // before it is written. Returns false when the destination fails.
  bool flush(int destination, Time now, PipePool& pool);
  // Gives the empty pipes back when the connection ends.
  void release(PipePool& pool);

 private:
  struct Mark {
    Time due;
    std::size_t bytes;
    bool close;
  };

  bool mayRead() const;
  void mark(Time due, std::size_t bytes, bool close);

  Time firstDelivery_;
  Clock::duration delay_;
  std::optional<SlowStartPacer> pacer_;
  std::deque<Pipe> pipes_;  // only the last one may be empty
  std::deque<Mark> marks_;
  Time last_{};  // due time of the last mark: order is kept
  Time nextRead_{};
  Time nextFlush_{};
  Time timer_{};              // returned last by newTimer()
  std::size_t queued_ = 0;    // bytes in pipes_
  std::size_t dueBytes_ = 0;  // of those, due and not yet written
  bool closeDue_ = false;
  bool sourceEnded_ = false;
  bool blocked_ = false;   // the destination took less than was due
  bool finished_ = false;  // the close has been passed on
};

}  // namespace bench
