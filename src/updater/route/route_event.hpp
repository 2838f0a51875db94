#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace updater {

// What happened on the route of one entry (its patch, copy or delta): the route returns these as
// values, and the staging run hands each to its plan, which decides what
// follows.
struct RouteEvent {
  // Its build writes the staged file.
  struct Building {};
  // A plan made while its target is still checked: its build may start now
  // (DeltaRoute::buildEarly) or, for `whyWhole`, its whole download. Until
  // then the route keeps the plan for its begin.
  struct Planned {
    std::optional<std::string> whyWhole;
    bool threadsRanOut = false;  // its work ran on one thread
  };
  // Its patch or compressed copy is chosen: it is fetched and applied once
  // the plan has room for the `bytes` it holds in memory (DeltaRoute::apply).
  struct Applying {
    std::int64_t bytes = 0;
  };
  // Its patch could not be used, for `reason` in plain words: the delta or the
  // copy follows.
  struct PatchFailed {
    std::string reason;
  };
  // How a staged file was built; kLocal: copied from a predecessor that the
  // client holds at another path.
  enum class Way : std::uint8_t { kDelta, kPatch, kCopy, kLocal };
  // The staged file is built by `way`: its digest text, bytes reused and fetched.
  struct Built {
    std::string digest;
    std::int64_t reused = 0;
    std::int64_t fetched = 0;
    Way way = Way::kDelta;
    std::string from = {};  // kLocal: the predecessor's path
  };
  // It gave way to the whole download, for `reason` in plain words; none for
  // a new file of which the publisher said nothing, which just comes whole.
  struct FellBack {
    std::string reason;
  };
  // Ranges arrived: `fetched` of the `total` bytes its build fetches.
  struct Progress {
    std::int64_t fetched = 0;
    std::int64_t total = 0;
  };
  // A plan's work ran on one thread: no more could start.
  struct ThreadsRanOut {};

  std::size_t entry = 0;
  std::variant<Building, Planned, Applying, PatchFailed, Built, FellBack, Progress, ThreadsRanOut>
      what;
};

}  // namespace updater
