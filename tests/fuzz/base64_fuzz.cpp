// Base64 text as the signature file and the descriptor's key hold it; what
// decodes must encode and decode back to the same bytes.
#include "common/base64.hpp"
#include "common/errors.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes;
  try {
    bytes = common::base64Decode(fuzzing::textOf(data, size));
  } catch (const common::ValueError&) {
    return 0;
  }
  TOLVEX_FUZZ_EXPECT(common::base64Decode(common::base64Encode(bytes)) == bytes);
  return 0;
}
