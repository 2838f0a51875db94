#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/lane_width.hpp"

namespace delta {

// Files smaller than this get no block index, and a client never updates them
// by delta: below it, the index's round trip costs more than the bytes saved
// (bench/README.md, real_release_bench.sh).
inline constexpr std::int64_t kMinimumIndexedBytes = std::int64_t{16} << 10;

// How a file is cut into blocks, and how much of each block's strong checksum
// its index keeps.
struct BlockLayout {
  std::int64_t fileSize = 0;
  std::int64_t blockSize = 0;  // a power of two; the last block may be shorter
  int strongBytes = 0;

  std::int64_t blockCount() const { return (fileSize + blockSize - 1) / blockSize; }
  // The length of block `block`: blockSize, or less for the last one.
  std::int64_t blockLength(std::int64_t block) const;
  bool operator==(const BlockLayout&) const = default;
};

// The most blocks an index may have: what a file of up to 2 TiB gets. A reader
// refuses more, so that an index costs a client at most a few MiB to fetch and
// to plan with (some 40 bytes a block); larger files are downloaded whole.
inline constexpr std::int64_t kMaximumIndexBlocks = std::int64_t{1} << 17;

// The bytes at the start of an index that give the size of its file.
inline constexpr std::int64_t kIndexHeaderBytes = 24;

// The longest index a reader accepts, and so the most a client fetches: the
// header and kMaximumIndexBlocks entries of at most 20 bytes (2.6 MB).
inline constexpr std::int64_t kMaximumIndexBytes = kIndexHeaderBytes + kMaximumIndexBlocks * 20;

// The layout blockIndexOfFile uses for a file of `fileSize` bytes: blocks that
// grow with the file (the table is in block_index.cpp), so that a file of up
// to 2 TiB has at most kMaximumIndexBlocks blocks, and
// strong checksums just long enough that scanning an unrelated old file of the
// same size finds a false match with odds well under 1 in 1000.
BlockLayout layoutForSize(std::int64_t fileSize);

// A parsed block index. It views the text it was parsed from, which must
// outlive it.
struct BlockIndex {
  BlockLayout layout;
  std::vector<std::uint32_t> weak;  // one per block
  std::string_view entries;         // the text's per-block entries

  // The first layout.strongBytes bytes of block `block`'s strong checksum.
  std::string_view strongOf(std::int64_t block) const;
};

// Reads an index in its on-disk form (see the README), trusting nothing in it:
// whatever the input, it allocates no more than a few times its length, and it
// refuses more than kMaximumIndexBlocks blocks. Throws ValueError "malformed
// block index: WHAT" naming the field that is wrong.
BlockIndex parseBlockIndex(std::string_view text);

// The size of the file that an index starting with `header` describes, or
// nothing when `header` is not the start of an index. Untrusted, as the index.
std::optional<std::int64_t> indexedFileSize(std::string_view header);

// The length of the index that starts with `header`, or nothing when `header`
// is not the start of one that a reader accepts. Untrusted, as the index.
std::optional<std::int64_t> indexLength(std::string_view header);

// Builds the index of a file of a given size from its bytes as they are read,
// in pieces of any length, so that whatever reads a file for another reason
// (its digest) can index it in the same pass. The whole blocks of a piece are
// checksummed `lanes` at a time (see crypto::blake2bPrefixes); the index is the
// same whatever the lanes and the pieces.
class BlockIndexWriter {
 public:
  BlockIndexWriter(std::int64_t fileSize, crypto::LaneWidth lanes);

  // The next bytes of the file; those past its size are counted, not indexed.
  void add(std::span<const std::uint8_t> bytes);

  // The index in its on-disk form when exactly the file's size was added,
  // nothing otherwise (the file changed size while it was read).
  std::optional<std::string> finish();

 private:
  BlockLayout layout_;
  crypto::LaneWidth lanes_;
  std::int64_t added_ = 0;
  std::string out_;
  std::vector<std::uint8_t> partial_;  // a block cut between two pieces
};

// The block index of the regular file at `path`, in its on-disk form (see the
// README): the block size chosen for the file's size, then a weak rolling
// checksum and a truncated strong checksum per block, taken `lanes` blocks at a
// time. Read without following a link. Throws IOError when the file cannot be
// read, "PATH ended early" when it shrinks while being read.
std::string blockIndexOfFile(const std::string& path, crypto::LaneWidth lanes);

}  // namespace delta
