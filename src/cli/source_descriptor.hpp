#pragma once

#include <string>
#include <string_view>

#include "common/uri.hpp"

namespace cli {

inline constexpr const char* kSourceFileName = "updater-source.json";

// The `make-source-json` command body: writes updater-source.json with the key
// file's public key and `url`; returns 0.
int makeSourceJsonCommand(const std::string& url);

// The "public_key" text of updater-source.json, read anew at each call.
// Throws IOError, JsonParsingError, AssertionDefect or KeyError.
std::string readSourcePublicKey();

// The URL of `name` below the descriptor's "url", read anew at each call; the
// base URL's query and fragment follow the new path. The path is not yet
// percent-encoded; `name` stays one piece of path even when it holds "?" or "#".
common::Uri remoteUrl(std::string_view name);

}  // namespace cli
