// Every lane path gives OpenSSL's BLAKE2b-512 prefixes, block by block.
#include "crypto/blake2b.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/lane_paths.hpp"

namespace {

using Blake2bLanes = testing_support::LanePaths;

TEST_P(Blake2bLanes, EveryWholeBlockGetsOpenSslsPrefix) {
  // Lengths around the 128-byte chunk and the index's block sizes; 13 blocks
  // fill 8 lanes, then 4, then one alone, and a partial block follows them.
  std::mt19937_64 random(4);
  for (const std::size_t length : {1, 127, 128, 129, 255, 1000, 1024, 8192}) {
    SCOPED_TRACE("blocks of " + std::to_string(length));
    for (const std::size_t blocks : {0, 1, 13}) {
      std::vector<std::uint8_t> bytes(blocks * length + length / 2);
      for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
      }
      const std::vector<crypto::Blake2bPrefix> prefixes =
          crypto::blake2bPrefixes(bytes, length, GetParam());
      ASSERT_EQ(prefixes.size(), blocks);
      for (std::size_t block = 0; block < blocks; ++block) {
        SCOPED_TRACE("block " + std::to_string(block));
        EXPECT_EQ(prefixes[block], crypto::blake2bPrefix({bytes.data() + block * length, length}));
      }
    }
  }
}

TOLVEX_LANE_PATHS(Blake2bLanes);

}  // namespace
