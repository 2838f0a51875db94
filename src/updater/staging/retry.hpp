#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "common/errors.hpp"
#include "updater/plan/retry_gate.hpp"

namespace updater {

// The failure reports of one run's transfers, on standard error. The first
// failure that an untrusted server certificate causes is followed by one hint
// on how to trust a private CA; the run's later ones are not.
class FailureReporter {
 public:
  // Reports the failed attempt number `failures` of at most `maxAttempts`: an
  // empty line (which ends a progress line), then "error: MESSAGE. retrying
  // (N/MAX)", or "giving up" for the last attempt.
  void report(const common::CurlError& error, std::int64_t failures, std::int64_t maxAttempts);

 private:
  bool hinted_ = false;
};

// Runs `attempt` until it completes without a CurlError, at most `maxAttempts`
// times with `delaySeconds` of sleep in between, reporting each failure through
// `reporter`. Returns nothing once an attempt completed, else the last
// attempt's error. Errors of other kinds pass through.
std::optional<common::CurlError> runWithRetries(const std::function<void()>& attempt,
                                                std::int64_t maxAttempts, std::int64_t delaySeconds,
                                                FailureReporter& reporter);

}  // namespace updater
