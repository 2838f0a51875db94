#include "common/ordered_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

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

}  // namespace
