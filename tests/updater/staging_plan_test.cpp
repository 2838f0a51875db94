#include "updater/plan/staging_plan.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using updater::StageOutcome;
using updater::StagingPlan;
using updater::StagingStep;

// The steps in the order StagingStep declares them.
std::string nameOf(StagingStep step) {
  constexpr const char* kNames[] = {"none",  "index", "build",  "ranges",  "apply",  "whole",
                                    "pause", "retry", "verify", "give up", "commit", "reject"};
  return kNames[static_cast<int>(step)];
}

// One event fed to the plan, and what it must answer, in words.
struct Event {
  enum Op {
    kQueue,
    kQueueDelta,
    kNext,
    kEnded,
    kFailed,
    kBuilding,
    kBuilt,
    kFellBack,
    kVerified,
    kMismatched,
    kFail,
    kDownloaded,
    kPlansDelta,      // a plan made early pays, its old copy kSmallDeltasBytes
    kPlansWhole,      // a plan made early shows the file must come whole
    kPlansWholeBusy,  // the same while no transfer has room
    kNotStarted,
    kApplying,  // its route chose a patch or copy of kSmallDeltasBytes
    kConfirm
  } op;
  std::size_t entry = 0;  // for kNext: the entry whose range is due, or 99
  std::int64_t now = 0;
  std::string expected = "";
};

// A start in words: "whole 0", or "whole 0 to N" when it may fetch N bytes only.
std::string startInWords(const StagingPlan::Start& start) {
  std::string words = nameOf(start.step) + " " + std::to_string(start.entry);
  return start.stopAt ? words + " to " + std::to_string(*start.stopAt) : words;
}

std::string feed(StagingPlan& plan, const Event& event) {
  std::string said;
  switch (event.op) {
    case Event::kPlansDelta:
    case Event::kPlansWhole:
    case Event::kPlansWholeBusy: {
      const bool pays = event.op == Event::kPlansDelta;
      const auto start = plan.plannedEarly(
          event.entry,
          {pays, pays ? StagingPlan::kSmallDeltasBytes : 0, event.op != Event::kPlansWholeBusy});
      return start ? startInWords(*start) : "none";
    }
    case Event::kNotStarted:
      plan.notStartedEarly(event.entry);
      break;
    case Event::kConfirm:
      plan.confirmEarly(event.entry);
      break;
    case Event::kQueue:
    case Event::kQueueDelta:
      plan.queue(event.entry, event.op == Event::kQueueDelta ? StagingPlan::kSmallDeltasBytes : 0);
      break;
    case Event::kNext: {
      const auto start = plan.next(event.now, [&](std::size_t e) { return e == event.entry; });
      return start ? startInWords(*start) : "none";
    }
    case Event::kEnded:
    case Event::kFailed: {
      const auto decision = plan.transferEnded(event.entry, event.op == Event::kEnded, event.now);
      said = nameOf(decision.step);
      if (decision.failures > 0) {
        said.append(" ").append(std::to_string(decision.failures)).append("/");
        said.append(std::to_string(decision.maxAttempts));
      }
      break;
    }
    case Event::kBuilding:
      plan.building(event.entry);
      break;
    case Event::kApplying:
      plan.applying(event.entry, StagingPlan::kSmallDeltasBytes);
      break;
    case Event::kBuilt:
      plan.built(event.entry);
      break;
    case Event::kFellBack:
      plan.fellBack(event.entry);
      break;
    case Event::kVerified:
    case Event::kMismatched:
      return nameOf(plan.verified(event.entry, event.op == Event::kVerified));
    case Event::kFail:
    case Event::kDownloaded:
      // "stop 1 2 (early)": what an early start staged goes with it.
      for (const StagingPlan::Stopped& stopped :
           plan.settle(event.entry, event.op == Event::kFail ? StageOutcome::kFailed
                                                             : StageOutcome::kDownloaded)) {
        said.append(said.empty() ? "stop " : " ").append(std::to_string(stopped.entry));
        said.append(stopped.early ? " (early)" : "");
      }
      break;
  }
  return said;
}

