#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "crypto/blake2b.hpp"
#include "crypto/lane_width.hpp"
#include "delta/block_index.hpp"
#include "delta/block_table.hpp"
#include "delta/rolling_checksum.hpp"

namespace delta {

// Blocks larger than this (those of files over 128 GiB, or of a hostile index)
// make each buffer of a plan that large: their old file is scanned in one
// piece, and such plans take turns.
inline constexpr std::int64_t kLargeBlockBytes = std::int64_t{1} << 20;

// The old file a plan reads: an open descriptor and the file's size.
struct OldFile {
  int fd;
  std::int64_t size;
};

// Looks for the blocks at every offset in [from, to) of the old file, in one
// pass that reads the file in large pieces and rolls the weak checksum from one
// offset to the next. After a match it moves on by a whole block, where the
// next block of an unchanged run lies. A scan that only counts what it finds
// (`findSources` false) keeps no source per block: a sample's many small scans
// would otherwise cost a block table's worth of memory each. Throws IOError
// when the old file cannot be read.
class OldFileScan {
 public:
  OldFileScan(const OldFile& old, const BlockIndex& index, const BlockTable& table,
              const RollingChecksum& rolling, crypto::LaneWidth lanes, std::int64_t from,
              std::int64_t to, bool findSources = true);

  // For each block of the new file, an offset of the old file that holds it, or
  // -1; and the bytes that strong checks hashed.
  struct Result {
    std::vector<std::int64_t> sources;
    std::int64_t checkedBytes = 0;
    std::int64_t matchedBytes = 0;  // that the blocks found cover, repeats included
  };

  // Scans once; the scan is spent afterwards.
  Result run();

 private:
  bool rollThroughBuffer(std::uint32_t& weak);
  bool matchesAt(std::int64_t offset, std::uint32_t weak);
  std::span<const std::uint8_t> window() const;
  bool holdUpTo(std::int64_t end);
  bool matchHere(std::uint32_t weak);
  crypto::Blake2bPrefix strongHere();

  const OldFile& old_;
  const BlockIndex& index_;
  const BlockTable& table_;
  const RollingChecksum& rolling_;
  const crypto::LaneWidth lanes_;
  const std::int64_t blockSize_;
  const std::int64_t to_;       // window starts end here
  const std::int64_t readEnd_;  // the bytes those windows cover end here
  std::int64_t position_;
  std::int64_t base_;        // the file offset of buffer_[0]
  std::int64_t filled_ = 0;  // bytes in buffer_
  std::int64_t capacity_ = 0;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::int64_t failedCheckBudget_;
  std::int64_t checkedBytes_ = 0;
  std::int64_t matchedBytes_ = 0;
  std::vector<std::int64_t> sources_;
  std::int64_t unsourced_;
  std::int64_t lastMatch_ = std::numeric_limits<std::int64_t>::min();  // where the last match stood
  std::int64_t runLength_ = 0;              // matches a block apart that end there
  std::vector<crypto::Blake2bPrefix> run_;  // strong checksums of the windows from runFrom_ on
  std::int64_t runFrom_ = 0;
};

// What the scans of the old file found, and what they hashed.
struct Scanned {
  std::vector<std::int64_t> sources;
  std::int64_t checkedBytes = 0;
  bool threadsRanOut = false;
};

// Scans the whole old file: in two halves at once when it is large enough and
// a second thread starts, else on this thread alone. Never throws for want of
// a thread; throws IOError when the old file cannot be read.
Scanned scanOldFile(const OldFile& old, const BlockIndex& index, const BlockTable& table,
                    const RollingChecksum& rolling, crypto::LaneWidth lanes);

}  // namespace delta
