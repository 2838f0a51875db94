#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "delta/block_index.hpp"

namespace delta {

// The full-length blocks of a new file, looked up by their checksums at every
// offset of an old one. Blocks with equal checksums come back together, as one
// run. Read-only once built: threads may share it.
class BlockTable {
 public:
  struct Entry {
    std::uint32_t weak;
    std::uint32_t block;
  };

  // `index` must outlive the table.
  explicit BlockTable(const BlockIndex& index);

  // False when no block has the weak checksum `weak`; true for about one in
  // 150 other values. Memory of 2 to 4 bytes a block, so that it stays in cache.
  bool mayHold(std::uint32_t weak) const {
    const std::uint64_t mixed = spread(weak);
    const std::uint64_t bits =
        (std::uint64_t{1} << ((mixed >> 20) & 63)) | (std::uint64_t{1} << ((mixed >> 26) & 63));
    return (filter_[mixed >> (64 - filterWordBits_)] & bits) == bits;
  }

  // The blocks whose weak checksum is `weak`, sorted by strong checksum.
  std::span<const Entry> withWeak(std::uint32_t weak) const;

  // Those of `blocks` (from withWeak) whose strong checksum starts with `strong`.
  std::span<const Entry> withStrong(std::span<const Entry> blocks, std::string_view strong) const;

 private:
  // The low bits of the weak checksum depend on few bits of each byte; a
  // multiplication carries every bit of it into the high ones.
  static std::uint64_t spread(std::uint32_t weak) {
    return std::uint64_t{weak} * 0x9E3779B97F4A7C15;
  }
  std::size_t bucketOf(std::uint32_t weak) const {
    return static_cast<std::size_t>(spread(weak) >> (64 - bucketBits_));
  }

  const BlockIndex& index_;
  int bucketBits_;
  int filterWordBits_;
  std::vector<std::uint64_t> filter_;       // two bits a block, in one word
  std::vector<std::uint32_t> bucketStart_;  // where each bucket starts in entries_
  std::vector<Entry> entries_;              // by bucket, weak checksum, strong checksum
};

}  // namespace delta
