// A base URL (first line of the input) and a catalog name (the rest), made
// into the URL of a request as the client makes it.
#include "common/path.hpp"
#include "common/uri.hpp"
#include "fuzz_input.hpp"
#include "http/curl_library.hpp"
#include "http/http_request.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  http::loadCurlLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [base, name] = fuzzing::splitFirstLine(fuzzing::textOf(data, size));
  common::Uri uri = common::parseUri(base);
  uri.path = common::joinWithOneSlash(uri.path, name);
  const std::string request = http::escapedRequestUrl(uri);
  // The query and fragment of the base follow the path unchanged.
  if (uri.hasFragment) {
    TOLVEX_FUZZ_EXPECT(request.ends_with("#" + uri.fragment));
  }
  static_cast<void>(common::assembleUri(uri));
  return 0;
}
