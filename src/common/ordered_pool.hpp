#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace common {

// Number of worker threads for CPU-bound work: the cores that the calling thread
// may run on, at most `limit`.
std::size_t workerCount(std::size_t limit = 8);

// Runs jobs on worker threads and hands their results back on the submitting
// thread in submission order, so that output stays in the order a serial run
// would give. An error raised by a job is raised again when its turn comes, after
// the results of every earlier job have been consumed. With one worker (or a
// single core) each job runs inline on the calling thread and its result is
// consumed at once, exactly as a plain loop would do it.
template <typename Result>
class OrderedPool {
 public:
  using Consumer = std::function<void(Result&&)>;

  // `window` bounds the jobs in flight, and so the memory held by their results.
  OrderedPool(std::size_t workers, std::size_t window) : window_(window < 1 ? 1 : window) {
    if (workers > 1) {
      for (std::size_t i = 0; i < workers; ++i) {
        threads_.emplace_back([this] { workLoop(); });
      }
    }
  }

  ~OrderedPool() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
      thread.join();
    }
  }

  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;

  // Queues `job`; its result goes to `consume` on this thread, in order. May first
  // consume earlier results to keep the window bounded (and so may throw their errors).
  void submit(std::function<Result()> job, Consumer consume) {
    makeRoom();
    if (threads_.empty()) {
      // Nothing is ever outstanding without workers, so holding the result back
      // would only delay the output and let later jobs run past a failed one.
      consume(job());
      return;
    }
    std::packaged_task<Result()> task(std::move(job));
    pending_.push_back({task.get_future(), std::move(consume)});
    {
      const std::lock_guard lock(mutex_);
      queue_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

  // Hands over a result that needs no job: `consume` gets it in its turn among
  // the submitted jobs, at once when nothing earlier is outstanding. May first
  // consume earlier results (and so throw their errors), as submit does.
  void submitReady(Result value, Consumer consume) {
    makeRoom();
    if (pending_.empty()) {
      consume(std::move(value));
      return;
    }
    std::promise<Result> ready;
    ready.set_value(std::move(value));
    pending_.push_back({ready.get_future(), std::move(consume)});
  }

  // Consumes every outstanding result in order.
  void drain() {
    while (!pending_.empty()) {
      consumeOldest();
    }
  }

 private:
  struct Pending {
    std::future<Result> result;
    Consumer consume;
  };

  // Frees half of a full window. Waiting for the middle result first costs one
  // wake-up per half window instead of one per job; by then the workers have
  // usually finished the older ones too, and still have the newer half queued.
  void makeRoom() {
    if (pending_.size() < window_) {
      return;
    }
    const std::size_t keep = window_ / 2;
    pending_[pending_.size() - 1 - keep].result.wait();
    while (pending_.size() > keep) {
      consumeOldest();
    }
  }

  void consumeOldest() {
    Pending oldest = std::move(pending_.front());
    pending_.pop_front();
    oldest.consume(oldest.result.get());
  }

  void workLoop() {
    for (;;) {
      std::packaged_task<Result()> task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
          return;
        }
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task();
    }
  }

  const std::size_t window_;
  std::deque<Pending> pending_;  // submitting thread only
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<Result()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace common
