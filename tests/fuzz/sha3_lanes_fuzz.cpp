// Every SHA3 path against OpenSSL's single state: the input is cut into
// messages of the lengths its first bytes choose, hashed side by side, and
// again as streams advanced together a third of each message at a time.
#include <span>
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
  for (const crypto::LaneWidth lanes :
       {crypto::LaneWidth::kOne, crypto::LaneWidth::kFour, crypto::LaneWidth::kEight}) {
    if (lanes <= crypto::widestLaneWidth()) {
      TOLVEX_FUZZ_EXPECT(crypto::sha3HexBatch(messages, lanes) == expected);
      std::vector<crypto::Sha3Stream> streams(messages.size());
      std::vector<crypto::Sha3Stream*> pointers;
      for (crypto::Sha3Stream& stream : streams) {
        pointers.push_back(&stream);
      }
      for (std::size_t third = 0; third < 3; ++third) {
        std::vector<std::span<const std::uint8_t>> pieces;
        for (const std::string_view message : messages) {
          const std::size_t from = message.size() * third / 3;
          const std::size_t to = message.size() * (third + 1) / 3;
          pieces.emplace_back(reinterpret_cast<const std::uint8_t*>(message.data()) + from,
                              to - from);
        }
        crypto::sha3UpdateTogether(pointers, pieces, lanes);
      }
      for (std::size_t i = 0; i < messages.size(); ++i) {
        TOLVEX_FUZZ_EXPECT(streams[i].finishHex() == expected[i]);
      }
    }
  }
  return 0;
}
