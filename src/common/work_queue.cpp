#include "common/work_queue.hpp"

#include <system_error>
#include <utility>

namespace common {

WorkQueue::WorkQueue(std::size_t workers) {
  if (workers <= 1) {
    return;
  }
  threads_.reserve(workers);
  try {
    for (std::size_t i = 0; i < workers; ++i) {
      threads_.emplace_back([this] { workLoop(); });
    }
  } catch (const std::system_error&) {
    // recovery point: fewer workers, or none, still run every job
    ranOutOfThreads_ = threads_.empty();
  }
}

WorkQueue::~WorkQueue() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  for (auto& thread : threads_) {
    thread.join();
  }
}

void WorkQueue::post(std::function<void()> job) {
  if (threads_.empty()) {
    job();
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void WorkQueue::workLoop() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) {
        return;
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace common
