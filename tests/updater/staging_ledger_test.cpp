#include "updater/plan/staging_ledger.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using updater::StageOutcome;

constexpr StageOutcome kUp = StageOutcome::kUpToDate;
constexpr StageOutcome kStaged = StageOutcome::kAlreadyStaged;
constexpr StageOutcome kDone = StageOutcome::kDownloaded;
constexpr StageOutcome kMismatch = StageOutcome::kMismatch;
constexpr StageOutcome kFailed = StageOutcome::kFailed;

TEST(StagingLedger, TakesOutcomesInEntryOrderAndStopsAtTheFirstFailure) {
  struct Case {
    const char* name;
    std::size_t entries;
    // Settled one after another: entry and outcome.
    std::vector<std::pair<std::size_t, StageOutcome>> settled;
    // What takeReady gives after each of them.
    std::vector<std::vector<std::size_t>> taken;
    std::vector<bool> accepted;  // what settle returned
    bool finished;
  };
  const Case cases[] = {
      {"in order",
       3,
       {{0, kUp}, {1, kDone}, {2, kStaged}},
       {{0}, {1}, {2}},
       {true, true, true},
       true},
      {"in reverse: nothing until the first",
       3,
       {{2, kDone}, {1, kStaged}, {0, kDone}},
       {{}, {}, {0, 1, 2}},
       {true, true, true},
       true},
      {"a gap holds back what follows",
       4,
       {{0, kUp}, {2, kDone}, {3, kDone}},
       {{0}, {}, {}},
       {true, true, true},
       false},
      {"a mismatch among many ends at itself",
       5,
       {{4, kDone}, {0, kDone}, {2, kMismatch}, {1, kDone}, {3, kDone}},
       {{}, {0}, {}, {1, 2}, {}},
       {true, true, true, true, false},
       true},
      {"an earlier failure wins over a later one",
       4,
       {{3, kFailed}, {1, kFailed}, {0, kUp}, {2, kDone}},
       {{}, {}, {0, 1}, {}},
       {true, true, true, false},
       true},
      {"an entry after the failure is never taken, even if settled first",
       3,
       {{2, kDone}, {1, kMismatch}, {0, kUp}},
       {{}, {}, {0, 1}},
       {true, true, true},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    updater::StagingLedger ledger(c.entries);
    for (std::size_t step = 0; step < c.settled.size(); ++step) {
      const auto [index, outcome] = c.settled[step];
      EXPECT_EQ(ledger.settle(index, outcome), c.accepted[step]) << "step " << step;
      EXPECT_EQ(ledger.takeReady(), c.taken[step]) << "step " << step;
    }
    EXPECT_EQ(ledger.finished(), c.finished);
    EXPECT_TRUE(ledger.takeReady().empty());
  }
}

TEST(StagingLedger, EntriesAfterAFailureAreAbandoned) {
  updater::StagingLedger ledger(4);
  EXPECT_FALSE(ledger.abandoned(3));
  ledger.settle(1, kFailed);
  EXPECT_FALSE(ledger.abandoned(0));
  EXPECT_FALSE(ledger.abandoned(1));
  EXPECT_TRUE(ledger.abandoned(2));
  EXPECT_EQ(ledger.outcome(1), kFailed);
}

}  // namespace
