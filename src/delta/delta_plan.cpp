#include "delta/delta_plan.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "common/file.hpp"
#include "crypto/blake2b.hpp"
#include "delta/block_index.hpp"
#include "delta/block_table.hpp"
#include "delta/old_file_scan.hpp"
#include "delta/rolling_checksum.hpp"

namespace delta {
namespace {

// A sample of the old file: this many windows, one in the middle of each of
// as many equal slices, so that a file whose start or end was cut still shows
// what it holds; each looks for blocks at this many blocks' worth of offsets.
// Only files at least kSampledFileShare times the sample's size are sampled,
// so that it costs little next to the full scan it may spare. Its estimates
// came close to the share that old files held (bench/README.md,
// real_release_bench.sh).
constexpr std::int64_t kSampleWindows = 128;
constexpr std::int64_t kSampleWindowBlocks = 4;
constexpr std::int64_t kSampledFileShare = 8;

bool sameStrong(const crypto::Blake2bPrefix& digest, std::string_view strong) {
  return std::memcmp(digest.data(), strong.data(), strong.size()) == 0;
}

// Direct checks of one block at one offset of the old file, for what the scan
// does not settle.
class BlockCheck {
 public:
  BlockCheck(const OldFile& old, const BlockIndex& index) : old_(old), index_(index) {}

  // True when the old file holds block `block` at `offset`.
  bool holds(std::int64_t block, std::int64_t offset) {
    const std::int64_t length = index_.layout.blockLength(block);
    if (offset < 0 || offset > old_.size - length) {
      return false;
    }
    bytes_.resize(static_cast<std::size_t>(length));
    if (common::readAt(old_.fd, offset, bytes_) != bytes_.size() ||
        weakChecksum(bytes_) != index_.weak[static_cast<std::size_t>(block)]) {
      return false;
    }
    checkedBytes_ += length;
    return sameStrong(crypto::blake2bPrefix(bytes_), index_.strongOf(block));
  }

  // The bytes that strong checks hashed so far.
  std::int64_t checkedBytes() const { return checkedBytes_; }

