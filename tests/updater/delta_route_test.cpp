#include "updater/route/delta_route.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "compress/zstd_codec.hpp"
#include "crypto/sha3.hpp"
#include "delta/block_index.hpp"
#include "formats/release_description.hpp"
#include "support/temp_dir.hpp"
#include "updater/published_tree.hpp"

namespace {

using http::DownloadSet;
using testing_support::randomBytes;
using testing_support::readFile;
using testing_support::writeFile;
using updater::Transfer;

// The network as the route sees it: fetches are recorded and answered by the
// test; jobs run at once, their steps when the test says.
class FakeSource : public updater::TransferSource {
 public:
  void fetch(const Transfer& transfer, const common::Uri&,
             std::optional<DownloadSet::ByteRange> range, std::size_t, std::size_t) override {
    started.push_back(transfer);
    if (range && transfer.ranges.empty()) {
      started.back().ranges = {*range};
    }
  }
  void fetchRanges(const Transfer& transfer, const common::Uri&) override {
    started.push_back(transfer);
  }
  void cancel(std::size_t, std::initializer_list<Transfer::Kind> kinds) override {
    for (const Transfer::Kind kind : kinds) {
      std::erase_if(started, [kind](const Transfer& t) { return t.kind == kind; });
    }
  }
  void post(std::function<std::function<void()>()> job) override { steps.push_back(job()); }
  void runSteps() {
    while (!steps.empty()) {
      const auto step = std::move(steps.front());
      steps.pop_front();
      step();
    }
  }

