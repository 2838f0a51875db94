#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <utility>

#include "common/work_queue.hpp"

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
  OrderedPool(std::size_t workers, std::size_t window)
      : window_(window < 1 ? 1 : window), workers_(workers) {}

  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;

  // Queues `job`; its result goes to `consume` on this thread, in order. May first
  // consume earlier results to keep the window bounded (and so may throw their errors).
  void submit(std::function<Result()> job, Consumer consume) {
    makeRoom();
    if (workers_.runsInline()) {
      // Nothing is ever outstanding without workers, so holding the result back
      // would only delay the output and let later jobs run past a failed one.
      consume(job());
      return;
    }
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(job));
    pending_.push_back({task->get_future(), std::move(consume)});
    workers_.post([task] { (*task)(); });
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

  const std::size_t window_;
  std::deque<Pending> pending_;  // submitting thread only
  // Last, so that its workers are joined before the results they fill go away.
  WorkQueue workers_;
};

}  // namespace common