 private:
  const OldFile& old_;
  const BlockIndex& index_;
  std::vector<std::uint8_t> bytes_;
  std::int64_t checkedBytes_ = 0;
};

// Where block j comes from offset s, block j+1 most likely lies at
// s + blockSize and block j-1 at s - blockSize. Taking them from there, rather
// than from where the scan first saw their bytes (blocks that repeat, like runs
// of zeros, all get that one copy; a scan that skipped a block along such a run
// missed where the file goes on), lets copies run on in one piece; it also
// finds the short last block after its predecessor. Each check hashes a block;
// all of them together hash at most the old file's size, whatever the index.
void joinRuns(const OldFile& old, const BlockIndex& index, BlockCheck& check,
              std::vector<std::int64_t>& sources) {
  const std::int64_t blockSize = index.layout.blockSize;
  std::int64_t budget = old.size;
  const auto tryFrom = [&](std::size_t block, std::size_t neighbour, std::int64_t step) {
    const std::int64_t offset = sources[neighbour] + step;
    if (sources[neighbour] < 0 || sources[block] == offset || offset < 0 || offset >= old.size ||
        budget <= 0) {
      return;
    }
    budget -= blockSize;
    if (check.holds(static_cast<std::int64_t>(block), offset)) {
      sources[block] = offset;
    }
  };
  for (std::size_t block = 1; block < sources.size(); ++block) {
    tryFrom(block, block - 1, blockSize);
  }
  for (std::size_t block = sources.size(); block-- > 1;) {
    tryFrom(block - 1, block, -blockSize);
  }
}

// Looks for a short last block that joinRuns did not find at the end of the
// old file and where it lies in the new one.
void findShortLastBlock(const OldFile& old, const BlockIndex& index, BlockCheck& check,
                        std::vector<std::int64_t>& sources) {
  const BlockLayout& layout = index.layout;
  const std::int64_t last = layout.blockCount() - 1;
  if (last < 0 || layout.blockLength(last) == layout.blockSize ||
      sources[static_cast<std::size_t>(last)] >= 0) {
    return;
  }
  for (const std::int64_t offset : {old.size - layout.blockLength(last), last * layout.blockSize}) {
    if (check.holds(last, offset)) {
      sources[static_cast<std::size_t>(last)] = offset;
      return;
    }
  }
}

DeltaPlan planOf(const BlockLayout& layout, const std::vector<std::int64_t>& sources) {
  DeltaPlan plan;
  plan.fileSize = layout.fileSize;
  for (std::int64_t block = 0; block < layout.blockCount(); ++block) {
    const Segment piece{block * layout.blockSize, layout.blockLength(block),
                        sources[static_cast<std::size_t>(block)]};
    (piece.fetched() ? plan.fetchedBytes : plan.reusedBytes) += piece.length;
    if (!plan.segments.empty()) {
      Segment& previous = plan.segments.back();
      const bool runsOn =
          previous.fetched()
              ? piece.fetched()
              : !piece.fetched() && previous.oldOffset + previous.length == piece.oldOffset;
      if (runsOn) {
        previous.length += piece.length;
        continue;
      }
    }
    plan.segments.push_back(piece);
  }
  return plan;
}

// Scans the windows of a sample of the old file, adding what strong checks
// hashed to `checkedBytes`; nothing for a file too small for a sample to cost
// much less than scanning it whole.
std::optional<ReuseSample> sampleOldFile(const OldFile& old, const BlockIndex& index,
                                         const BlockTable& table, const RollingChecksum& rolling,
                                         crypto::LaneWidth lanes, std::int64_t& checkedBytes) {
  const std::int64_t span = kSampleWindowBlocks * index.layout.blockSize;
  if (old.size / kSampledFileShare / kSampleWindows < span) {
    return std::nullopt;
  }
  const std::int64_t slice = old.size / kSampleWindows;
  ReuseSample sample;
  for (std::int64_t window = 0; window < kSampleWindows; ++window) {
    const std::int64_t from = window * slice + (slice - span) / 2;
    const OldFileScan::Result found =
        OldFileScan(old, index, table, rolling, lanes, from, from + span, false).run();
    sample.matchedBytes += found.matchedBytes;
    sample.scannedBytes += span;
    checkedBytes += found.checkedBytes;
  }
  return sample;
}

// Copies beyond kMaximumReusedBytesPerOldByte times the old file cost a disk
// write each without a byte of traffic: such a plan fetches everything instead.
void boundCopies(const BlockLayout& layout, std::int64_t oldSize,
                 std::vector<std::int64_t>& sources) {
  std::int64_t reused = 0;
  for (std::int64_t block = 0; block < layout.blockCount(); ++block) {
    if (sources[static_cast<std::size_t>(block)] >= 0) {
      reused += layout.blockLength(block);
    }
  }
  if (reused > kMaximumReusedBytesPerOldByte * oldSize) {
    std::fill(sources.begin(), sources.end(), -1);
  }
}

}  // namespace

std::int64_t estimatedReusedBytes(const ReuseSample& sample, std::int64_t oldSize,
                                  std::int64_t newSize) {
  if (sample.scannedBytes <= 0) {
    return newSize;
  }
  // A match near a window's end covers bytes past it: a share above 1 is 1.
  const double share = std::min(
      1.0, static_cast<double>(sample.matchedBytes) / static_cast<double>(sample.scannedBytes));
  return std::min(newSize, static_cast<std::int64_t>(share * static_cast<double>(oldSize)));
}

DeltaPlan planDelta(std::string_view index, const common::FileAt& oldFile,
                    std::int64_t leastReusedShare, crypto::LaneWidth lanes) {
  const BlockIndex parsed = parseBlockIndex(index);
  const common::FileDescriptor file = common::openRegularFile(oldFile, O_RDONLY);
  const OldFile old{file.get(), common::fileSizeOf(file.get())};
  // Plans with blocks over 1 MiB take turns, process-wide: each holds a block
  // or two of up to 16 MiB, and plans of several hostile indexes at once would
  // hold theirs all together.
  static std::mutex largeBlocks;
  std::unique_lock turn(largeBlocks, std::defer_lock);
  if (parsed.layout.blockSize > kLargeBlockBytes) {
    turn.lock();
  }
  const BlockTable table(parsed);
  const RollingChecksum rolling(static_cast<std::size_t>(parsed.layout.blockSize));
  std::int64_t sampleChecked = 0;
  const std::optional<ReuseSample> sample =
      leastReusedShare > 0 ? sampleOldFile(old, parsed, table, rolling, lanes, sampleChecked)
                           : std::nullopt;
  const std::int64_t fileSize = parsed.layout.fileSize;
  const std::optional<std::int64_t> sampledReuse =
      sample ? std::optional(estimatedReusedBytes(*sample, old.size, fileSize)) : std::nullopt;
  // Well under the least share: a sample may miss some of what a file holds.
  if (sampledReuse && *sampledReuse < fileSize / leastReusedShare / 2) {
    DeltaPlan plan =
        planOf(parsed.layout,
               std::vector<std::int64_t>(static_cast<std::size_t>(parsed.layout.blockCount()), -1));
    plan.checkedBytes = sampleChecked;
    plan.sampledReuse = sampledReuse;
    return plan;
  }
  Scanned scanned = scanOldFile(old, parsed, table, rolling, lanes);
  BlockCheck check(old, parsed);
  joinRuns(old, parsed, check, scanned.sources);
  findShortLastBlock(old, parsed, check, scanned.sources);
  boundCopies(parsed.layout, old.size, scanned.sources);
  DeltaPlan plan = planOf(parsed.layout, scanned.sources);
  plan.checkedBytes = sampleChecked + scanned.checkedBytes + check.checkedBytes();
  plan.threadsRanOut = scanned.threadsRanOut;
  return plan;
}

}  // namespace delta
