#include "delta/delta_plan.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>

#include "common/file.hpp"
#include "crypto/blake2b.hpp"
#include "delta/block_index.hpp"
#include "delta/block_table.hpp"
#include "delta/rolling_checksum.hpp"

namespace delta {
namespace {

// A scan's buffer holds a window and this much more, read at once: reads this
// large keep system calls out of the cost of the scan, and a plan holds little
// memory beyond its windows.
constexpr std::int64_t kScanReadBytes = std::int64_t{1} << 20;
// Old files from this size on are scanned in two halves at once: a thread
// costs some 0.1 ms, scanning 2 MiB about 6 ms.
constexpr std::int64_t kSplitScanBytes = std::int64_t{2} << 20;
// Blocks larger than this (those of files over 128 GiB, or of a hostile index)
// make each buffer of a plan that large: their old file is scanned in one
// piece, and such plans take turns.
constexpr std::int64_t kLargeBlockBytes = std::int64_t{1} << 20;
// Bytes hashed by strong checks that fail, per byte of the old file scanned. An
// honest index fails about (offsets x blocks / 2^32) checks of a block each: a
// quarter of the old file's size for 8 KiB blocks, twice it at 8 GiB. A
// hostile one could make every offset of a run of zeros fail; the scan gives up
// on the rest of the file once this is spent.
constexpr std::int64_t kFailedCheckBytesPerScannedByte = 2;
// The blocks right after a match, most likely the next ones of an unchanged
// run, have their strong checksums hashed together, up to this many (and as
// many as the run has matched), in the lanes of the run: a 256 MiB file that kept nearly all its
// blocks was planned in 0.31 s instead of 0.62 s beside the digest of its target.
constexpr std::int64_t kRunBlocks = 8;
// A sample of the old file: this many windows, one in the middle of each of
// as many equal slices, so that a file whose start or end was cut still shows
// what it holds; each looks for blocks at this many blocks' worth of offsets.
// Only files at least kSampledFileShare times the sample's size are sampled,
// so that it costs little next to the full scan it may spare. Measured on old
// files of which 3.6% (a 169 MiB library), 17.6%, 20.7%, 22.1% and 39.7% were
// reusable, this sample found 2.6%, 16.7%, 20.5%, 24.4% and 38.8%; 32 windows
// of 16 blocks found 5.1% for the first.
constexpr std::int64_t kSampleWindows = 128;
constexpr std::int64_t kSampleWindowBlocks = 4;
constexpr std::int64_t kSampledFileShare = 8;

struct OldFile {
  int fd;
  std::int64_t size;
};

bool sameStrong(const crypto::Blake2bPrefix& digest, std::string_view strong) {
  return std::memcmp(digest.data(), strong.data(), strong.size()) == 0;
}

// Looks for the blocks at every offset in [from, to) of the old file, in one
// pass that reads the file in large pieces and rolls the weak checksum from one
// offset to the next. After a match it moves on by a whole block, where the
// next block of an unchanged run lies. A scan that only counts what it finds
// (`findSources` false) keeps no source per block: a sample's many small scans
// would otherwise cost a block table's worth of memory each.
class OldFileScan {
 public:
  OldFileScan(const OldFile& old, const BlockIndex& index, const BlockTable& table,
              const RollingChecksum& rolling, crypto::Sha3Lanes lanes, std::int64_t from,
              std::int64_t to, bool findSources = true)
      : old_(old),
        index_(index),
        table_(table),
        rolling_(rolling),
        lanes_(lanes),
        blockSize_(index.layout.blockSize),
        to_(std::min(to, old.size - blockSize_ + 1)),
        readEnd_(std::min(old.size, to_ - 1 + blockSize_)),
        position_(from),
        base_(from),
        failedCheckBudget_(kFailedCheckBytesPerScannedByte * (to - from)),
        sources_(findSources ? static_cast<std::size_t>(index.layout.blockCount()) : 0, -1),
        unsourced_(index.layout.fileSize / blockSize_) {
    // Never more than the scan will read: a hostile block size meets a small file.
    capacity_ = to_ > from ? std::min(blockSize_ + kScanReadBytes, readEnd_ - from) : 0;
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(capacity_));
  }

