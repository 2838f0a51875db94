#pragma once

#include <string>
#include <string_view>

#include "common/uri.hpp"

namespace formats {

// Writes the source descriptor in the working directory: `publicKey` (Base64
// text) and the base `url` of the published tree. Throws IOError.
void writeSourceDescriptor(std::string_view publicKey, std::string_view url);

// The "public_key" text of the source descriptor, read anew at each call.
// Throws IOError, JsonParsingError, AssertionDefect or KeyError.
std::string readSourcePublicKey();

// The URL of `name` below the descriptor's "url", read anew at each call (the
// file may be edited between two calls); the base URL's query and fragment
// follow the new path. The path is not yet percent-encoded; `name` stays one
// piece of path even when it holds "?" or "#". Throws as readSourcePublicKey.
common::Uri remoteUrl(std::string_view name);

// The descriptor's text, for several URLs formed from one reading. Throws IOError.
std::string readSourceDescriptor();

// What readSourcePublicKey and remoteUrl read, from the descriptor text
// `descriptor`. Throw as they do, less IOError.
std::string sourcePublicKeyIn(std::string_view descriptor);
common::Uri remoteUrlIn(std::string_view descriptor, std::string_view name);

}  // namespace formats
