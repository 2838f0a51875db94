// Per-core speed of the block checksums of an index on each path the processor
// runs, in the blocks of a file of MIB MiB: the strong ones alone, the weak
// ones alone, and the whole index as the catalog builder makes it (pieces of
// 64 KiB, the hashing threads' reads). CPU time of this thread, best of five
// passes, each over MIB MiB (256 KiB of bytes again and again, in the cache
// as the bytes just read are).
// Usage: tolvex_block_index_bench [MIB]   (default 256: blocks of 8 KiB)

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "crypto/blake2b.hpp"
#include "crypto/sha3_batch.hpp"
#include "delta/block_index.hpp"
#include "delta/rolling_checksum.hpp"

namespace {

constexpr std::size_t kBytes = std::size_t{256} << 10;
constexpr std::size_t kPiece = std::size_t{64} << 10;
std::size_t passBytes = 0;

double threadSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// MB/s of the best of five passes of `pass` over the buffer. `sink` keeps the
// work from being optimised away.
double megabytesPerSecond(const std::function<std::size_t()>& pass, std::size_t& sink) {
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    const double start = threadSeconds();
    sink += pass();
    best = std::min(best, threadSeconds() - start);
  }
  return static_cast<double>(passBytes) / 1e6 / best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  passBytes = std::max<std::size_t>(mebibytes, 1) << 20;
  const auto fileSize = static_cast<std::int64_t>(passBytes);
  const auto blockSize = static_cast<std::size_t>(delta::layoutForSize(fileSize).blockSize);
  if (kPiece % blockSize != 0) {
    std::fprintf(stderr, "blocks of %zu bytes do not divide the pieces\n", blockSize);
    return 1;
  }
  std::vector<std::uint8_t> bytes(kBytes);
  std::mt19937_64 random(1);
  for (std::uint8_t& byte : bytes) {
    byte = static_cast<std::uint8_t>(random());
  }
  const std::span<const std::uint8_t> all(bytes);
  std::size_t sink = 0;
  std::printf("a file of %zu MiB: blocks of %zu bytes; MB/s on one core\n%-28s %10s %10s %10s\n",
              passBytes >> 20, blockSize, "path", "BLAKE2b", "weak", "index");
  for (const crypto::LaneWidth lanes :
       {crypto::LaneWidth::kOne, crypto::LaneWidth::kFour, crypto::LaneWidth::kEight}) {
    const char* name = lanes == crypto::LaneWidth::kOne    ? "1 (OpenSSL, 8-lane weak)"
                       : lanes == crypto::LaneWidth::kFour ? "4 (AVX2)"
                                                           : "8 (AVX-512)";
    if (lanes > crypto::widestLaneWidth()) {
      std::printf("%-28s not run by this processor\n", name);
      continue;
    }
    const double strong = megabytesPerSecond(
        [&] {
          std::size_t count = 0;
          for (std::size_t at = 0; at < passBytes; at += kPiece) {
            count +=
                crypto::blake2bPrefixes(all.subspan(at % kBytes, kPiece), blockSize, lanes).size();
          }
          return count;
        },
        sink);
    const double weak = megabytesPerSecond(
        [&] {
          std::size_t sum = 0;
          for (std::size_t at = 0; at < passBytes; at += blockSize) {
            sum += delta::weakChecksum(all.subspan(at % kBytes, blockSize), lanes);
          }
          return sum;
        },
        sink);
    const double index = megabytesPerSecond(
        [&] {
          delta::BlockIndexWriter writer(fileSize, lanes);
          for (std::size_t at = 0; at < passBytes; at += kPiece) {
            writer.add(all.subspan(at % kBytes, kPiece));
          }
          return writer.finish()->size();
        },
        sink);
    std::printf("%-28s %10.0f %10.0f %10.0f\n", name, strong, weak, index);
  }
  return sink == 0 ? 1 : 0;
}
