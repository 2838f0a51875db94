#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace delta {

// Files smaller than this get no block index, and a client never updates them
// by delta: below it, the index's round trip costs more than the bytes saved.
inline constexpr std::int64_t kMinimumIndexedBytes = std::int64_t{1} << 20;

// The bytes at the start of an index that give the size of its file.
inline constexpr std::int64_t kIndexHeaderBytes = 24;

// The size of the file that an index starting with `header` describes, or
// nothing when `header` is not the start of an index. Untrusted, as the index.
std::optional<std::int64_t> indexedFileSize(std::string_view header);

// The block index of the regular file at `path`, in its on-disk form (see the
// README): the block size chosen for the file's size, then a weak rolling
// checksum and a truncated strong checksum per block. Read without following a
// link. Throws IOError when the file cannot be read.
std::string blockIndexOfFile(const std::string& path);

}  // namespace delta
