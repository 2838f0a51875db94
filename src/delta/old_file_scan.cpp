#include "delta/old_file_scan.hpp"

#include <algorithm>
#include <cstring>
#include <future>
#include <system_error>
#include <thread>

#include "common/file.hpp"

namespace delta {
namespace {

// A scan's buffer holds a window and this much more, read at once: reads this
// large keep system calls out of the cost of the scan, and a plan holds little
// memory beyond its windows.
constexpr std::int64_t kScanReadBytes = std::int64_t{1} << 20;
// Old files from this size on are scanned in two halves at once: starting a
// thread costs little next to scanning them (bench/README.md).
constexpr std::int64_t kSplitScanBytes = std::int64_t{2} << 20;
// Bytes hashed by strong checks that fail, per byte of the old file scanned. An
// honest index fails about (offsets x blocks / 2^32) checks of a block each: a
// quarter of the old file's size for 8 KiB blocks, twice it at 8 GiB. A
// hostile one could make every offset of a run of zeros fail; the scan gives up
// on the rest of the file once this is spent.
constexpr std::int64_t kFailedCheckBytesPerScannedByte = 2;
// The blocks right after a match, most likely the next ones of an unchanged
// run, have their strong checksums hashed together, up to this many (and as
// many as the run has matched), in the lanes of the run, which halves the plan
// of a file that kept nearly all its blocks (bench/README.md, delta_bench.sh).
constexpr std::int64_t kRunBlocks = 8;

}  // namespace

OldFileScan::OldFileScan(const OldFile& old, const BlockIndex& index, const BlockTable& table,
                         const RollingChecksum& rolling, crypto::LaneWidth lanes, std::int64_t from,
                         std::int64_t to, bool findSources)
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

OldFileScan::Result OldFileScan::run() {
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

// Rolls the window on while the buffer holds the byte that enters it and
// offsets remain: true at a match, at position_; else false, with `weak` and
// position_ moved on as far as the buffer allowed.
bool OldFileScan::rollThroughBuffer(std::uint32_t& weak) {
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
bool OldFileScan::matchesAt(std::int64_t offset, std::uint32_t weak) {
  if (!table_.mayHold(weak) || failedCheckBudget_ <= 0) {
    return false;
  }
  position_ = offset;
  return matchHere(weak);
}

std::span<const std::uint8_t> OldFileScan::window() const {
  return {buffer_.get() + (position_ - base_), static_cast<std::size_t>(blockSize_)};
}

// Makes the buffer hold the old file from position_ to `end`, reading on
// from where it stops; false when the file ends first.
bool OldFileScan::holdUpTo(std::int64_t end) {
  if (end <= base_ + filled_) {
    return true;
  }
  const std::int64_t kept = std::max<std::int64_t>(base_ + filled_ - position_, 0);
  std::memmove(buffer_.get(), buffer_.get() + (position_ - base_), static_cast<std::size_t>(kept));
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
bool OldFileScan::matchHere(std::uint32_t weak) {
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
crypto::Blake2bPrefix OldFileScan::strongHere() {
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

Scanned scanOldFile(const OldFile& old, const BlockIndex& index, const BlockTable& table,
                    const RollingChecksum& rolling, crypto::LaneWidth lanes) {
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

}  // namespace delta
