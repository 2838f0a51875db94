#include "delta/block_table.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <tuple>

namespace delta {
namespace {

// A 64-bit filter word holds two bits of each of about 8 to 16 blocks (twice
// as many words as buckets): 2 to 4 bytes a block, and a false positive rate
// under 1/150, so the table is read at few of the offsets the scan passes.
constexpr int kFilterWordsPerBucketLog2 = 1;

}  // namespace

BlockTable::BlockTable(const BlockIndex& index)
    : index_(index),
      bucketBits_(std::max(3, static_cast<int>(std::bit_width(static_cast<std::uint64_t>(
                                  index.layout.fileSize / index.layout.blockSize))))),
      filterWordBits_(bucketBits_ - 3 + kFilterWordsPerBucketLog2),
      filter_(std::size_t{1} << filterWordBits_),
      bucketStart_((std::size_t{1} << bucketBits_) + 1) {
  // A bucket a block at least, so that buckets hold one block or two.
  entries_.resize(static_cast<std::size_t>(index.layout.fileSize / index.layout.blockSize));
  for (std::uint32_t block = 0; block < entries_.size(); ++block) {
    entries_[block] = {index.weak[block], block};
  }
  std::sort(entries_.begin(), entries_.end(), [this](const Entry& a, const Entry& b) {
    return std::tuple(bucketOf(a.weak), a.weak, index_.strongOf(a.block)) <
           std::tuple(bucketOf(b.weak), b.weak, index_.strongOf(b.block));
  });
  for (const Entry& entry : entries_) {
    const std::uint64_t mixed = spread(entry.weak);
    filter_[mixed >> (64 - filterWordBits_)] |=
        (std::uint64_t{1} << ((mixed >> 20) & 63)) | (std::uint64_t{1} << ((mixed >> 26) & 63));
    ++bucketStart_[bucketOf(entry.weak) + 1];
  }
  std::partial_sum(bucketStart_.begin(), bucketStart_.end(), bucketStart_.begin());
}

std::span<const BlockTable::Entry> BlockTable::withWeak(std::uint32_t weak) const {
  struct ByWeak {
    bool operator()(const Entry& entry, std::uint32_t value) const { return entry.weak < value; }
    bool operator()(std::uint32_t value, const Entry& entry) const { return value < entry.weak; }
  };
  const std::size_t bucket = bucketOf(weak);
  const auto [from, to] =
      std::equal_range(entries_.begin() + bucketStart_[bucket],
                       entries_.begin() + bucketStart_[bucket + 1], weak, ByWeak{});
  return {from, to};
}

std::span<const BlockTable::Entry> BlockTable::withStrong(std::span<const Entry> blocks,
                                                          std::string_view strong) const {
  struct ByStrong {
    const BlockIndex& index;
    bool operator()(const Entry& entry, std::string_view value) const {
      return index.strongOf(entry.block) < value;
    }
    bool operator()(std::string_view value, const Entry& entry) const {
      return value < index.strongOf(entry.block);
    }
  };
  const auto [from, to] = std::equal_range(blocks.begin(), blocks.end(), strong, ByStrong{index_});
  return {from, to};
}

}  // namespace delta
