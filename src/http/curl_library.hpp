#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace http {

// The file names under which libcurl is looked for, in this order; the first that
// loads wins.
inline constexpr std::array<std::string_view, 2> kCurlLibraryNames = {"libcurl.so", "libcurl.so.4"};

// The candidates as one pattern for messages: their common prefix, then the
// different endings in parentheses ("libcurl.so(|.4)").
std::string libraryNamePattern(std::span<const std::string_view> names);

// Opens the first of `names` that the dynamic loader can load (RTLD_NOW) and binds
// every libcurl function the program uses, each symbol checked, into a table
// (defined in http/curl_api.hpp, which only the HTTP layer includes) that stays
// valid for the life of the process; a ConnectionPool is given it. On failure
// writes "could not load: PATTERN" and a hint, or "could not import: SYMBOL",
// to standard error and throws common::ExitRequest(1).
struct CurlApi;
const CurlApi& loadCurlLibrary(std::span<const std::string_view> names = kCurlLibraryNames);

}  // namespace http
