#pragma once

#include <string>

#include "crypto/sha3_batch.hpp"
#include "http/curl_library.hpp"
#include "updater/trust.hpp"

namespace cli {

// `update`: brings the working directory up to the signed catalog that
// the source descriptor points at, accepting only a descriptor key among
// `trustedKeys`; its requests go through `curl`. HTTPS trusts "curl-ca-bundle.crt" in the working
// directory, else `environmentCaBundle` (http::environmentCaBundle()) when it is not empty, else
// libcurl's default store. A catalog whose signature does not verify is asked
// for once more with its signature, past any cache, before it is refused. A
// signed catalog that updater::ReleaseGuard refuses changes nothing. In a directory that the user
// may not write nothing is written: the run only checks, and returns 1 after an error line naming
// the directory when an update is due. Returns 0, or -1 on a reported failure; throws
// common::ExitRequest(255) on a key or digest mismatch, and CurlError "URL: MESSAGE" with the last
// failure when every attempt at the signature failed.
int updateCommand(bool verbose, const updater::TrustedKeys& trustedKeys, const http::CurlApi& curl,
                  const std::string& environmentCaBundle, crypto::Sha3Lanes lanes);

}  // namespace cli