  // For each block of the new file, an offset of the old file that holds it, or
  // -1; and the bytes that strong checks hashed.
  struct Result {
    std::vector<std::int64_t> sources;
    std::int64_t checkedBytes = 0;
    std::int64_t matchedBytes = 0;  // that the blocks found cover, repeats included
  };

  Result run() {
    bool fresh = true;  // the weak checksum is to be computed anew at position_
    std::uint32_t weak = 0;
    while (position_ < to_ && unsourced_ > 0 && failedCheckBudget_ > 0) {
      if (fresh) {
        if (!holdUpTo(position_ + blockSize_)) {
          break;
        }
        weak = weakChecksum(window());
        fresh = false;
        if (matchesAt(position_, weak)) {
          position_ += blockSize_;
          fresh = true;
          continue;
        }
      }
      if (position_ + 1 >= to_ || !holdUpTo(position_ + blockSize_ + 1)) {
        break;
      }
      if (rollThroughBuffer(weak)) {
        position_ += blockSize_;
        fresh = true;
      }
    }
    return {std::move(sources_), checkedBytes_, matchedBytes_};
  }

 private:
  // Rolls the window on while the buffer holds the byte that enters it and
  // offsets remain: true at a match, at position_; else false, with `weak` and
  // position_ moved on as far as the buffer allowed.
  bool rollThroughBuffer(std::uint32_t& weak) {
    const auto offsetOf = [this](const std::uint8_t* at) { return base_ + (at - buffer_.get()); };
    const std::uint8_t* at = buffer_.get() + (position_ - base_);
    const std::uint8_t* const end =
        at + std::min(base_ + filled_ - blockSize_ - position_, to_ - 1 - position_);
    for (; end - at >= 2; at += 2) {
      const auto [first, second] = rolling_.rollTwice(weak, at);
      if (matchesAt(offsetOf(at + 1), first) || matchesAt(offsetOf(at + 2), second)) {
        return true;
      }
      weak = second;
    }
    if (at < end) {
      weak = rolling_.roll(weak, at);
      ++at;
      if (matchesAt(offsetOf(at), weak)) {
        return true;
      }
    }
    position_ = offsetOf(at);
    return false;
  }

  // True when the window at `offset` holds blocks of the new file; the scan
  // then stands there. Once the budget is spent nothing more is hashed, and
  // the scan ends when the buffer's offsets have been rolled past.
  bool matchesAt(std::int64_t offset, std::uint32_t weak) {
    if (!table_.mayHold(weak) || failedCheckBudget_ <= 0) {
      return false;
    }
    position_ = offset;
    return matchHere(weak);
  }

  std::span<const std::uint8_t> window() const {
    return {buffer_.get() + (position_ - base_), static_cast<std::size_t>(blockSize_)};
  }

  // Makes the buffer hold the old file from position_ to `end`, reading on
  // from where it stops; false when the file ends first.
  bool holdUpTo(std::int64_t end) {
    if (end <= base_ + filled_) {
      return true;
    }
    const std::int64_t kept = std::max<std::int64_t>(base_ + filled_ - position_, 0);
    std::memmove(buffer_.get(), buffer_.get() + (position_ - base_),
                 static_cast<std::size_t>(kept));
    base_ = position_;
    filled_ = kept;
    const std::int64_t wanted = std::min(capacity_, readEnd_ - base_) - filled_;
    if (wanted > 0) {
      filled_ += static_cast<std::int64_t>(common::readAt(
          old_.fd, base_ + filled_, {buffer_.get() + filled_, static_cast<std::size_t>(wanted)}));
    }
    return end <= base_ + filled_;
  }

  // True when the window at position_ holds blocks of the new file; those
  // without a source get this one.
  bool matchHere(std::uint32_t weak) {
    const std::span<const BlockTable::Entry> candidates = table_.withWeak(weak);
    if (candidates.empty()) {
      return false;
    }
    const crypto::Blake2bPrefix digest = strongHere();
    checkedBytes_ += blockSize_;
    const std::span<const BlockTable::Entry> found =
        table_.withStrong(candidates, {reinterpret_cast<const char*>(digest.data()),
                                       static_cast<std::size_t>(index_.layout.strongBytes)});
    if (found.empty()) {
      failedCheckBudget_ -= blockSize_;
      return false;
    }
    matchedBytes_ += blockSize_;
    runLength_ = position_ == lastMatch_ + blockSize_ ? runLength_ + 1 : 1;
    lastMatch_ = position_;
    // Blocks with equal checksums get their source together: one tells for all.
    if (!sources_.empty() && sources_[found.front().block] < 0) {
      for (const BlockTable::Entry& entry : found) {
        sources_[entry.block] = position_;
      }
      unsourced_ -= static_cast<std::int64_t>(found.size());
    }
    return true;
  }

