#include "http/curl_library.hpp"

#include <dlfcn.h>

#include <deque>

#include "common/errors.hpp"
#include "common/output.hpp"
#include "http/curl_api.hpp"

namespace http {
namespace {

void* openFirstLibrary(std::span<const std::string_view> names) {
  for (const std::string_view name : names) {
    if (void* library = ::dlopen(std::string(name).c_str(), RTLD_NOW)) {
      return library;
    }
  }
  common::printErr("could not load: " + libraryNamePattern(names));
  common::printErr(
      "hint: install libcurl; running with LD_DEBUG=libs shows where the loader looked");
  throw common::ExitRequest(1);
}

template <typename Function>
void bindSymbol(void* library, const char* symbol, Function& slot) {
  void* address = ::dlsym(library, symbol);
  if (address == nullptr) {
    common::printErr(std::string("could not import: ") + symbol);
    throw common::ExitRequest(1);
  }
  slot = reinterpret_cast<Function>(address);
}

// The lookup order is the order of the first failure report: keep new functions
// at the end, so that a library missing one of the original ten still names it.
CurlApi bindFunctions(void* library) {
  CurlApi api;
  bindSymbol(library, "curl_easy_init", api.easyInit);
  bindSymbol(library, "curl_easy_cleanup", api.easyCleanup);
  bindSymbol(library, "curl_easy_setopt", api.easySetopt);
  bindSymbol(library, "curl_slist_append", api.slistAppend);
  bindSymbol(library, "curl_easy_getinfo", api.easyGetinfo);
  bindSymbol(library, "curl_easy_perform", api.easyPerform);
  bindSymbol(library, "curl_slist_free_all", api.slistFreeAll);
  bindSymbol(library, "curl_easy_strerror", api.easyStrerror);
  bindSymbol(library, "curl_multi_init", api.multiInit);
  bindSymbol(library, "curl_multi_setopt", api.multiSetopt);
  bindSymbol(library, "curl_multi_add_handle", api.multiAddHandle);
  bindSymbol(library, "curl_multi_remove_handle", api.multiRemoveHandle);
  bindSymbol(library, "curl_multi_perform", api.multiPerform);
  bindSymbol(library, "curl_multi_poll", api.multiPoll);
  bindSymbol(library, "curl_multi_wakeup", api.multiWakeup);
  bindSymbol(library, "curl_multi_info_read", api.multiInfoRead);
  bindSymbol(library, "curl_multi_strerror", api.multiStrerror);
  bindSymbol(library, "curl_multi_cleanup", api.multiCleanup);
  return api;
}

}  // namespace

std::string libraryNamePattern(std::span<const std::string_view> names) {
  if (names.size() == 1) {
    return std::string(names.front());
  }
  std::size_t common = names.empty() ? 0 : names.front().size();
  for (const std::string_view name : names) {
    std::size_t same = 0;
    while (same < common && same < name.size() && name[same] == names.front()[same]) {
      ++same;
    }
    common = same;
  }
  std::string pattern = names.empty() ? "" : std::string(names.front().substr(0, common));
  pattern += '(';
  for (std::size_t i = 0; i < names.size(); ++i) {
    pattern += i == 0 ? "" : "|";
    pattern += names[i].substr(common);
  }
  pattern += ')';
  return pattern;
}

const CurlApi& loadCurlLibrary(std::span<const std::string_view> names) {
  // The library stays loaded for the life of the process, and so does each
  // table that points into it: a deque keeps earlier tables where they are.
  static std::deque<CurlApi> tables;
  void* library = openFirstLibrary(names);
  return tables.emplace_back(bindFunctions(library));
}

}  // namespace http
