#include "common/work_queue.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>

namespace {

// Under a limit of one thread (nobody's, as root ignores it) no worker starts;
// under two, one may start and the next fail, which left a half-built queue
// that aborted. Either way every job runs.
TEST(WorkQueue, RunsEveryJobWhenThreadsRunOut) {
  for (const rlim_t limit : {1, 2}) {
    SCOPED_TRACE(limit);
    const pid_t child = ::fork();
    if (child == 0) {
      const rlimit threads{limit, limit};
      if ((::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ||
          ::setrlimit(RLIMIT_NPROC, &threads) != 0) {
        ::_exit(2);
      }
      common::WorkQueue queue(4);
      std::promise<void> job;
      queue.post([&job] { job.set_value(); });
      job.get_future().wait();
      ::_exit(limit == 1 && !queue.ranOutOfThreads() ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

}  // namespace
