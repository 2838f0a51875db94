#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace delta {

// Files smaller than this get no block index, and a client never updates them
// by delta: below it, the index's round trip costs more than the bytes saved.
inline constexpr std::int64_t kMinimumIndexedBytes = std::int64_t{1} << 20;

// The block index of the regular file at `path`, in its on-disk form (see the
// README): the block size chosen for the file's size, then a weak rolling
// checksum and a truncated strong checksum per block. Read without following a
// link. Throws IOError when the file cannot be read.
std::string blockIndexOfFile(const std::string& path);

}  // namespace delta