TEST(StagingPlan, DecidesWhatStartsNextAndWhatEachOutcomeLeadsTo) {
  using E = Event;
  struct Case {
    const char* name;
    std::vector<Event> events;
  };
  const std::string capped = " to " + std::to_string(StagingPlan::kEarlyWholeBytes);
  const Case cases[] = {
      {"an early whole download, retries too, fetches a few MiB, the rest once confirmed",
       {{E::kPlansWhole, 0, 0, "whole 0" + capped},
        {E::kFailed, 0, 0, "pause 1/3"},
        {E::kNext, 99, 100, "whole 0" + capped},
        {E::kEnded, 0, 100, "none"},
        {E::kNext, 99, 100, "none"},
        {E::kConfirm, 0},
        {E::kNext, 99, 100, "whole 0"},
        {E::kEnded, 0, 100, "verify"}}},
      {"a failure stops the early starts after it, held, running or building",
       {{E::kQueue, 0},
        {E::kQueue, 3},
        {E::kPlansWhole, 1, 0, "whole 1" + capped},
        {E::kEnded, 1, 0, "none"},
        {E::kPlansWhole, 2, 0, "whole 2" + capped},
        {E::kNext, 99, 0, "whole 0"},
        {E::kNext, 99, 0, "whole 3"},
        {E::kFail, 0, 0, "stop 1 (early) 2 (early) 3"}}},
      {"a confirmed early start goes on, and stops, like any other",
       {{E::kQueue, 0},
        {E::kPlansDelta, 1, 0, "build 1"},
        {E::kBuilding, 1},
        {E::kConfirm, 1},
        {E::kPlansWhole, 2, 0, "whole 2" + capped},
        {E::kConfirm, 2},
        {E::kEnded, 2, 0, "none"},
        {E::kNext, 99, 0, "whole 0"},
        {E::kNext, 99, 0, "whole 2"},
        {E::kFail, 0, 0, "stop 1 2"}}},
      {"an early build stops with a failure before it",
       {{E::kQueue, 0},
        {E::kPlansDelta, 1, 0, "build 1"},
        {E::kBuilding, 1},
        {E::kNext, 99, 0, "whole 0"},
        {E::kFail, 0, 0, "stop 1 (early)"}}},
      {"a plan made early that pays builds in a delta's place, its ranges first",
       {{E::kPlansDelta, 0, 0, "build 0"},
        {E::kBuilding, 0},
        {E::kQueueDelta, 1},
        {E::kQueueDelta, 2},
        {E::kNext, 0, 0, "ranges 0"},
        {E::kNext, 99, 0, "index 1"},
        {E::kNext, 99, 0, "none"},
        {E::kPlansDelta, 3, 0, "none"}}},
      {"no early start for an entry queued, while a retry pauses, or once abandoned",
       {{E::kQueue, 0},
        {E::kPlansDelta, 0, 0, "none"},
        {E::kPlansWhole, 0, 0, "none"},
        {E::kNext, 99, 0, "whole 0"},
        {E::kFailed, 0, 0, "pause 1/3"},
        {E::kPlansDelta, 1, 0, "none"},
        {E::kPlansWhole, 2, 0, "none"},
        {E::kFail, 0},
        {E::kPlansDelta, 3, 0, "none"}}},
      {"an early whole download waits for a transfer with room; a build does not",
       {{E::kPlansWholeBusy, 0, 0, "none"},
        {E::kPlansWhole, 0, 0, "whole 0" + capped},
        {E::kQueue, 1},
        {E::kPlansWholeBusy, 2, 0, "none"},
        {E::kPlansDelta, 2, 0, "build 2"}}},
      {"a start the runner could not make waits for the check, its place freed",
       {{E::kPlansDelta, 0, 0, "build 0"},
        {E::kPlansDelta, 1, 0, "build 1"},
        {E::kNotStarted, 0},
        {E::kNotStarted, 1},
        {E::kQueueDelta, 2},
        {E::kQueueDelta, 3},
        {E::kNext, 99, 0, "index 2"},
        {E::kNext, 99, 0, "index 3"},
        {E::kPlansWhole, 0, 0, "whole 0" + capped},
        {E::kNotStarted, 0},
        {E::kPlansDelta, 1, 0, "none"}}},
      {"an early build confirmed is verified as a delta: a mismatch downloads it whole",
       {{E::kPlansDelta, 0, 0, "build 0"},
        {E::kBuilding, 0},
        {E::kConfirm, 0},
        {E::kBuilt, 0},
        {E::kMismatched, 0, 0, "retry"},
        {E::kNext, 99, 0, "whole 0"},
        {E::kEnded, 0, 0, "verify"},
        {E::kMismatched, 0, 0, "reject"}}},
      {"a build that gave way leaves a prefix: its whole download may restart once",
       {{E::kQueueDelta, 0},
        {E::kNext, 99, 0, "index 0"},
        {E::kBuilding, 0},
        {E::kFellBack, 0},
        {E::kNext, 99, 0, "whole 0"},
        {E::kEnded, 0, 0, "verify"},
        {E::kMismatched, 0, 0, "retry"},
        {E::kNext, 99, 0, "whole 0"},
        {E::kEnded, 0, 0, "verify"},
        {E::kMismatched, 0, 0, "reject"}}},
      {"an early download that paused goes on uncapped once confirmed",
       {{E::kPlansWhole, 0, 0, "whole 0" + capped},
        {E::kFailed, 0, 0, "pause 1/3"},
        {E::kNext, 99, 100, "whole 0" + capped},
        {E::kFailed, 0, 100, "pause 2/3"},
        {E::kConfirm, 0},
        {E::kNext, 99, 200, "whole 0"},
        {E::kFailed, 0, 200, "give up 3/3"},
        {E::kMismatched, 0, 0, "reject"}}},
      {"entries start in entry order",
       {{E::kQueue, 0},
        {E::kQueue, 1},
        {E::kNext, 99, 0, "whole 0"},
        {E::kNext, 99, 0, "whole 1"},
        {E::kNext, 99, 0, "none"}}},
      {"a pause holds back new starts until its retry completes",
       {{E::kQueue, 0},
        {E::kQueue, 1},
        {E::kNext, 99, 0, "whole 0"},
        {E::kFailed, 0, 0, "pause 1/3"},
        {E::kNext, 99, 99, "none"},
        {E::kNext, 99, 100, "whole 0"},
        {E::kNext, 99, 100, "none"},
        {E::kEnded, 0, 150, "verify"},
        {E::kNext, 99, 150, "whole 1"}}},
      {"the last attempt gives up, and new starts wait for the outcome",
       {{E::kQueue, 0},
        {E::kQueue, 1},
        {E::kNext, 99, 0, "whole 0"},
        {E::kFailed, 0, 0, "pause 1/3"},
        {E::kNext, 99, 100, "whole 0"},
        {E::kFailed, 0, 100, "pause 2/3"},
        {E::kNext, 99, 200, "whole 0"},
        {E::kFailed, 0, 200, "give up 3/3"},
        {E::kNext, 99, 900, "none"},
        {E::kVerified, 0, 0, "commit"},
        {E::kDownloaded, 0},
        {E::kNext, 99, 900, "whole 1"}}},
      {"of several failing entries only the oldest retries",
       {{E::kQueue, 0},
        {E::kQueue, 1},
        {E::kNext, 99, 0, "whole 0"},
        {E::kNext, 99, 0, "whole 1"},
        {E::kFailed, 1, 0, "pause 1/3"},
        {E::kFailed, 0, 10, "pause 1/3"},
        {E::kNext, 99, 100, "none"},
        {E::kNext, 99, 110, "whole 0"},
        {E::kNext, 99, 110, "none"},
        {E::kEnded, 0, 120, "verify"},
        {E::kNext, 99, 120, "whole 1"}}},
      {"an older entry checked during a pause takes the retry's turn",
       {{E::kQueue, 1},
        {E::kNext, 99, 0, "whole 1"},
        {E::kFailed, 1, 0, "pause 1/3"},
        {E::kQueue, 0},
        {E::kNext, 99, 50, "none"},
        {E::kNext, 99, 100, "whole 0"},
        {E::kNext, 99, 100, "none"},
        {E::kFailed, 0, 100, "pause 1/3"},
        {E::kNext, 99, 200, "whole 0"}}},
      {"two deltas at most are under way; plain entries pass the third",
       {{E::kQueueDelta, 0},
        {E::kQueueDelta, 1},
        {E::kQueueDelta, 2},
        {E::kQueue, 3},
        {E::kNext, 99, 0, "index 0"},
        {E::kNext, 99, 0, "index 1"},
        {E::kNext, 99, 0, "whole 3"},
        {E::kNext, 99, 0, "none"},
        {E::kFellBack, 0},
        {E::kNext, 99, 0, "whole 0"},
        {E::kNext, 99, 0, "index 2"}}},
      {"patches and copies count among the routes under way and fall back like builds",
       {{E::kQueueDelta, 0},
        {E::kQueueDelta, 1},
        {E::kQueueDelta, 2},
        {E::kNext, 99, 0, "index 0"},
        {E::kNext, 99, 0, "index 1"},
        {E::kApplying, 0},
        {E::kApplying, 1},
        {E::kNext, 99, 0, "apply 0"},
        {E::kNext, 99, 0, "apply 1"},
        {E::kNext, 99, 0, "none"},
        {E::kBuilt, 0},
        {E::kNext, 99, 0, "index 2"},
        {E::kFellBack, 1},
        {E::kNext, 99, 0, "whole 1"}}},
      {"a patch's range waits for the entries that start meanwhile, to share its request",
       {{E::kQueueDelta, 0},
        {E::kQueueDelta, 1},
        {E::kNext, 99, 0, "index 0"},
        {E::kApplying, 0},
        {E::kNext, 0, 0, "apply 0"},
        {E::kNext, 0, 0, "index 1"},
        {E::kNext, 0, 0, "ranges 0"}}},
      {"the ranges of a delta build go before queued entries",
       {{E::kQueueDelta, 0},
        {E::kQueue, 1},
        {E::kNext, 99, 0, "index 0"},
        {E::kBuilding, 0},
        {E::kNext, 0, 0, "ranges 0"},
        {E::kNext, 99, 0, "whole 1"}}},
      {"a delta build that does not match is downloaded whole once",
       {{E::kQueueDelta, 0},
        {E::kNext, 99, 0, "index 0"},
        {E::kBuilding, 0},
        {E::kBuilt, 0},
        {E::kMismatched, 0, 0, "retry"},
        {E::kNext, 0, 0, "whole 0"},
        {E::kEnded, 0, 0, "verify"},
        {E::kMismatched, 0, 0, "reject"}}},
      {"a failure stops what runs after it and drops what waits",
       {{E::kQueue, 0},
        {E::kQueue, 1},
        {E::kQueue, 2},
        {E::kQueue, 3},
        {E::kNext, 99, 0, "whole 0"},
        {E::kNext, 99, 0, "whole 1"},
        {E::kNext, 99, 0, "whole 2"},
        {E::kFail, 1, 0, "stop 2"},
        {E::kNext, 99, 0, "none"},
        {E::kEnded, 0, 0, "verify"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StagingPlan plan(4, 3, 100);
    for (std::size_t step = 0; step < c.events.size(); ++step) {
      EXPECT_EQ(feed(plan, c.events[step]), c.events[step].expected) << "event " << step;
    }
  }
}

}  // namespace
