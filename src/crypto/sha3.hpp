#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace crypto {

using Sha3Digest = std::array<std::uint8_t, 32>;

// The 64 lower-case hexadecimal characters of `digest`.
std::string digestToHex(const Sha3Digest& digest);

// SHA3-256 over bytes that come in pieces. One object per stream; it may move
// between threads, but is used by one at a time.
class Sha3Stream {
 public:
  Sha3Stream();
  ~Sha3Stream();
  Sha3Stream(Sha3Stream&&) noexcept;
  Sha3Stream& operator=(Sha3Stream&&) noexcept;

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
  struct Context;
  std::unique_ptr<Context> context_;
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
