#include "crypto/sha3.hpp"

#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "common/errors.hpp"
#include "common/file.hpp"

namespace crypto {
namespace {

constexpr std::size_t kReadBlockSize = 8192;

struct MdContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using MdContextPtr = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;

// Fetched once (thread-safe static initialisation); EVP_sha3_256 returns a
// constant method table, so sharing it between threads is safe.
const EVP_MD* sha3Method() {
  static const EVP_MD* const method = EVP_sha3_256();
  TOLVEX_CHECK(method != nullptr, "SHA3-256 is not available");
  return method;
}

MdContextPtr startDigest() {
  MdContextPtr context(EVP_MD_CTX_new());
  TOLVEX_CHECK(context != nullptr, "cannot allocate a SHA3-256 context");
  TOLVEX_CHECK(EVP_DigestInit_ex(context.get(), sha3Method(), nullptr) == 1,
               "cannot initialise SHA3-256");
  return context;
}

void feed(EVP_MD_CTX* context, const void* data, std::size_t size) {
  TOLVEX_CHECK(EVP_DigestUpdate(context, data, size) == 1, "SHA3-256 update failed");
}

Sha3Digest finish(EVP_MD_CTX* context) {
  Sha3Digest digest{};
  unsigned int size = 0;
  TOLVEX_CHECK(EVP_DigestFinal_ex(context, digest.data(), &size) == 1 && size == digest.size(),
               "SHA3-256 final failed");
  return digest;
}

}  // namespace

std::string digestToHex(const Sha3Digest& digest) {
  static constexpr char kAlphabet[] = "0123456789abcdef";
  std::string text(2 * digest.size(), '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kAlphabet[digest[i] >> 4];
    text[2 * i + 1] = kAlphabet[digest[i] & 15];
  }
  return text;
}

std::string sha3Hex(std::string_view data) {
  const MdContextPtr context = startDigest();
  feed(context.get(), data.data(), data.size());
  return digestToHex(finish(context.get()));
}

std::string sha3FileHex(const std::string& path) {
  const common::FilePtr file = common::openFile(path, "rb");
  // Reads are whole blocks into our own buffer, so stdio's extra buffer would
  // only add a copy and an allocation.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  const MdContextPtr context = startDigest();
  // The one buffer lives on this call's stack: no heap allocation per file,
  // and nothing shared between concurrent callers.
  std::array<unsigned char, kReadBlockSize> buffer;
  for (;;) {
    const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (count > 0) {
      feed(context.get(), buffer.data(), count);
    }
    if (count < buffer.size()) {
      if (std::ferror(file.get()) != 0) {
        // fopen accepts a directory on Linux; reading it is where it fails.
        // Catching it here spares every file an extra fstat.
        if (errno == EISDIR) {
          throw common::IOError("cannot open: " + path);
        }
        common::throwReadError(errno);
      }
      break;
    }
  }
  return digestToHex(finish(context.get()));
}

std::string sha3FileHexIfRegular(const std::string& path) {
  if (!common::isRegularFile(path)) {
    return {};
  }
  return sha3FileHex(path);
}

}  // namespace crypto
