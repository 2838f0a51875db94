#include "crypto/sha3.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <span>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/text.hpp"

namespace crypto {
namespace {

constexpr std::size_t kReadBlockSize = 8192;

struct MdContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using MdContextPtr = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;

// Fetched once (thread-safe static initialisation) and shared read-only by all
// threads. An explicit fetch spares every digest OpenSSL's implicit lookup,
// which takes a lock that parallel hashing of small files contends for.
const EVP_MD* sha3Method() {
  static const EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA3-256", nullptr);
  TOLVEX_CHECK(method != nullptr, "SHA3-256 is not available");
  return method;
}

// One context per thread, reset for every digest: no allocation per file.
EVP_MD_CTX* startDigest() {
  thread_local const MdContextPtr context(EVP_MD_CTX_new());
  TOLVEX_CHECK(context != nullptr, "cannot allocate a SHA3-256 context");
  TOLVEX_CHECK(EVP_DigestInit_ex(context.get(), sha3Method(), nullptr) == 1,
               "cannot initialise SHA3-256");
  return context.get();
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

// Fills `buffer` unless the file ends first; returns the bytes read.
std::size_t readBlock(int fd, std::span<unsigned char> buffer, const std::string& path) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t count = ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (count == 0) {
      break;
    }
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      // A descriptor of a directory is handed over open; reading it is where it fails.
      if (errno == EISDIR) {
        throw common::IOError("cannot open: " + path);
      }
      common::throwReadError(errno);
    }
    filled += static_cast<std::size_t>(count);
  }
  return filled;
}

}  // namespace

std::string digestToHex(const Sha3Digest& digest) { return common::toHex(digest); }

std::span<const std::uint8_t> Sha3Stream::topUp(std::span<const std::uint8_t> bytes) {
  if (pendingBytes_ == 0) {
    return bytes;
  }
  const std::size_t take = std::min(bytes.size(), kSha3RateBytes - pendingBytes_);
  std::copy_n(bytes.begin(), take, pending_.begin() + static_cast<std::ptrdiff_t>(pendingBytes_));
  pendingBytes_ += take;
  if (pendingBytes_ == kSha3RateBytes) {
    keccakAbsorb(state_.data(), pending_.data(), 1);
    pendingBytes_ = 0;
  }
  return bytes.subspan(take);
}

void Sha3Stream::update(std::string_view text) {
  std::span<const std::uint8_t> bytes =
      topUp({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  if (bytes.empty()) {
    return;
  }
  const std::size_t blocks = bytes.size() / kSha3RateBytes;
  keccakAbsorb(state_.data(), bytes.data(), blocks);
  bytes = bytes.subspan(blocks * kSha3RateBytes);
  std::copy(bytes.begin(), bytes.end(), pending_.begin());
  pendingBytes_ = bytes.size();
}

void Sha3Stream::updateFromFile(int fd, std::int64_t bytes, const std::string& path) {
  std::array<unsigned char, kReadBlockSize> buffer;
  while (bytes > 0) {
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(bytes, static_cast<std::int64_t>(buffer.size())));
    const std::size_t count = readBlock(fd, {buffer.data(), wanted}, path);
    if (count == 0) {
      throw common::IOError(path + " ended early");
    }
    update({reinterpret_cast<const char*>(buffer.data()), count});
    bytes -= static_cast<std::int64_t>(count);
  }
}

std::string sha3HexOfState(const std::uint64_t* state, std::size_t stride) {
  Sha3Digest digest{};
  for (std::size_t byte = 0; byte < digest.size(); ++byte) {
    digest[byte] = static_cast<std::uint8_t>(state[byte / 8 * stride] >> (byte % 8 * 8));
  }
  return digestToHex(digest);
}

std::string Sha3Stream::finishHex() {
  std::string text = currentHex();
  *this = Sha3Stream();
  return text;
}

std::string Sha3Stream::currentHex() const {
  // SHA-3's domain bits 01, then pad10*1 (FIPS 202), absorbed into a copy.
  std::array<std::uint8_t, kSha3RateBytes> last{};
  std::copy_n(pending_.begin(), pendingBytes_, last.begin());
  last[pendingBytes_] = 0x06;
  last.back() |= 0x80;
  std::array<std::uint64_t, kKeccakWords> state = state_;
  keccakAbsorb(state.data(), last.data(), 1);
  return sha3HexOfState(state.data(), 1);
}

namespace {

// The digest text of what remains of `fd`.
std::string descriptorHex(int fd, const std::string& path) {
  EVP_MD_CTX* context = startDigest();
  // The one buffer lives on this call's stack: nothing shared between callers.
  std::array<unsigned char, kReadBlockSize> buffer;
  for (;;) {
    const std::size_t count = readBlock(fd, buffer, path);
    if (count > 0) {
      feed(context, buffer.data(), count);
    }
    if (count < buffer.size()) {
      break;
    }
  }
  return digestToHex(finish(context));
}

// `path` opened for reading. A plain descriptor: stdio would add a buffer, a copy
// and a process-wide lock on its list of open streams, which parallel hashing
// contends for. Throws IOError "cannot open: PATH".
common::FileDescriptor openToHash(const std::string& path) {
  common::FileDescriptor file = common::openRegularFileToRead(path);
  if (file.get() < 0) {
    throw common::IOError("cannot open: " + path);
  }
  return file;
}

}  // namespace

std::string sha3Hex(std::string_view data) {
  EVP_MD_CTX* context = startDigest();
  feed(context, data.data(), data.size());
  return digestToHex(finish(context));
}

std::string sha3FileHex(const std::string& path) {
  return sha3DescriptorHex(openToHash(path).get(), path);
}

std::string sha3DescriptorHex(int fd, const std::string& path) { return descriptorHex(fd, path); }

std::string sha3FileHexIfRegular(const std::string& path) {
  if (!common::isRegularFile(path)) {
    return {};
  }
  return sha3FileHex(path);
}

}  // namespace crypto
