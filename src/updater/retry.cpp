#include "updater/retry.hpp"

#include "common/errors.hpp"
#include "common/output.hpp"
#include "common/system.hpp"

namespace updater {

void reportTransferFailure(std::string_view message, std::int64_t failures,
                           std::int64_t maxAttempts) {
  const char* word = failures < maxAttempts ? "retrying" : "giving up";
  // The empty line ends a progress line that may still stand on the terminal.
  common::printErr("");
  common::printErr("error: " + std::string(message) + ". " + word + " (" +
                   std::to_string(failures) + "/" + std::to_string(maxAttempts) + ")");
}

std::optional<common::CurlError> runWithRetries(const std::function<void()>& attempt,
                                                std::int64_t maxAttempts,
                                                std::int64_t delaySeconds) {
  RetryBudget budget(maxAttempts);
  for (;;) {
    try {
      attempt();
      return std::nullopt;
    } catch (const common::CurlError& error) {
      // recovery point: a failed transfer is reported and tried again
      const bool again = budget.spend();
      reportTransferFailure(error.message(), budget.failures(), budget.maxAttempts());
      if (!again) {
        return error;
      }
    }
    common::sleepMilliseconds(delaySeconds * 1000);
  }
}

}  // namespace updater
