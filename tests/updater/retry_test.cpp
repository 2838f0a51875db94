#include "updater/staging/retry.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "captured_output.hpp"
#include "common/errors.hpp"
#include "common/system.hpp"

namespace {

using updater_testing::CapturedOutput;

std::string report(int failures, int maxAttempts, const char* word) {
  return "\nerror: http code 404. " + std::string(word) + " (" + std::to_string(failures) + "/" +
         std::to_string(maxAttempts) + ")\n";
}

TEST(Retry, ReportsEachFailureAndPausesBetweenAttempts) {
  struct Case {
    const char* name;
    int failuresBeforeSuccess;
    std::string expectedFailure;  // "" once an attempt completed
    int expectedAttempts;
    std::string expectedErr;
    std::vector<std::int64_t> expectedSleeps;
  };
  const std::vector<Case> cases = {
      {"first attempt succeeds", 0, "", 1, "", {}},
      {"three failures, then success",
       3,
       "",
       4,
       report(1, 10, "retrying") + report(2, 10, "retrying") + report(3, 10, "retrying"),
       {5000, 5000, 5000}},
      {"success at the last attempt", 9, "", 10,
       [] {
         std::string text;
         for (int i = 1; i <= 9; ++i) {
           text += report(i, 10, "retrying");
         }
         return text;
       }(),
       std::vector<std::int64_t>(9, 5000)},
      {"every attempt fails", 1000, "http code 404", 10,
       [] {
         std::string text;
         for (int i = 1; i <= 9; ++i) {
           text += report(i, 10, "retrying");
         }
         return text + report(10, 10, "giving up");
       }(),
       std::vector<std::int64_t>(9, 5000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::int64_t> sleeps;
    const common::ScopedSleepOverride noWait([&sleeps](std::int64_t ms) { sleeps.push_back(ms); });
    int attempts = 0;
    updater::FailureReporter reporter;
    CapturedOutput capture;
    const std::optional<common::CurlError> failure = updater::runWithRetries(
        [&] {
          if (attempts++ < c.failuresBeforeSuccess) {
            throw common::CurlError("http code 404");
          }
        },
        10, 5, reporter);
    const auto output = capture.finish();
    EXPECT_EQ(failure ? failure->message() : "", c.expectedFailure);
    EXPECT_EQ(attempts, c.expectedAttempts);
    EXPECT_EQ(output.err, c.expectedErr);
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(sleeps, c.expectedSleeps);
  }
}

TEST(Retry, UsesTheGivenAttemptsAndPause) {
  std::vector<std::int64_t> sleeps;
  const common::ScopedSleepOverride noWait([&sleeps](std::int64_t ms) { sleeps.push_back(ms); });
  int attempts = 0;
  updater::FailureReporter reporter;
  CapturedOutput capture;
  updater::runWithRetries(
      [&attempts] {
        if (++attempts < 3) {
          throw common::CurlError("http://h/a: Couldn't connect to server");
        }
      },
      4, 2, reporter);
  const auto output = capture.finish();
  EXPECT_EQ(attempts, 3);
  EXPECT_EQ(output.err,
            "\nerror: http://h/a: Couldn't connect to server. retrying (1/4)\n"
            "\nerror: http://h/a: Couldn't connect to server. retrying (2/4)\n");
  EXPECT_EQ(sleeps, (std::vector<std::int64_t>{2000, 2000}));
}

TEST(Retry, OtherErrorsPassThroughAtOnceWithoutReportOrPause) {
  int sleeps = 0;
  const common::ScopedSleepOverride noWait([&sleeps](std::int64_t) { ++sleeps; });
  int attempts = 0;
  updater::FailureReporter reporter;
  CapturedOutput capture;
  // IOError is the base of CurlError, so it must not be caught either.
  EXPECT_THROW(updater::runWithRetries(
                   [&attempts] {
                     ++attempts;
                     throw common::IOError("cannot write string to file");
                   },
                   10, 5, reporter),
               common::IOError);
  EXPECT_THROW(updater::runWithRetries([] { throw common::ValueError("bad"); }, 10, 5, reporter),
               common::ValueError);
  const auto output = capture.finish();
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(sleeps, 0);
  EXPECT_EQ(output.err, "");
}

TEST(Retry, TheFirstUntrustedCertificateOfARunAddsOneHint) {
  const common::ScopedSleepOverride noWait([](std::int64_t) {});
  const common::CurlError untrusted("untrusted", common::CurlError::Cause::kUntrustedCertificate);
  updater::FailureReporter reporter;
  CapturedOutput capture;
  // Two transfers of one run, such as the catalog and its signature.
  updater::runWithRetries([&] { throw untrusted; }, 1, 5, reporter);
  updater::runWithRetries([&] { throw untrusted; }, 1, 5, reporter);
  EXPECT_EQ(capture.finish().err,
            "\nerror: untrusted. giving up (1/1)\n"
            "hint: to trust a private CA, put its certificate in curl-ca-bundle.crt in this "
            "directory, or set CURL_CA_BUNDLE or SSL_CERT_FILE to a file that holds it\n"
            "\nerror: untrusted. giving up (1/1)\n");
}

}  // namespace
