#include "delta/delta_plan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "delta/block_index.hpp"
#include "support/temp_dir.hpp"

namespace {

using delta::DeltaPlan;
using delta::Segment;
using testing_support::randomBytes;
using testing_support::TempDir;
using testing_support::writeFile;

// `bytes` with `removed` bytes at `at` replaced by `inserted`.
std::string spliced(const std::string& bytes, std::size_t at, std::size_t removed,
                    const std::string& inserted) {
  return bytes.substr(0, at) + inserted + bytes.substr(at + removed);
}

// The new file as a client builds it: copied pieces from the old file, fetched
// ones from the new. Checks on the way that the pieces follow each other.
std::string rebuild(const DeltaPlan& plan, const std::string& oldBytes,
                    const std::string& newBytes) {
  std::string built;
  for (const Segment& segment : plan.segments) {
    EXPECT_EQ(segment.offset, static_cast<std::int64_t>(built.size()));
    const auto from =
        static_cast<std::size_t>(segment.fetched() ? segment.offset : segment.oldOffset);
    built += (segment.fetched() ? newBytes : oldBytes).substr(from, segment.length);
  }
  EXPECT_EQ(plan.reusedBytes + plan.fetchedBytes, static_cast<std::int64_t>(built.size()));
  return built;
}

DeltaPlan planOf(const TempDir& dir, const std::string& oldBytes, const std::string& newBytes,
                 std::int64_t leastReusedShare = 0,
                 crypto::LaneWidth lanes = crypto::LaneWidth::kOne) {
  writeFile(dir / "old", oldBytes);
  writeFile(dir / "new", newBytes);
  return delta::planDelta(delta::blockIndexOfFile(dir / "new", crypto::LaneWidth::kOne),
                          dir / "old", leastReusedShare, lanes);
}

TEST(DeltaPlan, SameFileIsOneCopyOtherFilesOneFetch) {
  const TempDir dir;
  // Blocks of zeros are one block to the scan, but copied from where they lie.
  const std::string bytes =
      randomBytes(500000, 1) + std::string(12288, '\0') + randomBytes(700000, 5);
  const auto size = static_cast<std::int64_t>(bytes.size());
  const struct {
    const char* name;
    std::string oldBytes;
    std::vector<Segment> segments;
  } cases[] = {
      {"same file", bytes, {{0, size, 0}}},
      {"unrelated file", randomBytes(bytes.size(), 2), {{0, size, -1}}},
      {"empty file", "", {{0, size, -1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DeltaPlan plan = planOf(dir, c.oldBytes, bytes);
    EXPECT_EQ(plan.fileSize, size);
    EXPECT_EQ(plan.segments, c.segments);
  }
}

// Edits of a file over 16 MiB, which is scanned in two halves: every block is
// found wherever it moved, and only blocks that the edits touch are fetched.
TEST(DeltaPlan, EditedFileIsRebuiltFromOldBlocksAtAnyOffset) {
  const TempDir dir;
  constexpr std::size_t kMiB = 1 << 20;
  const std::string old =
      randomBytes(4 * kMiB, 3) + std::string(65536, '\0') + randomBytes(13 * kMiB + 1234, 6);
  const std::int64_t block = delta::layoutForSize(std::ssize(old)).blockSize;
  const struct {
    const char* name;
    std::string bytes;
    std::int64_t fetchedBlocks;  // at most
  } cases[] = {
      {"unchanged", old, 0},
      {"3 bytes inserted near the start", spliced(old, 1000, 0, "abc"), 1},
      {"5 bytes inserted in a run of zeros", spliced(old, 4 * kMiB + 10000, 0, "12345"), 1},
      {"7 bytes deleted in the second half", spliced(old, 12 * kMiB + 5, 7, ""), 1},
      {"a block's worth rewritten across two blocks",
       spliced(old, 8 * kMiB + 100, block, randomBytes(block, 4)), 2},
      {"bytes inserted in each half",
       spliced(spliced(old, 9 * kMiB, 0, "12345"), 2 * kMiB + 1, 0, "x"), 2},
      {"11 bytes before the first", "hello world" + old, 1},
      {"the end cut short", old.substr(0, old.size() - 3000), 0},
      {"bytes appended", old + "tail", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DeltaPlan plan = planOf(dir, old, c.bytes);
    EXPECT_EQ(rebuild(plan, old, c.bytes), c.bytes);
    EXPECT_LE(plan.fetchedBytes, c.fetchedBlocks * block);
    // Runs of blocks are hashed together in lanes: each block about once.
    const DeltaPlan inLanes = planOf(dir, old, c.bytes, 0, crypto::widestLaneWidth());
    EXPECT_EQ(rebuild(inLanes, old, c.bytes), c.bytes);
    EXPECT_LT(inLanes.checkedBytes, std::ssize(old) * 11 / 10);
  }
}

// One index describes a file of zeros, many times the old file's: copies that
// would fill a disk from a short index. The other gives a block of zeros another
// strong checksum, so that every offset of a run of zeros passes the weak check
// and fails the strong one. A new file that holds the old one twice is copied.
TEST(DeltaPlan, HostileIndexesCostNoMoreThanTheirBounds) {
  const TempDir dir;
  const std::string old = std::string(128 << 10, '\0') + randomBytes(64 << 10, 8);
  const DeltaPlan copies = planOf(dir, old, std::string(1 << 20, '\0'));
  writeFile(dir / "new", std::string(4096, '\0'));
  std::string index = delta::blockIndexOfFile(dir / "new", crypto::LaneWidth::kOne);
  index[24 + 4] ^= 1;  // the strong checksum, after the header and the weak one
  for (const DeltaPlan& plan : {copies, delta::planDelta(index, dir / "old")}) {
    EXPECT_LE(plan.checkedBytes, delta::kMaximumCheckedBytesPerOldByte * std::ssize(old));
    EXPECT_LE(plan.reusedBytes, delta::kMaximumReusedBytesPerOldByte * std::ssize(old));
  }
  EXPECT_EQ(planOf(dir, old, old + old).reusedBytes, 2 * std::ssize(old));
}

TEST(DeltaPlan, SampleIsScaledToTheWholeOldFile) {
  constexpr std::int64_t kTiB = std::int64_t{1} << 40;
  const struct {
    const char* name;
    delta::ReuseSample sample;
    std::int64_t oldSize, newSize, expected;
  } cases[] = {
      {"nothing found", {4096, 0}, 1000, 1000, 0},
      {"a quarter found", {4096, 1024}, 400, 1000, 100},
      {"a match past the windows' end", {4096, 4100}, 1000, 2000, 1000},
      {"an old file larger than the new", {4096, 4096}, 2000, 1000, 1000},
      {"no sample", {0, 0}, 1000, 700, 700},
      {"half of 2 TiB", {std::int64_t{1} << 33, std::int64_t{1} << 32}, 2 * kTiB, 2 * kTiB, kTiB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(delta::estimatedReusedBytes(c.sample, c.oldSize, c.newSize), c.expected);
  }
}

// An old file that keeps the new one's second half: a sample of its start
// alone would rule it out.
TEST(DeltaPlan, SampleSpansTheOldFile) {
  const TempDir dir;
  const std::string bytes = randomBytes(std::size_t{10} << 20, 10);
  const std::string old =
      randomBytes(std::size_t{5} << 20, 11) + bytes.substr(std::size_t{5} << 20);
  const DeltaPlan plan = planOf(dir, old, bytes, 8);
  EXPECT_FALSE(plan.sampledReuse);
  EXPECT_EQ(rebuild(plan, old, bytes), bytes);
}

}  // namespace
