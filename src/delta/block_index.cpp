#include "delta/block_index.hpp"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <span>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/blake2b.hpp"
#include "delta/rolling_checksum.hpp"

namespace delta {
namespace {

// magic, file size u64, block size u32, strong length u8, three reserved zeros.
constexpr std::string_view kMagic = "TVXBIDX1";
constexpr std::size_t kHeaderBytes = kIndexHeaderBytes;
constexpr std::size_t kFileSizeAt = 8;
constexpr std::size_t kBlockSizeAt = 16;
constexpr std::size_t kStrongBytesAt = 20;
constexpr std::size_t kReservedAt = 21;
constexpr std::size_t kWeakBytes = 4;

// The block size by file size: that of the first step whose bound the file is
// under. Small blocks find more of an edited file but cost index bytes and
// ranges; ranges share requests, so 1 KiB blocks pay below 16 MiB, and above
// it the index outweighs finer edges (bench/README.md, real_release_bench.sh
// and delta_bench.sh).
struct BlockSizeStep {
  std::int64_t filesUnder;
  std::int64_t blockSize;
};
constexpr BlockSizeStep kBlockSizeSteps[] = {
    {std::int64_t{16} << 20, 1024},
    {std::int64_t{128} << 20, 4096},
    {std::numeric_limits<std::int64_t>::max(), 8192},
};
// Bounds on what a reader accepts: below 512 B the index outweighs the savings,
// above 16 MiB one changed byte refetches more than a delta is worth.
constexpr std::int64_t kMinimumBlockSize = 512;
constexpr std::int64_t kMaximumBlockSize = std::int64_t{1} << 24;
constexpr int kMinimumStrongBytes = 2;
constexpr int kMaximumStrongBytes = static_cast<int>(crypto::Blake2bPrefix{}.size());
static_assert(kMaximumIndexBytes ==
              kIndexHeaderBytes + kMaximumIndexBlocks * (static_cast<std::int64_t>(kWeakBytes) +
                                                         kMaximumStrongBytes));
// Scanning the N window offsets of an unrelated old file of the same size
// against the B full blocks gives about N*B/2^32 weak hits, each passing the
// strong check with odds 2^-strongBits; 2^-12 keeps the expected false matches
// well under 1/1000.
constexpr double kFalseMatchMarginBits = 12;
// The file is read this much at a time (a whole number of blocks at least).
constexpr std::int64_t kReadBytes = std::int64_t{4} << 20;

[[noreturn]] void malformed(const std::string& what) {
  throw common::ValueError("malformed block index: " + what);
}

std::uint64_t readLittleEndian(std::string_view text, std::size_t at, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) {
    value = (value << 8) | static_cast<std::uint8_t>(text[at + i]);
  }
  return value;
}

void appendLittleEndian(std::string& out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    out += static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

double log2Of(std::int64_t count) {
  return std::log2(static_cast<double>(std::max<std::int64_t>(count, 1)));
}

// The entries of the blocks of `blockLength` bytes that `blocks` holds.
void appendBlocks(std::string& out, std::span<const std::uint8_t> blocks, std::size_t blockLength,
                  int strongBytes, crypto::LaneWidth lanes) {
  const std::vector<crypto::Blake2bPrefix> strong =
      crypto::blake2bPrefixes(blocks, blockLength, lanes);
  for (std::size_t block = 0; block < strong.size(); ++block) {
    appendLittleEndian(out, weakChecksum(blocks.subspan(block * blockLength, blockLength), lanes),
                       kWeakBytes);
    out.append(reinterpret_cast<const char*>(strong[block].data()),
               static_cast<std::size_t>(strongBytes));
  }
}

std::string header(const BlockLayout& layout) {
  std::string out(kMagic);
  appendLittleEndian(out, static_cast<std::uint64_t>(layout.fileSize), 8);
  appendLittleEndian(out, static_cast<std::uint64_t>(layout.blockSize), 4);
  appendLittleEndian(out, static_cast<std::uint64_t>(layout.strongBytes), 1);
  out.append(kHeaderBytes - out.size(), '\0');
  return out;
}

// The layout that the header of `text` gives, each field within its bounds.
BlockLayout layoutOfHeader(std::string_view text) {
  if (text.size() < kHeaderBytes) {
    malformed(std::to_string(text.size()) + " bytes, shorter than the " +
              std::to_string(kHeaderBytes) + "-byte header");
  }
  if (text.substr(0, kMagic.size()) != kMagic) {
    malformed("it does not start with " + std::string(kMagic));
  }
  const std::uint64_t fileSize = readLittleEndian(text, kFileSizeAt, 8);
  const std::uint64_t blockSize = readLittleEndian(text, kBlockSizeAt, 4);
  const std::uint64_t strongBytes = readLittleEndian(text, kStrongBytesAt, 1);
  if (!std::has_single_bit(blockSize)) {
    malformed("block size " + std::to_string(blockSize) + " is not a power of two");
  }
  if (blockSize < kMinimumBlockSize || blockSize > kMaximumBlockSize) {
    malformed("block size " + std::to_string(blockSize) + " is outside " +
              std::to_string(kMinimumBlockSize) + " to " + std::to_string(kMaximumBlockSize));
  }
  if (strongBytes < kMinimumStrongBytes || strongBytes > kMaximumStrongBytes) {
    malformed("strong checksum length " + std::to_string(strongBytes) + " is outside " +
              std::to_string(kMinimumStrongBytes) + " to " + std::to_string(kMaximumStrongBytes));
  }
  if (text.substr(kReservedAt, kHeaderBytes - kReservedAt).find_first_not_of('\0') !=
      std::string_view::npos) {
    malformed("reserved header bytes are not zero");
  }
  if (fileSize > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    malformed("file size " + std::to_string(fileSize) + " is too large");
  }
  return {static_cast<std::int64_t>(fileSize), static_cast<std::int64_t>(blockSize),
          static_cast<int>(strongBytes)};
}

// The blocks of a layout read from a header, in unsigned arithmetic on the
// untrusted sizes: no overflow before they are checked.
std::uint64_t blockCountOf(const BlockLayout& layout) {
  const auto fileSize = static_cast<std::uint64_t>(layout.fileSize);
  const auto blockSize = static_cast<std::uint64_t>(layout.blockSize);
  return fileSize / blockSize + (fileSize % blockSize != 0 ? 1 : 0);
}

}  // namespace

std::int64_t BlockLayout::blockLength(std::int64_t block) const {
  return std::min(blockSize, fileSize - block * blockSize);
}

BlockLayout layoutForSize(std::int64_t fileSize) {
  BlockLayout layout;
  layout.fileSize = fileSize;
  layout.blockSize = std::ranges::find_if(kBlockSizeSteps, [fileSize](const BlockSizeStep& step) {
                       return fileSize < step.filesUnder;
                     })->blockSize;
  // Up to 1 GiB in blocks of 8 KiB at most; beyond that blocks grow, keeping
  // the index near 1/1000 of the file.
  while (layout.blockCount() > kMaximumIndexBlocks && layout.blockSize < kMaximumBlockSize) {
    layout.blockSize *= 2;
  }
  const double bits = log2Of(fileSize - layout.blockSize + 1) +
                      log2Of(fileSize / layout.blockSize) - 32 + kFalseMatchMarginBits;
  layout.strongBytes =
      std::clamp(static_cast<int>(std::ceil(bits / 8)), kMinimumStrongBytes, kMaximumStrongBytes);
  return layout;
}

std::string_view BlockIndex::strongOf(std::int64_t block) const {
  const auto bytes = static_cast<std::size_t>(layout.strongBytes);
  return entries.substr(static_cast<std::size_t>(block) * (kWeakBytes + bytes) + kWeakBytes, bytes);
}

std::optional<std::int64_t> indexedFileSize(std::string_view header) {
  if (header.size() < kHeaderBytes || !header.starts_with(kMagic)) {
    return std::nullopt;
  }
  const std::uint64_t size = readLittleEndian(header, kFileSizeAt, 8);
  if (size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(size);
}

std::optional<std::int64_t> indexLength(std::string_view header) {
  BlockLayout layout;
  try {
    layout = layoutOfHeader(header);
  } catch (const common::ValueError&) {
    // recovery point: not the start of an index, which the caller is told
    return std::nullopt;
  }
  const std::uint64_t blocks = blockCountOf(layout);
  if (blocks > static_cast<std::uint64_t>(kMaximumIndexBlocks)) {
    return std::nullopt;
  }
  return kIndexHeaderBytes + static_cast<std::int64_t>(blocks) *
                                 (static_cast<std::int64_t>(kWeakBytes) + layout.strongBytes);
}

BlockIndex parseBlockIndex(std::string_view text) {
  const BlockLayout layout = layoutOfHeader(text);
  const std::uint64_t blocks = blockCountOf(layout);
  const std::uint64_t entryBytes = kWeakBytes + static_cast<std::uint64_t>(layout.strongBytes);
  const std::uint64_t bodyBytes = text.size() - kHeaderBytes;
  if (blocks > static_cast<std::uint64_t>(kMaximumIndexBlocks)) {
    malformed(std::to_string(blocks) + " blocks, more than " + std::to_string(kMaximumIndexBlocks));
  }
  if (bodyBytes / entryBytes != blocks || bodyBytes % entryBytes != 0) {
    malformed(std::to_string(text.size()) + " bytes, but a file of " +
              std::to_string(layout.fileSize) + " bytes in blocks of " +
              std::to_string(layout.blockSize) + " needs " + std::to_string(kHeaderBytes) + " + " +
              std::to_string(blocks) + " x " + std::to_string(entryBytes));
  }

  BlockIndex index;
  index.layout = layout;
  index.entries = text.substr(kHeaderBytes);
  index.weak.resize(blocks);
  for (std::size_t block = 0; block < blocks; ++block) {
    index.weak[block] =
        static_cast<std::uint32_t>(readLittleEndian(index.entries, block * entryBytes, kWeakBytes));
  }
  return index;
}

BlockIndexWriter::BlockIndexWriter(std::int64_t fileSize, crypto::LaneWidth lanes)
    : layout_(layoutForSize(fileSize)), lanes_(lanes), out_(header(layout_)) {
  out_.reserve(kHeaderBytes + static_cast<std::size_t>(layout_.blockCount()) *
                                  (kWeakBytes + static_cast<std::size_t>(layout_.strongBytes)));
}

void BlockIndexWriter::add(std::span<const std::uint8_t> bytes) {
  const auto blockSize = static_cast<std::size_t>(layout_.blockSize);
  const auto indexed = static_cast<std::size_t>(std::clamp<std::int64_t>(
      layout_.fileSize - added_, 0, static_cast<std::int64_t>(bytes.size())));
  added_ += static_cast<std::int64_t>(bytes.size());
  bytes = bytes.first(indexed);
  if (!partial_.empty()) {
    const std::size_t take = std::min(blockSize - partial_.size(), bytes.size());
    partial_.insert(partial_.end(), bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(take));
    bytes = bytes.subspan(take);
    if (partial_.size() < blockSize) {
      return;
    }
    appendBlocks(out_, partial_, blockSize, layout_.strongBytes, lanes_);
    partial_.clear();
  }
  const std::size_t whole = bytes.size() - bytes.size() % blockSize;
  appendBlocks(out_, bytes.first(whole), blockSize, layout_.strongBytes, lanes_);
  partial_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end());
}

std::optional<std::string> BlockIndexWriter::finish() {
  if (added_ != layout_.fileSize) {
    return std::nullopt;
  }
  if (!partial_.empty()) {
    // The shorter last block.
    appendBlocks(out_, partial_, partial_.size(), layout_.strongBytes, lanes_);
    partial_.clear();
  }
  return std::move(out_);
}

std::string blockIndexOfFile(const std::string& path, crypto::LaneWidth lanes) {
  const common::FileDescriptor file = common::openRegularFile(path, O_RDONLY);
  const std::int64_t fileSize = common::fileSizeOf(file.get());
  const std::int64_t chunk = std::max(layoutForSize(fileSize).blockSize, kReadBytes);
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(
      static_cast<std::size_t>(std::min(chunk, std::max<std::int64_t>(fileSize, 1))));
  BlockIndexWriter writer(fileSize, lanes);
  for (std::int64_t offset = 0; offset < fileSize; offset += chunk) {
    const auto wanted = static_cast<std::size_t>(std::min(chunk, fileSize - offset));
    if (common::readAt(file.get(), offset, {buffer.get(), wanted}) != wanted) {
      throw common::IOError(path + " ended early");
    }
    writer.add({buffer.get(), wanted});
  }
  return *writer.finish();
}

}  // namespace delta
