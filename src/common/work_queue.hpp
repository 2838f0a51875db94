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
  explicit WorkQueue(std::size_t workers);
  // Drops the jobs not started yet and waits for the running ones.
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  void post(std::function<void()> job);
  // True when post() runs each job at once on the caller's thread.
  bool runsInline() const noexcept { return threads_.empty(); }

 private:
  void workLoop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace common
