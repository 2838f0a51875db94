#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

namespace updater {

// The policy of every transfer of the update client.
inline constexpr std::int64_t kTransferAttempts = 10;
inline constexpr std::int64_t kTransferDelaySeconds = 5;

// The attempts of one transfer: each failure spends one, and the transfer is
// given up when none is left.
class RetryBudget {
 public:
  explicit RetryBudget(std::int64_t maxAttempts = kTransferAttempts) : maxAttempts_(maxAttempts) {}

  // Counts a failed attempt; true while another attempt is allowed.
  bool spend() { return ++failures_ < maxAttempts_; }
  std::int64_t failures() const { return failures_; }
  std::int64_t maxAttempts() const { return maxAttempts_; }

 private:
  std::int64_t maxAttempts_;
  std::int64_t failures_ = 0;
};

// The retries of the transfers of one run, by request index. A failed transfer
// makes it likely that the server is down: while any request is recovering (its
// pause or its retry not over yet), no new request starts and only the oldest
// recovering one retries, so a failing server costs about the attempts and lines
// of one transfer, however many requests wait behind it.
class RetryGate {
 public:
  // An attempt of `index` failed; it may retry at `retryAt`.
  void paused(std::size_t index, std::int64_t retryAt);
  // The request that retries at `now`, if any; it stays recovering.
  std::optional<std::size_t> takeDue(std::int64_t now);
  // When takeDue will next return a request, if it ever will without an event.
  std::optional<std::int64_t> nextRetry() const;
  // An attempt of `index` completed, or the request settled or was given up.
  void recovered(std::size_t index);
  // Whether a request that has not failed yet may start now.
  bool opensNewStarts() const { return recovering_.empty(); }

 private:
  std::set<std::size_t> recovering_;
  std::map<std::size_t, std::int64_t> paused_;  // retry deadlines, a subset of recovering_
};

}  // namespace updater
