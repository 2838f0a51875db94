// The source descriptor text, and the request URL made from its base URL.
#include "common/errors.hpp"
#include "formats/source_descriptor.hpp"
#include "fuzz_input.hpp"
#include "http/curl_library.hpp"
#include "http/http_request.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  http::loadCurlLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzzing::textOf(data, size);
  try {
    static_cast<void>(formats::sourcePublicKeyIn(text));
  } catch (const common::JsonParsingError&) {
  } catch (const common::KeyError&) {
  } catch (const common::AssertionDefect&) {  // top level not an object
  }
  try {
    static_cast<void>(http::escapedRequestUrl(formats::remoteUrlIn(text, "updater-catalog.sha3")));
  } catch (const common::JsonParsingError&) {
  } catch (const common::KeyError&) {
  } catch (const common::AssertionDefect&) {
  }
  return 0;
}
