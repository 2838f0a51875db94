#pragma once

#include <string>

#include "crypto/lane_width.hpp"
#include "http/curl_library.hpp"
#include "updater/run/trust.hpp"

namespace updater {

// What every request of a run takes from the process, read once at start-up:
// libcurl's functions, and the CA bundle that the environment names.
struct Network {
  const http::CurlApi& curl;
  std::string environmentCaBundle;
};

// Loads libcurl (http::loadCurlLibrary) and takes the CA bundle that
// `curlCaBundle` (CURL_CA_BUNDLE) or else `sslCertFile` (SSL_CERT_FILE) names,
// as the curl tool reads them (http::environmentCaBundle). Throws what
// http::loadCurlLibrary throws.
Network loadNetwork(const char* curlCaBundle, const char* sslCertFile);

// What one update takes: whether it says more (-v), the publisher keys built
// in, the network, and how many files are hashed at a time.
struct UpdateInputs {
  bool verbose = false;
  const TrustedKeys& trustedKeys;
  const Network& network;
  crypto::LaneWidth lanes = crypto::LaneWidth::kOne;
};

// `update`: brings the working directory up to the signed catalog that the
// source descriptor points at, accepting only a descriptor key among
// `inputs.trustedKeys`. HTTPS trusts "curl-ca-bundle.crt" in the working
// directory, else the environment's CA bundle when there is one, else
// libcurl's default store. A catalog whose signature does not verify is asked
// for once more with its signature, past any cache, before it is refused. A
// signed catalog that ReleaseGuard refuses changes nothing. In a directory that
// the user may not write nothing is written: the run only checks, and returns
// 1 after an error line naming the directory when an update is due. Returns 0,
// or -1 on a reported failure; throws common::ExitRequest(255) on a key or
// digest mismatch, and CurlError "URL: MESSAGE" with the last failure when
// every attempt at the signature failed.
int runUpdate(const UpdateInputs& inputs);

}  // namespace updater
