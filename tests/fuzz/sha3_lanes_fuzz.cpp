// Every SHA3 lane path against OpenSSL's single state: the input is cut into
// messages of the lengths its first bytes choose, hashed side by side.
#include <string>
#include <string_view>
#include <vector>

#include "crypto/sha3.hpp"
#include "crypto/sha3_batch.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzzing::textOf(data, size);
  // Each message: two bytes of length (little-endian, below 1200: past eight
  // blocks), then that many bytes or as many as are left.
  std::vector<std::string_view> messages;
  while (input.size() >= 2 && messages.size() < 20) {
    const std::size_t length =
        (static_cast<unsigned char>(input[0]) |
         static_cast<std::size_t>(static_cast<unsigned char>(input[1])) << 8) %
        1200;
    input.remove_prefix(2);
    messages.push_back(input.substr(0, length));
    input.remove_prefix(messages.back().size());
  }
  std::vector<std::string> expected;
  for (const std::string_view message : messages) {
    expected.push_back(crypto::sha3Hex(message));
  }
  for (const crypto::Sha3Lanes lanes :
       {crypto::Sha3Lanes::kOne, crypto::Sha3Lanes::kFour, crypto::Sha3Lanes::kEight}) {
    if (lanes <= crypto::widestSha3Lanes()) {
      TOLVEX_FUZZ_EXPECT(crypto::sha3HexBatch(messages, lanes) == expected);
    }
  }
  return 0;
}
