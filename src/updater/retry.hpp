#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "common/errors.hpp"

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

// Reports the failed attempt number `failures` of at most `maxAttempts` on
// standard error: an empty line (which ends a progress line), then "error:
// MESSAGE. retrying (N/MAX)", or "giving up" for the last attempt.
void reportTransferFailure(std::string_view message, std::int64_t failures,
                           std::int64_t maxAttempts);

// Runs `attempt` until it completes without a CurlError, at most `maxAttempts`
// times with `delaySeconds` of sleep in between. Each failure is reported on
// standard error ("error: MESSAGE. retrying (N/MAX)", the last "giving up").
// Returns nothing once an attempt completed, else the last attempt's error.
// Errors of other kinds pass through.
std::optional<common::CurlError> runWithRetries(const std::function<void()>& attempt,
                                                std::int64_t maxAttempts,
                                                std::int64_t delaySeconds);

}  // namespace updater
