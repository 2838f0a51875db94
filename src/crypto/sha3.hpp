#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/keccak_lanes.hpp"

namespace crypto {

enum class LaneWidth;  // sha3_batch.hpp
class Sha3Stream;

// Advances each of `streams` by the bytes of `bytes` at the same position, as
// update() would; the streams' whole blocks are absorbed `lanes` at a time while
// enough of them have blocks to keep the lanes worth it, the rest one state at
// a time. Defined in sha3_batch.cpp.
void sha3UpdateTogether(std::span<Sha3Stream* const> streams,
                        std::span<const std::span<const std::uint8_t>> bytes, LaneWidth lanes);

using Sha3Digest = std::array<std::uint8_t, 32>;

// The 64 lower-case hexadecimal characters of `digest`.
std::string digestToHex(const Sha3Digest& digest);

// The digest text of a Keccak state that absorbed its padded last block, its
// word w at state[w * stride] (interleaved states have a stride of their count).
std::string sha3HexOfState(const std::uint64_t* state, std::size_t stride);

// SHA3-256 over bytes that come in pieces, its state our own so that it can
// join other streams' in lanes (sha3UpdateTogether). One object per stream; it
// may move between threads, but is used by one at a time.
class Sha3Stream {
 public:
  void update(std::string_view bytes);
  // Feeds the next `bytes` bytes read from the open file `fd` (`path` names it in
  // errors). Throws as sha3FileHex, and IOError "PATH ended early" when the file
  // holds fewer bytes.
  void updateFromFile(int fd, std::int64_t bytes, const std::string& path);
  // The digest text of everything given so far; the stream then starts anew.
  std::string finishHex();
  // The digest text of everything given so far; the stream goes on.
  std::string currentHex() const;

 private:
  friend void sha3UpdateTogether(std::span<Sha3Stream* const> streams,
                                 std::span<const std::span<const std::uint8_t>> bytes,
                                 LaneWidth lanes);
  // Takes bytes into the pending block; absorbs it once full. Returns the
  // bytes left over, which start on a block boundary.
  std::span<const std::uint8_t> topUp(std::span<const std::uint8_t> bytes);

  std::array<std::uint64_t, kKeccakWords> state_{};
  std::array<std::uint8_t, kSha3RateBytes> pending_{};  // a block not yet absorbed
  std::size_t pendingBytes_ = 0;
};

// Digest text of SHA3-256 over `data` (the empty string included).
std::string sha3Hex(std::string_view data);

// Digest text of the whole content of the file at `path`, read in 8192-byte
// blocks. Throws IOError "cannot open: PATH", or "errno: N `TEXT`" on a read error.
std::string sha3FileHex(const std::string& path);

// Digest text of what remains to be read from the open file `fd`; `path` names
// it in errors, which are those of sha3FileHex.
std::string sha3DescriptorHex(int fd, const std::string& path);

// sha3FileHex(path) when `path` names a regular file (links followed), else "".
std::string sha3FileHexIfRegular(const std::string& path);

}  // namespace crypto