  // The strong checksum of the window at position_: from the run hashed last
  // when it holds it, else from a run hashed now when the window follows a
  // match, else of the window alone.
  crypto::Blake2bPrefix strongHere() {
    const std::int64_t ahead = position_ - runFrom_;
    if (ahead >= 0 && ahead % blockSize_ == 0 && ahead / blockSize_ < std::ssize(run_)) {
      return run_[static_cast<std::size_t>(ahead / blockSize_)];
    }
    if (position_ != lastMatch_ + blockSize_) {
      return crypto::blake2bPrefix(window());
    }
    // No more blocks than the run has matched so far: what is hashed for
    // nothing where a run ends is never more than what it matched. The run
    // hashed ends where the buffer does, which stays where the scan reads it.
    const std::int64_t blocks =
        std::min({runLength_, kRunBlocks, (base_ + filled_ - position_) / blockSize_});
    run_ = crypto::blake2bPrefixes(
        {buffer_.get() + (position_ - base_), static_cast<std::size_t>(blocks * blockSize_)},
        static_cast<std::size_t>(blockSize_), lanes_);
    runFrom_ = position_;
    return run_.front();
  }

  const OldFile& old_;
  const BlockIndex& index_;
  const BlockTable& table_;
  const RollingChecksum& rolling_;
  const crypto::Sha3Lanes lanes_;
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

// What the scans of the old file found, and what they hashed.
struct Scanned {
  std::vector<std::int64_t> sources;
  std::int64_t checkedBytes = 0;
  bool threadsRanOut = false;
};

Scanned scanOldFile(const OldFile& old, const BlockIndex& index, const BlockTable& table,
                    const RollingChecksum& rolling, crypto::Sha3Lanes lanes) {
  const auto scan = [&](std::int64_t from, std::int64_t to) {
    return OldFileScan(old, index, table, rolling, lanes, from, to).run();
  };
  const auto scanWhole = [&] {
    OldFileScan::Result whole = scan(0, old.size);
    return Scanned{std::move(whole.sources), whole.checkedBytes};
  };
  if (old.size < kSplitScanBytes || index.layout.blockSize > kLargeBlockBytes ||
      std::thread::hardware_concurrency() < 2) {
    return scanWhole();
  }
  // Two halves, each on a core; the second starts on a block boundary, where
  // an unchanged file's blocks lie. Either half's source will do.
  const std::int64_t middle = old.size / 2 / index.layout.blockSize * index.layout.blockSize;
  std::future<OldFileScan::Result> secondHalf;
  try {
    secondHalf = std::async(std::launch::async, scan, middle, old.size);
  } catch (const std::system_error&) {
    // recovery point: no thread could start (a process limit): one scans it all
    Scanned scanned = scanWhole();
    scanned.threadsRanOut = true;
    return scanned;
  }
  OldFileScan::Result first = scan(0, middle);
  const OldFileScan::Result second = secondHalf.get();
  for (std::size_t block = 0; block < first.sources.size(); ++block) {
    if (first.sources[block] < 0) {
      first.sources[block] = second.sources[block];
    }
  }
  return {std::move(first.sources), first.checkedBytes + second.checkedBytes};
}

// Scans the windows of a sample of the old file, adding what strong checks
// hashed to `checkedBytes`; nothing for a file too small for a sample to cost
// much less than scanning it whole.
std::optional<ReuseSample> sampleOldFile(const OldFile& old, const BlockIndex& index,
                                         const BlockTable& table, const RollingChecksum& rolling,
                                         crypto::Sha3Lanes lanes, std::int64_t& checkedBytes) {
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
                    std::int64_t leastReusedShare, crypto::Sha3Lanes lanes) {
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
