#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file.hpp"
#include "crypto/lane_width.hpp"

namespace delta {

// A piece of the new file, in order: either bytes that the old file holds at
// `oldOffset`, or bytes to fetch from the server (`oldOffset` < 0).
struct Segment {
  std::int64_t offset = 0;  // in the new file
  std::int64_t length = 0;
  std::int64_t oldOffset = -1;

  bool fetched() const { return oldOffset < 0; }
  bool operator==(const Segment&) const = default;
};

// How to build the new file that `index` describes from the old file: segments
// covering [0, fileSize) without gap or overlap, in order, neighbouring fetched
// segments merged, and copied segments merged where both files run on together.
struct DeltaPlan {
  std::int64_t fileSize = 0;
  std::vector<Segment> segments;
  std::int64_t reusedBytes = 0;
  std::int64_t fetchedBytes = 0;
  // Bytes of the old file that strong checksums were taken of while planning:
  // the plan's work beyond reading the old file once.
  std::int64_t checkedBytes = 0;
  // The old file was to be scanned on two threads, but no second one could
  // start (a process limit): it was scanned on the calling thread alone.
  bool threadsRanOut = false;
  // Set when a sample of the old file showed it to hold too little of the new
  // one and planning stopped there: about this many bytes. The plan then
  // fetches every block.
  std::optional<std::int64_t> sampledReuse;
};

// What scanning windows spread over an old file found.
struct ReuseSample {
  std::int64_t scannedBytes = 0;  // offsets the windows' blocks were looked for at
  std::int64_t matchedBytes = 0;  // bytes that the blocks found there cover
};

// The bytes of a new file of `newSize` bytes that an old file of `oldSize`
// bytes likely holds, judged from `sample` of the old file: the share of the
// sample that blocks cover, scaled to the whole old file; at most `newSize`,
// and `newSize` (nothing ruled out) for an empty sample.
std::int64_t estimatedReusedBytes(const ReuseSample& sample, std::int64_t oldSize,
                                  std::int64_t newSize);

// Whatever the index says, planning takes strong checksums of at most this
// many times the old file's size (about once for an honest index).
inline constexpr std::int64_t kMaximumCheckedBytesPerOldByte = 12;
// A plan copies at most this many times the old file's size. An index that
// would have it copy more describes a file that the old one hardly helps to
// build, or one made to fill the disk: its plan fetches every block, and the
// caller downloads the file whole.
inline constexpr std::int64_t kMaximumReusedBytesPerOldByte = 2;

// Compares the block index `index` (as fetched, untrusted) with the old file
// `oldFile`, read without following a link. A block is found at any offset of
// the old file. The plan is only as good as the index: the caller verifies what
// it builds. Throws ValueError "malformed block index: ..." for an index that is
// not well formed, IOError when the old file cannot be read. Never throws for
// want of a thread.
// With `leastReusedShare` N > 0, a large old file is first sampled, and when
// it likely holds well under 1/N of the new file, planning stops there
// (`sampledReuse`): a full scan costs more time than such a delta saves.
// Strong checksums of blocks that likely follow each other are hashed `lanes`
// at a time (see crypto::blake2bPrefixes); the plan is the same whatever the
// lanes.
DeltaPlan planDelta(std::string_view index, const common::FileAt& oldFile,
                    std::int64_t leastReusedShare = 0,
                    crypto::LaneWidth lanes = crypto::LaneWidth::kOne);

}  // namespace delta
