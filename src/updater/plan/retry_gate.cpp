#include "updater/plan/retry_gate.hpp"

namespace updater {

void RetryGate::paused(std::size_t index, std::int64_t retryAt) {
  recovering_.insert(index);
  paused_.insert_or_assign(index, retryAt);
}

std::optional<std::size_t> RetryGate::takeDue(std::int64_t now) {
  const std::optional<std::int64_t> at = nextRetry();
  if (!at || *at > now) {
    return std::nullopt;
  }
  const std::size_t index = *recovering_.begin();
  paused_.erase(index);
  return index;
}

std::optional<std::int64_t> RetryGate::nextRetry() const {
  // Only the oldest retries: while it runs, the others wait for its outcome.
  if (recovering_.empty()) {
    return std::nullopt;
  }
  const auto found = paused_.find(*recovering_.begin());
  if (found == paused_.end()) {
    return std::nullopt;
  }
  return found->second;
}

void RetryGate::recovered(std::size_t index) {
  recovering_.erase(index);
  paused_.erase(index);
}

}  // namespace updater
