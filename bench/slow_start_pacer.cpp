#include "slow_start_pacer.hpp"

#include <algorithm>

namespace bench {

std::vector<SlowStartPacer::Piece> SlowStartPacer::schedule(Time ready, std::size_t bytes) {
  std::vector<Piece> pieces;
  while (bytes > 0) {
    if (!roundStart_) {
      roundStart_ = ready;
      left_ = window_;
    } else if (ready >= *roundStart_ + rtt_) {
      // The last round has been acknowledged: a new one starts now.
      grow(window_ - left_);
      roundStart_ = ready;
      left_ = window_;
    } else if (left_ == 0) {
      // The window is used up: the next round starts when its acknowledgements come.
      *roundStart_ += rtt_;
      grow(window_);
      left_ = window_;
      ready = std::max(ready, *roundStart_);
    }
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes));
    pieces.push_back({std::max(ready, *roundStart_), count});
    left_ -= count;
    bytes -= count;
  }
  return pieces;
}

void SlowStartPacer::grow(std::uint64_t carried) {
  // As Linux in slow start: the window grows by what was acknowledged while
  // more than half of it was out, so a round that carried 9 of its 10 segments
  // grows it to 19; one that carried 5 or fewer leaves it.
  if (2 * carried <= window_) {
    return;
  }
  // Far beyond any transfer of the benchmarks; only keeps the doubling from overflowing.
  constexpr std::uint64_t kMaxWindow = std::uint64_t{1} << 40;
  window_ = std::min(window_ + carried, kMaxWindow);
}

}  // namespace bench
