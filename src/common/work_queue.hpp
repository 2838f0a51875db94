#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace common {

// Worker threads that run jobs in the order they are posted, each as soon as a
// worker is free, without handing results back: a job reports its own outcome.
// With no workers (a single core), post() runs the job at once on the caller's
// thread.
class WorkQueue {
 public:
  // Starts `workers` threads, none for one. A thread that cannot start (the
  // process or its user ran out of them) ends the starting: the queue goes on
  // with those that did, and with none as if on a single core.
  explicit WorkQueue(std::size_t workers);
  // Drops the jobs not started yet and waits for the running ones.
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  void post(std::function<void()> job);
  // True when post() runs each job at once on the caller's thread.
  bool runsInline() const noexcept { return threads_.empty(); }
  // True when workers were asked for and none could start.
  bool ranOutOfThreads() const noexcept { return ranOutOfThreads_; }

 private:
  void workLoop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  bool ranOutOfThreads_ = false;
};

}  // namespace common
