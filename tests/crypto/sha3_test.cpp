#include "crypto/sha3.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/errors.hpp"
#include "support/temp_dir.hpp"

namespace {

using testing_support::TempDir;
using testing_support::writeFile;

constexpr const char* kEmptyDigest =
    "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a";

// Content whose bytes differ from block to block, so a dropped or repeated
// block changes the digest.
std::string patternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i % 251);
  }
  return bytes;
}

TEST(Sha3, DigestTextOfByteStringsMatchesFips202) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", kEmptyDigest},
      {"abc", "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
      // 200 bytes: more than one 136-byte block of the sponge.
      {std::string(200, '\xa3'),
       "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.size());
    EXPECT_EQ(crypto::sha3Hex(c.input), c.digest);
  }
}

TEST(Sha3, FileDigestEqualsOnePieceDigestAtBlockBoundaries) {
  const TempDir dir;
  const struct {
    std::size_t size;
    const char* digest;
  } cases[] = {
      {0, kEmptyDigest},
      {8192, "ae1e2d41aabdd5f20028d82dbd03bb02c64de6021b9c5afb5db3bec5b415528c"},
      {8193, "91cbc140c95662bd52cfb156b36fe9eed52f264dd7babde25cb5e84837633b88"},
      {16384, "8f8eeb8c5f4c7ca72654a2f6b8ee7c84e0367846655af46494e3e98f91208a43"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string content = patternBytes(c.size);
    const std::string path = dir / ("file" + std::to_string(c.size));
    writeFile(path, content);
    EXPECT_EQ(crypto::sha3FileHex(path), c.digest);
    EXPECT_EQ(crypto::sha3FileHexIfRegular(path), c.digest);
    EXPECT_EQ(crypto::sha3Hex(content), c.digest);
  }
}

TEST(Sha3, IfRegularGivesEmptyTextForWhatIsNotARegularFile) {
  const TempDir dir;
  writeFile(dir / "target", "abc");
  ASSERT_EQ(::mkdir((dir / "directory").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
  const struct {
    std::string path;
    std::string digest;
  } cases[] = {
      {dir / "missing", ""},
      {dir / "directory", ""},
      {dir / "dangling", ""},
      {"/dev/null", ""},
      {dir / "link", "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(crypto::sha3FileHexIfRegular(c.path), c.digest);
  }
}

TEST(Sha3, FileThatCannotBeOpenedFailsWithItsPath) {
  const TempDir dir;
  for (const std::string& path : {dir / "missing", dir.path()}) {
    SCOPED_TRACE(path);
    try {
      crypto::sha3FileHex(path);
      ADD_FAILURE() << "no error";
    } catch (const common::IOError& e) {
      EXPECT_EQ(e.message(), "cannot open: " + path);
    }
  }
}

TEST(Sha3, IfRegularReportsARegularFileItCannotRead) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root reads files without permission";
  }
  const TempDir dir;
  const std::string path = dir / "secret";
  writeFile(path, "x");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  try {
    crypto::sha3FileHexIfRegular(path);
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& e) {
    EXPECT_EQ(e.message(), "cannot open: " + path);
  }
}

TEST(Sha3, ReadErrorReportsErrnoAndItsText) {
  // Opening succeeds, but reading at offset 0 (an unmapped address) fails with EIO.
  try {
    crypto::sha3FileHex("/proc/self/mem");
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& e) {
    EXPECT_EQ(e.message(), "errno: 5 `Input/output error`");
  }
}

TEST(Sha3, ConcurrentCallsGiveTheSameDigests) {
  const TempDir dir;
  writeFile(dir / "big", patternBytes(16384));
  std::vector<std::string> results(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 20; ++round) {
        results[i] = crypto::sha3FileHex(dir / "big");
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (const auto& result : results) {
    EXPECT_EQ(result, "8f8eeb8c5f4c7ca72654a2f6b8ee7c84e0367846655af46494e3e98f91208a43");
  }
}

}  // namespace
