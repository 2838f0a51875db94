#include "updater/delta_route.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "crypto/sha3.hpp"
#include "delta/block_index.hpp"
#include "support/temp_dir.hpp"

namespace {

using http::DownloadSet;
using testing_support::readFile;
using testing_support::writeFile;
using updater::Transfer;

// The network as the route sees it: fetches are recorded and answered by the
// test; jobs run at once, their steps when the test says.
class FakeSource : public updater::TransferSource {
 public:
  void fetch(const Transfer& transfer, const common::Uri&, std::optional<DownloadSet::ByteRange>,
             std::size_t) override {
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

std::string randomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(generator());
  }
  return bytes;
}

DownloadSet::Finished answer(std::string body, bool complete = true) {
  DownloadSet::Finished end;
  end.result = complete ? DownloadSet::Finished::Result::kComplete
                        : DownloadSet::Finished::Result::kTransferFailed;
  (complete ? end.body : end.message) = std::move(body);
  return end;
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
  const std::string index = delta::blockIndexOfFile(dir / "new");
  struct Case {
    const char* name;
    std::string index;        // "" for none: a 404
    const char* ranges;       // how they are answered: in order, reversed, short, long, failed
    std::size_t stagedBytes;  // of the new file, staged by an earlier run
    std::string expected;     // the start of what the route says
  };
  const Case cases[] = {
      {"ranges in order", index, "in order", 0, "built"},
      {"ranges out of order", index, "reversed", 0, "built"},
      {"a build resumed", index, "in order", 1200000, "built"},
      {"a range answered short", index, "short", 0, "whole: a range request failed (32767 bytes for 32768)"},
      {"a range answered long", index, "long", 0, "whole: a range request failed (32769 bytes for 32768)"},
      {"a range failed", index, "failed", 0, "whole: a range request failed (http code 503)"},
      {"no index", "", "", 0, "whole: no block index from the server (http code 404)"},
      {"a malformed index", "not an index", "", 0, "whole: the delta cannot be planned ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "old", oldBytes);
    writeFile(dir / "old.pending", newBytes.substr(0, c.stagedBytes));
    FakeSource source;
    std::string said;
    updater::DeltaRoute route(
        source, {.fellBack = [&](std::size_t, std::string reason) { said = "whole: " + reason; },
                 .building = [](std::size_t) {},
                 .built =
                     [&](std::size_t, std::string digest, std::int64_t, std::int64_t) {
                       said = digest == crypto::sha3Hex(newBytes) ? "built" : "wrong digest";
                     },
                 .threadsRanOut = [] {}});
    route.begin(0, {common::Uri{}, common::Uri{}, {dir / "old", dir / "old.pending", 0, 1}});
    ASSERT_EQ(source.started.size(), 1U);
    auto indexEnd = c.index.empty() ? answer("http code 404", false) : answer(c.index);
    route.ended(source.started[0], indexEnd);
    source.started.clear();
    for (int turn = 0; said.empty() && turn < 100; ++turn) {
      source.runSteps();
      while (route.rangeDue(0)) {
        route.startRange(0);
      }
      const std::string how = c.ranges;
      if (how == "reversed") {
        std::ranges::reverse(source.started);
      }
      const std::vector<Transfer> ranges = std::exchange(source.started, {});
      for (const Transfer& range : ranges) {
        std::string body = newBytes.substr(static_cast<std::size_t>(range.first),
                                           static_cast<std::size_t>(range.length));
        if (how == "short" || how == "long") {
          body.resize(body.size() + (how == "long" ? 1 : -1), 'x');
        }
        auto end = how == "failed" ? answer("http code 503", false) : answer(std::move(body));
        route.ended(range, end);
      }
    }
    source.runSteps();
    EXPECT_TRUE(said.starts_with(c.expected)) << said;
    if (c.expected == "built") {
      EXPECT_EQ(readFile(dir / "old.pending"), newBytes);
    }
  }
}

}  // namespace
