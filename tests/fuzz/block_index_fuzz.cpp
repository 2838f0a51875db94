// A block index from a server, planned against a fixed old file: the plan
// covers the new file in order, every block it copies has the checksums that
// the index gives it, and neither the strong checks nor the copies come to
// more than their bounds, whatever the index.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/blake2b.hpp"
#include "delta/block_index.hpp"
#include "delta/delta_plan.hpp"
#include "delta/rolling_checksum.hpp"
#include "fuzz_input.hpp"

namespace {

std::string oldBytes;
std::string oldDirectory;
std::string oldPath;

void removeOldFile() {
  ::unlink(oldPath.c_str());
  ::rmdir(oldDirectory.c_str());
}

// 64 KiB: noise, a run of zeros, a repeated text, noise again; the seeds hold
// indexes of files made from it.
std::string makeOldBytes() {
  std::string bytes;
  std::uint32_t state = 12345;
  const auto noise = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      state = state * 1664525 + 1013904223;
      bytes += static_cast<char>(state >> 24);
    }
  };
  noise(16384);
  bytes.append(8192, '\0');
  while (bytes.size() < 32768) {
    bytes += "the same line, again and again\n";
  }
  bytes.resize(32768);
  noise(32768);
  return bytes;
}

// True when the `length` bytes of the old file at `offset` have the checksums
// of `block`.
bool holdsBlock(const delta::BlockIndex& index, std::int64_t block, std::int64_t offset,
                std::int64_t length) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(oldBytes.data()) + offset;
  const std::span<const std::uint8_t> window(bytes, static_cast<std::size_t>(length));
  const crypto::Blake2bPrefix strong = crypto::blake2bPrefix(window);
  return delta::weakChecksum(window) == index.weak[static_cast<std::size_t>(block)] &&
         index.strongOf(block) ==
             std::string_view(reinterpret_cast<const char*>(strong.data()),
                              static_cast<std::size_t>(index.layout.strongBytes));
}

void checkPlan(const delta::BlockIndex& index, const delta::DeltaPlan& plan) {
  const delta::BlockLayout& layout = index.layout;
  const auto oldSize = static_cast<std::int64_t>(oldBytes.size());
  TOLVEX_FUZZ_EXPECT(plan.fileSize == layout.fileSize);
  std::int64_t covered = 0;
  std::int64_t fetched = 0;
  const delta::Segment* previous = nullptr;
  for (const delta::Segment& segment : plan.segments) {
    TOLVEX_FUZZ_EXPECT(segment.offset == covered && segment.length > 0);
    TOLVEX_FUZZ_EXPECT(segment.offset % layout.blockSize == 0);
    if (segment.fetched()) {
      TOLVEX_FUZZ_EXPECT(previous == nullptr || !previous->fetched());
      fetched += segment.length;
    } else {
      TOLVEX_FUZZ_EXPECT(segment.oldOffset + segment.length <= oldSize);
      TOLVEX_FUZZ_EXPECT(previous == nullptr || previous->fetched() ||
                         previous->oldOffset + previous->length != segment.oldOffset);
      for (std::int64_t at = 0; at < segment.length; at += layout.blockSize) {
        const std::int64_t block = (segment.offset + at) / layout.blockSize;
        TOLVEX_FUZZ_EXPECT(
            holdsBlock(index, block, segment.oldOffset + at, layout.blockLength(block)));
      }
    }
    covered += segment.length;
    previous = &segment;
  }
  TOLVEX_FUZZ_EXPECT(covered == layout.fileSize);
  TOLVEX_FUZZ_EXPECT(plan.fetchedBytes == fetched && plan.reusedBytes == covered - fetched);
  TOLVEX_FUZZ_EXPECT(plan.checkedBytes <= delta::kMaximumCheckedBytesPerOldByte * oldSize);
  TOLVEX_FUZZ_EXPECT(plan.reusedBytes <= delta::kMaximumReusedBytesPerOldByte * oldSize);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  oldBytes = makeOldBytes();
  const char* base = std::getenv("TMPDIR");
  oldDirectory =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tolvex-fuzz-XXXXXX";
  TOLVEX_FUZZ_EXPECT(::mkdtemp(oldDirectory.data()) != nullptr);
  oldPath = oldDirectory + "/old";
  common::writeWholeFile(oldPath, oldBytes);
  std::atexit(removeOldFile);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzzing::textOf(data, size);
  try {
    const delta::DeltaPlan plan = delta::planDelta(text, oldPath);
    checkPlan(delta::parseBlockIndex(text), plan);
  } catch (const common::ValueError&) {
    // malformed block index: the client fetches the whole file
  }
  return 0;
}
