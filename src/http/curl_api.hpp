#pragma once

// curl 7.88 marks CURLOPT_PROGRESSFUNCTION deprecated, but its double-valued
// callback is the one this program installs; the marking would fail -Werror.
#ifndef CURL_DISABLE_DEPRECATION
#define CURL_DISABLE_DEPRECATION
#endif
#include <curl/curl.h>

#include "http/curl_library.hpp"

namespace http {

// The libcurl functions, bound at start-up by loadCurlLibrary() in the order of
// the members: the easy interface first, then the multi interface that runs
// transfers side by side and keeps their connections for reuse. Only the HTTP layer includes this
// header, so no other code sees curl.h. Members are not named after the symbols because curl.h
// defines type-checking macros under some of those names.
struct CurlApi {
  decltype(&::curl_easy_init) easyInit = nullptr;
  decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&::curl_easy_setopt) easySetopt = nullptr;
  decltype(&::curl_slist_append) slistAppend = nullptr;
  decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&::curl_easy_perform) easyPerform = nullptr;
  decltype(&::curl_slist_free_all) slistFreeAll = nullptr;
  decltype(&::curl_easy_strerror) easyStrerror = nullptr;
  decltype(&::curl_multi_init) multiInit = nullptr;
  decltype(&::curl_multi_setopt) multiSetopt = nullptr;
  decltype(&::curl_multi_add_handle) multiAddHandle = nullptr;
  decltype(&::curl_multi_remove_handle) multiRemoveHandle = nullptr;
  decltype(&::curl_multi_perform) multiPerform = nullptr;
  decltype(&::curl_multi_poll) multiPoll = nullptr;
  decltype(&::curl_multi_wakeup) multiWakeup = nullptr;
  decltype(&::curl_multi_info_read) multiInfoRead = nullptr;
  decltype(&::curl_multi_strerror) multiStrerror = nullptr;
  decltype(&::curl_multi_cleanup) multiCleanup = nullptr;
};

}  // namespace http
