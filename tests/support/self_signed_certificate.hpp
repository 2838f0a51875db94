#pragma once

#include <string>
#include <utility>

namespace testing_support {

// A self-signed P-256 certificate for 127.0.0.1: {certificate PEM, key PEM}, or
// empty texts after a failure reported to the running test.
std::pair<std::string, std::string> makeSelfSignedCertificate();

}  // namespace testing_support
