#include "updater/staging/retry.hpp"

#include "common/errors.hpp"
#include "common/output.hpp"
#include "common/system.hpp"

namespace updater {

void FailureReporter::report(const common::CurlError& error, std::int64_t failures,
                             std::int64_t maxAttempts) {
  const char* word = failures < maxAttempts ? "retrying" : "giving up";
  // The empty line ends a progress line that may still stand on the terminal.
  common::printErr("");
  common::printErr("error: " + error.message() + ". " + word + " (" + std::to_string(failures) +
                   "/" + std::to_string(maxAttempts) + ")");
  if (error.cause() == common::CurlError::Cause::kUntrustedCertificate && !hinted_) {
    hinted_ = true;
    common::printErr(
        "hint: to trust a private CA, put its certificate in curl-ca-bundle.crt in this "
        "directory, or set CURL_CA_BUNDLE or SSL_CERT_FILE to a file that holds it");
  }
}

std::optional<common::CurlError> runWithRetries(const std::function<void()>& attempt,
                                                std::int64_t maxAttempts, std::int64_t delaySeconds,
                                                FailureReporter& reporter) {
  RetryBudget budget(maxAttempts);
  for (;;) {
    try {
      attempt();
      return std::nullopt;
    } catch (const common::CurlError& error) {
      // recovery point: a failed transfer is reported and tried again
      const bool again = budget.spend();
      reporter.report(error, budget.failures(), budget.maxAttempts());
      if (!again) {
        return error;
      }
    }
    common::sleepMilliseconds(delaySeconds * 1000);
  }
}

}  // namespace updater
