// Every block checksum path against the one that takes a block at a time: the
// input is cut into blocks of the length its first two bytes choose, each
// checksummed side by side, and indexed as a file read in pieces of that length.
#include <span>
#include <vector>

#include "crypto/blake2b.hpp"
#include "crypto/sha3_batch.hpp"
#include "delta/block_index.hpp"
#include "delta/rolling_checksum.hpp"
#include "fuzz_input.hpp"

namespace {

std::string indexOf(std::span<const std::uint8_t> content, std::size_t piece,
                    crypto::Sha3Lanes lanes) {
  delta::BlockIndexWriter writer(static_cast<std::int64_t>(content.size()), lanes);
  for (std::size_t at = 0; at < content.size(); at += piece) {
    writer.add(content.subspan(at, std::min(piece, content.size() - at)));
  }
  return *writer.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  // Below 1200: past nine chunks of 128 bytes, and across the weak lanes' strides.
  const std::size_t length = (data[0] | static_cast<std::size_t>(data[1]) << 8) % 1200 + 1;
  const std::span<const std::uint8_t> bytes(data + 2, size - 2);
  std::vector<crypto::Blake2bPrefix> strong;
  std::vector<std::uint32_t> weak;
  for (std::size_t at = 0; at + length <= bytes.size(); at += length) {
    strong.push_back(crypto::blake2bPrefix(bytes.subspan(at, length)));
    weak.push_back(delta::weakChecksum(bytes.subspan(at, length)));
  }
  const std::string index = indexOf(bytes, bytes.size(), crypto::Sha3Lanes::kOne);
  for (const crypto::Sha3Lanes lanes : {crypto::Sha3Lanes::kFour, crypto::Sha3Lanes::kEight}) {
    if (lanes <= crypto::widestSha3Lanes()) {
      TOLVEX_FUZZ_EXPECT(crypto::blake2bPrefixes(bytes, length, lanes) == strong);
      for (std::size_t block = 0; block < weak.size(); ++block) {
        TOLVEX_FUZZ_EXPECT(delta::weakChecksum(bytes.subspan(block * length, length), lanes) ==
                           weak[block]);
      }
      TOLVEX_FUZZ_EXPECT(indexOf(bytes, length, lanes) == index);
    }
  }
  return 0;
}
