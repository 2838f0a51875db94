#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace bench {

// When the bytes of one direction of a TCP connection may leave under slow start
// without loss: an initial window of 10 segments of 1448 bytes, which grows by
// what each round trip carried when that was more than half of it (doubled
// when it was used up). A connection keeps its window for as
// long as it lives (Linux resets it only after an idle retransmission timeout).
class SlowStartPacer {
 public:
  using Time = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  static constexpr std::uint64_t kInitialWindow = 10 * 1448;

  // Bytes that may leave at `departure`.
  struct Piece {
    Time departure;
    std::size_t bytes;
    bool operator==(const Piece&) const = default;
  };

  explicit SlowStartPacer(Duration rtt) : rtt_(rtt) {}

  // Splits `bytes` that the sender has ready at `ready` (never earlier than at the
  // previous call) into pieces in order, each with the time it may leave.
  std::vector<Piece> schedule(Time ready, std::size_t bytes);

 private:
  // The round that ends carried `carried` bytes.
  void grow(std::uint64_t carried);

  Duration rtt_;
  std::uint64_t window_ = kInitialWindow;
  std::optional<Time> roundStart_;  // unset until the first bytes
  std::uint64_t left_ = 0;          // of the window in the current round
};

}  // namespace bench