  std::vector<Transfer> started;  // and not yet answered or cancelled
  std::deque<std::function<void()>> steps;
};

DownloadSet::Finished answer(std::string body, bool complete = true) {
  DownloadSet::Finished end;
  end.result = complete ? DownloadSet::Finished::Result::kComplete
                        : DownloadSet::Finished::Result::kTransferFailed;
  (complete ? end.body : end.message) = std::move(body);
  return end;
}

// Takes the events of `route` and puts the last that matters into `said`:
// "whole: REASON", "built" (or "wrong digest" when not `newBytes`), "plans
// whole: REASON" or "plans the build". `building` counts the Building events.
void takeEvents(updater::DeltaRoute& route, const std::string& newBytes, std::string& said,
                int* building = nullptr) {
  using updater::RouteEvent;
  while (const std::optional<RouteEvent> event = route.takeEvent()) {
    EXPECT_EQ(event->entry, 0U);
    if (const auto* fellBack = std::get_if<RouteEvent::FellBack>(&event->what)) {
      said = "whole: " + fellBack->reason;
    } else if (const auto* built = std::get_if<RouteEvent::Built>(&event->what)) {
      said = built->digest == crypto::sha3Hex(newBytes) ? "built" : "wrong digest";
    } else if (const auto* planned = std::get_if<RouteEvent::Planned>(&event->what)) {
      said = planned->whyWhole ? "plans whole: " + *planned->whyWhole : "plans the build";
    } else if (building != nullptr && std::holds_alternative<RouteEvent::Building>(event->what)) {
      ++*building;
    }
  }
}

// Runs the build of entry 0 until the route has `said` something (with
// `untilSaid`) or nothing is left to do, answering its ranges from `newBytes`
// as `how` says: in order, reversed, short, long, failed; or, for several
// ranges, one part only or none (the server cannot serve them). Returns the
// requests for more than one.
std::size_t serveRanges(FakeSource& source, updater::DeltaRoute& route, const std::string& newBytes,
                        const std::string& how, std::string& said, bool untilSaid = true) {
  std::size_t severalAsked = 0;
  for (int turn = 0; (said.empty() || !untilSaid) && turn < 100; ++turn) {
    source.runSteps();
    takeEvents(route, newBytes, said);
    while (route.rangeDue(0)) {
      route.startRange(0);
    }
    if (how == "reversed") {
      std::ranges::reverse(source.started);
    }
    const std::vector<Transfer> requests = std::exchange(source.started, {});
    for (const Transfer& request : requests) {
      std::vector<std::string> bodies;
      for (const http::ByteRange& range : request.ranges) {
        bodies.push_back(newBytes.substr(static_cast<std::size_t>(range.first),
                                         static_cast<std::size_t>(range.length)));
        if (how == "short" || how == "long") {
          bodies.back().resize(bodies.back().size() + (how == "long" ? 1 : -1), 'x');
        }
      }
      auto end = how == "failed" ? answer("http code 503", false) : answer("");
      if (request.ranges.size() == 1) {
        end.body = std::move(bodies.front());
      } else {
        ++severalAsked;
        bodies.resize(how == "one part" ? 1 : how == "no part" ? 0 : bodies.size());
        end.ranges = std::move(bodies);
      }
      route.ended(request, end);
      takeEvents(route, newBytes, said);
    }
  }
  return severalAsked;
}

TEST(DeltaRoute, BuildsFromTheOldCopyOrGivesWayWithItsReason) {
  const testing_support::TempDir dir;
  // Three edits of an old file: three ranges to fetch, all in one window.
  const std::string oldBytes = randomBytes(std::size_t{2} << 20, 1);
  std::string newBytes = oldBytes;
  for (const std::size_t at : {300000U, 1000000U, 1800000U}) {
    newBytes.replace(at, 30000, randomBytes(30000, static_cast<std::uint32_t>(at)));
  }
  writeFile(dir / "new", newBytes);
  const std::string index = delta::blockIndexOfFile(dir / "new", crypto::LaneWidth::kOne);
  // The first range: the blocks that the first edit touches.
  const std::int64_t block = delta::layoutForSize(std::ssize(newBytes)).blockSize;
  const std::int64_t firstRange = ((300000 + 30000 - 1) / block - 300000 / block + 1) * block;
  const auto answeredWith = [firstRange](std::int64_t bytes) {
    return "whole: a range request failed (" + std::to_string(bytes) + " bytes for " +
           std::to_string(firstRange) + ")";
  };
  // An old copy that holds 3% of the new file: too little to pay for a delta.
  const std::string unrelated = newBytes.substr(0, 65536) + randomBytes(std::size_t{2} << 20, 9);
  // One large enough to be sampled, which spares the full scan.
  const std::string unrelatedLarge = unrelated + randomBytes(std::size_t{4} << 20, 8);
  struct Case {
    const char* name;
    std::string index;        // "" for none: a 404
    const char* ranges;       // how requests are answered (serveRanges)
    std::size_t stagedBytes;  // of the new file, staged by an earlier run
    std::string expected;     // the start of what the route says
    const std::string* old = nullptr;
  };
  const Case cases[] = {
      {"ranges in order", index, "in order", 0, "built"},
      {"ranges out of order", index, "reversed", 0, "built"},
      {"a build resumed", index, "in order", 1200000, "built"},
      {"one part of several", index, "one part", 0, "built"},
      {"no part of several", index, "no part", 0, "built"},
      {"a range answered short", index, "short", 0, answeredWith(firstRange - 1)},
      {"a range answered long", index, "long", 0, answeredWith(firstRange + 1)},
      {"a range failed", index, "failed", 0, "whole: a range request failed (http code 503)"},
      {"no index", "", "", 0, "whole: no block index from the server (http code 404)"},
      {"a malformed index", "not an index", "", 0, "whole: the delta cannot be planned ("},
      {"little reused", index, "in order", 0, "whole: the old copy holds too little of it",
       &unrelated},
      {"little reused, by a sample", index, "in order", 0,
       "whole: the old copy holds too little of it (about", &unrelatedLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "old", c.old != nullptr ? *c.old : oldBytes);
    writeFile(dir / "old.pending", newBytes.substr(0, c.stagedBytes));
    FakeSource source;
    std::string said;
    updater::DeltaRoute route(source);
    route.begin(0, {common::Uri{}, common::Uri{}, {dir / "old", dir / "old.pending"}});
    ASSERT_EQ(source.started.size(), 1U);
    auto indexEnd = c.index.empty() ? answer("http code 404", false) : answer(c.index);
    route.ended(source.started[0], indexEnd);
    source.started.clear();
    takeEvents(route, newBytes, said);
    const std::size_t severalAsked = serveRanges(source, route, newBytes, c.ranges, said);
    // Several ranges share a request, until an answer shows that the server
    // cannot serve them so.
    if (c.expected == "built" && c.stagedBytes == 0) {
      EXPECT_EQ(severalAsked, 1U);
    }
    source.runSteps();
    takeEvents(route, newBytes, said);
    EXPECT_TRUE(said.starts_with(c.expected)) << said;
    if (c.expected == "built") {
      EXPECT_EQ(readFile(dir / "old.pending"), newBytes);
    }
  }
}

// While a large target is hashed, what its index's header and the index show
// is returned as a plan: the build it may start is told of only once the check
// finds the target out of date; or the file must come whole.
TEST(DeltaRoute, PlansEarlyAndTellsOfTheBuildOnlyOnceTheCheckEnds) {
  const testing_support::TempDir dir;
  const auto size = static_cast<std::size_t>(updater::DeltaRoute::kProbedTargetBytes);
  const std::string oldBytes = randomBytes(size, 2);
  const std::string newBytes = oldBytes.substr(0, 5000000) + randomBytes(70000, 3) +
                               oldBytes.substr(5000000);  // another size
  const std::string unrelated = randomBytes(size, 4);
  writeFile(dir / "new", newBytes);
  const std::string index = delta::blockIndexOfFile(dir / "new", crypto::LaneWidth::kOne);
  // The probe finds where the index is in the client directory's descriptor.
  updater_testing::writeSourceDescriptor(dir.path(), "http://127.0.0.1:1/");
  const testing_support::ScopedWorkingDirectory cwd(dir.path());
  struct Case {
    const char* name;
    const std::string* old;
    const char* ranges;
    const char* planned;   // what the route says once the index is in
    const char* expected;  // and once the check has found the target out of date
  };
  for (const Case& c :
       {Case{"built", &oldBytes, "in order", "plans the build", "built"},
        Case{"falls back meanwhile", &oldBytes, "failed", "plans the build",
             "whole: a range request failed"},
        Case{"comes whole", &unrelated, "", "plans whole: the old copy holds too little", ""}}) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "old", *c.old);
    std::filesystem::remove(dir / "old.pending");  // an early start is only where none is
    FakeSource source;
    updater::DeltaRoute route(source);
    // The index comes in two ranges: the probe's, then the rest.
    route.probe(0, "old", crypto::sha3Hex(newBytes));
    for (int part = 0; part < 2; ++part) {
      ASSERT_EQ(source.started.size(), 1U);
      const Transfer asked = std::exchange(source.started, {}).front();
      ASSERT_EQ(asked.ranges.size(), 1U);
      auto end = answer(index.substr(static_cast<std::size_t>(asked.ranges[0].first),
                                     static_cast<std::size_t>(asked.ranges[0].length)));
      route.ended(asked, end);
    }
    source.runSteps();
    std::string said;
    takeEvents(route, newBytes, said);
    EXPECT_TRUE(said.starts_with(c.planned)) << said;
    if (*c.expected == '\0') {
      continue;
    }
    // The run's plan lets it start: nothing but its build is told before the check ends.
    route.buildEarly(0, {common::Uri{}, common::Uri{}, {dir / "old", dir / "old.pending"}});
    said.clear();
    int building = 0;
    takeEvents(route, newBytes, said, &building);
    EXPECT_EQ(building, 1);
    serveRanges(source, route, newBytes, c.ranges, said, false);
    EXPECT_EQ(said, "");
    route.confirm(0);
    takeEvents(route, newBytes, said);
    EXPECT_TRUE(said.starts_with(c.expected)) << said;
  }
}

