#include "delta/block_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "delta/rolling_checksum.hpp"
#include "support/lane_paths.hpp"
#include "support/temp_dir.hpp"

namespace {

using testing_support::TempDir;
using testing_support::writeFile;

TEST(BlockIndex, LayoutKeepsTheIndexAFewPerMille) {
  const struct {
    std::int64_t fileSize;
    std::int64_t blockSize;
    int strongBytes;
  } cases[] = {
      {std::int64_t{1} << 20, 1024, 2},
      {(std::int64_t{16} << 20) - 1, 1024, 3},
      {std::int64_t{16} << 20, 4096, 2},
      {(std::int64_t{128} << 20) - 1, 4096, 3},
      // 7 bytes a block: the index of a 256 MiB file stays near 229 KB.
      {std::int64_t{1} << 28, 8192, 3},
      {(std::int64_t{1} << 28) + 8191, 8192, 3},
      {std::int64_t{1} << 30, 8192, 4},
      {std::int64_t{1} << 40, 8 << 20, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileSize);
    const delta::BlockLayout layout = delta::layoutForSize(c.fileSize);
    EXPECT_EQ(layout.blockSize, c.blockSize);
    EXPECT_EQ(layout.strongBytes, c.strongBytes);
  }
}

void putLittleEndian(std::string& text, std::size_t at, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    text[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

TEST(BlockIndex, RejectsMalformedIndexesNamingTheField) {
  const TempDir dir;
  writeFile(dir / "file", std::string(10000, 'x'));
  // 24 header bytes, then n blocks of 4 + 2 bytes.
  const std::string valid = delta::blockIndexOfFile(dir / "file", crypto::LaneWidth::kOne);
  const std::int64_t block = delta::layoutForSize(10000).blockSize;
  const std::int64_t n = (10000 + block - 1) / block;
  ASSERT_EQ(std::ssize(valid), 24 + n * 6);
  ASSERT_EQ(std::ssize(delta::parseBlockIndex(valid).weak), n);
  EXPECT_EQ(delta::indexLength(valid.substr(0, 24)), std::ssize(valid));
  const auto sizeMismatch = [&](std::size_t indexBytes, std::int64_t fileSize,
                                std::int64_t blocks) {
    return std::to_string(indexBytes) + " bytes, but a file of " + std::to_string(fileSize) +
           " bytes in blocks of " + std::to_string(block) + " needs 24 + " +
           std::to_string(blocks) + " x 6";
  };

  const struct {
    const char* name;
    std::function<void(std::string&)> mutate;
    std::string message;
  } cases[] = {
      {"truncated header", [](std::string& t) { t.resize(23); },
       "23 bytes, shorter than the 24-byte header"},
      {"entry cut short", [](std::string& t) { t.pop_back(); },
       sizeMismatch(valid.size() - 1, 10000, n)},
      {"entry too many", [](std::string& t) { t += "123456"; },
       std::to_string(valid.size() + 6) + " bytes, but a file of 10000"},
      {"other magic", [](std::string& t) { t[7] = '2'; }, "it does not start with TVXBIDX1"},
      {"block size 0", [](std::string& t) { putLittleEndian(t, 16, 0, 4); },
       "block size 0 is not a power of two"},
      {"block size 3000", [](std::string& t) { putLittleEndian(t, 16, 3000, 4); },
       "block size 3000 is not a power of two"},
      {"block size 256", [](std::string& t) { putLittleEndian(t, 16, 256, 4); },
       "block size 256 is outside 512 to 16777216"},
      {"block size 32 MiB", [](std::string& t) { putLittleEndian(t, 16, 1 << 25, 4); },
       "block size 33554432 is outside 512 to 16777216"},
      {"strong length 1", [](std::string& t) { t[20] = 1; },
       "strong checksum length 1 is outside 2 to 16"},
      {"strong length 17", [](std::string& t) { t[20] = 17; },
       "strong checksum length 17 is outside 2 to 16"},
      {"reserved byte", [](std::string& t) { t[23] = 1; }, "reserved header bytes are not zero"},
      {"size of more blocks", [&](std::string& t) { putLittleEndian(t, 8, n * block + 1, 8); },
       sizeMismatch(valid.size(), n * block + 1, n + 1)},
      {"size of fewer blocks", [&](std::string& t) { putLittleEndian(t, 8, (n - 1) * block, 8); },
       sizeMismatch(valid.size(), (n - 1) * block, n - 1)},
      {"size beyond any file", [](std::string& t) { putLittleEndian(t, 8, ~std::uint64_t{0}, 8); },
       "file size 18446744073709551615 is too large"},
      {"more blocks than a file of 2 TiB",
       [&](std::string& t) {
         putLittleEndian(t, 8, ((1 << 17) + 1) * block, 8);
         t.resize(24 + ((1 << 17) + 1) * 6);
       },
       "131073 blocks, more than 131072"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = valid;
    c.mutate(text);
    EXPECT_NE(delta::indexLength(text), std::ssize(text));  // no header vouches for it
    try {
      static_cast<void>(delta::parseBlockIndex(text));
      ADD_FAILURE() << "accepted";
    } catch (const common::ValueError& error) {
      EXPECT_TRUE(error.message().starts_with(std::string("malformed block index: ") + c.message))
          << error.message();
    }
  }
}

using BlockIndexLanes = testing_support::LanePaths;

TEST_P(BlockIndexLanes, WeakChecksumIsThatOfEightLanesForAnyLength) {
  std::string bytes(300, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>((i * 2654435761U) >> 11);
  }
  for (std::size_t length = 0; length <= bytes.size(); ++length) {
    SCOPED_TRACE(length);
    const std::span<const std::uint8_t> view(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             length);
    EXPECT_EQ(delta::weakChecksum(view, GetParam()), delta::weakChecksum(view));
  }
}

TEST_P(BlockIndexLanes, WriterGivesTheFilesIndexWhateverPiecesItIsFedIn) {
  const TempDir dir;
  // 1 KiB blocks: 21 whole ones fill every width of lanes and leave some over.
  std::string content(21 * 1024 + 123, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) {
    content[i] = static_cast<char>((i * 2654435761U) >> 13);
  }
  writeFile(dir / "file", content);
  const std::string expected = delta::blockIndexOfFile(dir / "file", crypto::LaneWidth::kOne);
  const struct {
    const char* name;
    std::vector<std::size_t> pieces;  // the last one repeats to the end
    std::size_t length;
    bool complete;
  } cases[] = {
      {"one piece", {content.size()}, content.size(), true},
      {"blocks cut anywhere", {1, 4095, 9000, 5000, 7}, content.size(), true},
      {"a byte short", {4096}, content.size() - 1, false},
      {"a byte more", {3}, content.size() + 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fed = content + "x";
    delta::BlockIndexWriter writer(static_cast<std::int64_t>(content.size()), GetParam());
    for (std::size_t at = 0, piece = 0; at < c.length; ++piece) {
      const std::size_t length =
          std::min(c.pieces[std::min(piece, c.pieces.size() - 1)], c.length - at);
      writer.add({reinterpret_cast<const std::uint8_t*>(fed.data()) + at, length});
      at += length;
    }
    const std::optional<std::string> index = writer.finish();
    EXPECT_EQ(index.has_value(), c.complete);
    if (index) {
      EXPECT_EQ(*index, expected);
    }
  }
}

TOLVEX_LANE_PATHS(BlockIndexLanes);

}  // namespace
