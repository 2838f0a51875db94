#include "common/ordered_pool.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <string>
#include <vector>

#include "common/errors.hpp"

namespace {

TEST(OrderedPool, HandsResultsBackInSubmissionOrder) {
  for (const std::size_t workers : {1u, 2u, 4u}) {
    SCOPED_TRACE(workers);
    std::vector<int> seen;
    common::OrderedPool<int> pool(workers, 8);
    for (int i = 0; i < 100; ++i) {
      pool.submit(
          [i] {
            // Later jobs finish first now and then.
            std::this_thread::sleep_for(std::chrono::microseconds((100 - i) % 7 * 50));
            return i * i;
          },
          [&seen](int&& value) { seen.push_back(value); });
    }
    pool.drain();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) {
      EXPECT_EQ(seen[static_cast<std::size_t>(i)], i * i);
    }
  }
}

TEST(OrderedPool, RaisesAJobsErrorAfterEveryEarlierResult) {
  for (const std::size_t workers : {1u, 3u}) {
    SCOPED_TRACE(workers);
    std::vector<int> seen;
    common::OrderedPool<int> pool(workers, 4);
    auto run = [&] {
      for (int i = 0; i < 20; ++i) {
        pool.submit(
            [i]() -> int {
              if (i == 5 || i == 9) {
                throw common::IOError("bad " + std::to_string(i));
              }
              return i;
            },
            [&seen](int&& value) { seen.push_back(value); });
      }
      pool.drain();
    };
    try {
      run();
      ADD_FAILURE() << "no error";
    } catch (const common::IOError& e) {
      EXPECT_EQ(e.message(), "bad 5");
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
  }
}

TEST(OrderedPool, KeepsNoMoreThanTheWindowOutstanding) {
  constexpr std::size_t kWindow = 3;
  common::OrderedPool<int> pool(2, kWindow);
  std::size_t consumed = 0;
  for (std::size_t i = 0; i < 30; ++i) {
    pool.submit([] { return 0; }, [&consumed](int&&) { ++consumed; });
    EXPECT_LE(i + 1 - consumed, kWindow);
  }
  pool.drain();
  EXPECT_EQ(consumed, 30u);
}

TEST(OrderedPool, WithOneWorkerConsumesEachResultBeforeTheNextJobRuns) {
  std::vector<std::string> events;
  common::OrderedPool<int> pool(1, 8);
  const auto submitAll = [&] {
    for (int i = 0; i < 6; ++i) {
      pool.submit(
          [i, &events]() -> int {
            events.push_back("run " + std::to_string(i));
            if (i == 3) {
              throw common::IOError("bad 3");
            }
            return i;
          },
          [&events](int&& value) { events.push_back("consume " + std::to_string(value)); });
    }
  };
  EXPECT_THROW(submitAll(), common::IOError);
  // A plain loop stops at the failed job: nothing after it has run.
  EXPECT_EQ(events, (std::vector<std::string>{"run 0", "consume 0", "run 1", "consume 1", "run 2",
                                              "consume 2", "run 3"}));
}

TEST(OrderedPool, ReadyResultsKeepTheirPlaceAmongJobs) {
  for (const std::size_t workers : {1u, 3u}) {
    SCOPED_TRACE(workers);
    std::vector<int> seen;
    common::OrderedPool<int> pool(workers, 5);
    const auto record = [&seen](int&& value) { seen.push_back(value); };
    for (int i = 0; i < 60; ++i) {
      if (i % 3 == 0) {
        pool.submitReady(int{i}, record);
      } else {
        pool.submit(
            [i] {
              std::this_thread::sleep_for(std::chrono::microseconds(i % 4 * 100));
              return i;
            },
            record);
      }
    }
    pool.drain();
    std::vector<int> expected(60);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(seen, expected);
  }
}

TEST(OrderedPool, WorkerCountFollowsTheCoresThisThreadMayUse) {
  cpu_set_t allowed;
  ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
  const auto cores = static_cast<std::size_t>(CPU_COUNT(&allowed));
  EXPECT_EQ(common::workerCount(), std::min<std::size_t>(cores, 8));
  EXPECT_EQ(common::workerCount(1), 1u);

  int first = 0;
  while (!CPU_ISSET(first, &allowed)) {
    ++first;
  }
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  const std::size_t pinned = common::workerCount();
  ASSERT_EQ(::sched_setaffinity(0, sizeof allowed, &allowed), 0);
  EXPECT_EQ(pinned, 1u);
}

}  // namespace
