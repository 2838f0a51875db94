#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// OpenSSL's digest context (EVP_MD_CTX), kept out of view.
struct evp_md_ctx_st;

namespace crypto {

using Sha3Digest = std::array<std::uint8_t, 32>;

// The 64 lower-case hexadecimal characters of `digest`.
std::string digestToHex(const Sha3Digest& digest);

// SHA3-256 over data that arrives in pieces, such as a download.
class Sha3Stream {
 public:
  // Throws AssertionDefect when OpenSSL cannot set up the digest.
  Sha3Stream();
  void update(std::string_view data);
  // The digest text of everything given to update(); the stream then starts
  // over, empty.
  std::string finishHex();

 private:
  struct ContextFree {
    void operator()(evp_md_ctx_st* context) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, ContextFree> context_;
};

// Digest text of SHA3-256 over `data` (the empty string included).
std::string sha3Hex(std::string_view data);

// Digest text of the whole content of the file at `path`, read in 8192-byte
// blocks. Throws IOError "cannot open: PATH", or "errno: N `TEXT`" on a read error.
std::string sha3FileHex(const std::string& path);

// sha3FileHex(path) when `path` names a regular file (links followed), else "".
std::string sha3FileHexIfRegular(const std::string& path);

}  // namespace crypto