// Once kDescribedAlone entries are found out of date, the next to begin asks
// for the release description: with it in hand, a new file comes by its copy.
TEST(DeltaRoute, TakesTheReleaseDescriptionOnceManyAskAndANewFileByItsCopy) {
  const testing_support::TempDir dir;
  const std::string newBytes = randomBytes(5000, 5) + std::string(5000, 'a');
  const std::string digest = crypto::sha3Hex(newBytes);
  const std::string copy = compress::makePatch(
      {}, {reinterpret_cast<const std::uint8_t*>(newBytes.data()), newBytes.size()});
  formats::ReleaseDescription release;
  release.versions[digest.substr(0, 16)] = {{std::ssize(newBytes), std::ssize(copy), {}}, {}};
  const std::string text = formats::describeRelease(release);
  FakeSource source;
  updater::DeltaRoute route(source, crypto::LaneWidth::kOne, {"catalog", 100});
  const auto files = [&] {
    return updater::DeltaRoute::Files{
        common::Uri{}, common::Uri{}, {dir / "new", dir / "new.pending"}, digest};
  };
  const std::size_t alone = updater::PublisherOffer::kDescribedAlone - 1;
  for (std::size_t entry = 0; entry <= alone; ++entry) {
    route.offer().foundOutOfDate();
    route.begin(entry, files(), updater::DeltaRoute::Target{std::string(64, 'b'), 2000});
  }
  ASSERT_EQ(source.started.back().kind, Transfer::Kind::kRelease);
  EXPECT_EQ(std::ranges::count(source.started, Transfer::Kind::kDescription, &Transfer::kind),
            alone);
  EXPECT_EQ(route.offer().newFileRoute(digest), formats::kMinimumDescribedBytes);
  auto end = answer(
      compress::makePatch({}, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
  route.ended(source.started.back(), end);
  source.runSteps();
  ASSERT_EQ(route.offer().newFileRoute(digest), std::ssize(newBytes));
  // The new file: no target.
  route.begin(99, files(), updater::DeltaRoute::Target{});
  std::optional<updater::RouteEvent> event;
  while ((event = route.takeEvent()) && event->entry != 99) {
  }
  ASSERT_TRUE(event && std::holds_alternative<updater::RouteEvent::Applying>(event->what));
  route.apply(99);
  ASSERT_EQ(source.started.back().kind, Transfer::Kind::kFrame);
  auto frame = answer(copy);
  route.ended(source.started.back(), frame);
  source.runSteps();
  while ((event = route.takeEvent()) && event->entry != 99) {
  }
  ASSERT_TRUE(event && std::holds_alternative<updater::RouteEvent::Built>(event->what));
  EXPECT_EQ(readFile(dir / "new.pending"), newBytes);
}

}  // namespace
