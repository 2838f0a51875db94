// Every lane path gives OpenSSL's digests, for any lengths side by side.
#include "crypto/sha3_batch.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "crypto/sha3.hpp"
#include "support/lane_paths.hpp"
#include "support/temp_dir.hpp"

namespace {

using crypto::LaneWidth;

std::string randomBytes(std::mt19937_64& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(random());
  }
  return bytes;
}

class Sha3Batch : public testing_support::LanePaths {
 protected:
  // Hashes `messages` in one batch and compares each digest with OpenSSL's.
  void expectOpenSslDigests(const std::vector<std::string>& messages) const {
    const std::vector<std::string_view> views(messages.begin(), messages.end());
    const std::vector<std::string> digests = crypto::sha3HexBatch(views, GetParam());
    ASSERT_EQ(digests.size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
      SCOPED_TRACE("message " + std::to_string(i) + " of " + std::to_string(messages[i].size()));
      EXPECT_EQ(digests[i], crypto::sha3Hex(messages[i]));
    }
  }
};

TEST_P(Sha3Batch, AnyLengthsSideBySideGiveOpenSslsDigests) {
  const std::vector<std::string_view> empty{""};
  EXPECT_EQ(crypto::sha3HexBatch(empty, GetParam()).front(),
            "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
  // First the lengths around the rate, then short and long messages mixed, so
  // that lanes finish at different steps and every position takes every kind.
  std::mt19937_64 random(2);
  std::vector<std::string> messages;
  for (const std::size_t size : {0, 135, 136, 137, 271, 272, 273, 3 << 20}) {
    messages.push_back(randomBytes(random, size));
  }
  for (int round = 0; round < 9; ++round) {
    SCOPED_TRACE(round);
    expectOpenSslDigests(messages);
    messages.assign(3 + random() % 40, {});
    for (std::string& message : messages) {
      const std::size_t size = random() % 4 == 0 ? random() % 20000 : random() % 700;
      message = randomBytes(random, size);
    }
  }
}

TEST_P(Sha3Batch, StreamsAdvancedTogetherInAnyPiecesGiveOpenSslsDigests) {
  // Pieces of any length, so that pending blocks straddle the steps, and of
  // many blocks, so that lanes run dry at different blocks and are refilled.
  std::mt19937_64 random(3);
  std::vector<std::string> messages(3 + random() % 10);
  std::vector<crypto::Sha3Stream> streams(messages.size());
  std::vector<crypto::Sha3Stream*> pointers;
  for (crypto::Sha3Stream& stream : streams) {
    pointers.push_back(&stream);
  }
  for (int step = 0; step < 40; ++step) {
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < messages.size(); ++i) {
      pieces.push_back(randomBytes(random, random() % 3 == 0 ? random() % 300 : random() % 9000));
      messages[i] += pieces.back();
    }
    std::vector<std::span<const std::uint8_t>> bytes;
    for (const std::string& piece : pieces) {
      bytes.emplace_back(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size());
    }
    crypto::sha3UpdateTogether(pointers, bytes, GetParam());
  }
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(streams[i].currentHex(), crypto::sha3Hex(messages[i]));
  }
}

TEST_P(Sha3Batch, FilesGiveWhatEachGivesAloneAndFailuresStayTheirOwn) {
  const testing_support::TempDir dir;
  std::mt19937_64 random(3);
  std::vector<std::string> paths;
  // The large file goes alone, the others share the lanes.
  std::vector<std::size_t> sizes{0, 1, 136, 6 << 20, 5000, 65536};
  for (std::size_t i = 0; i < 9; ++i) {
    sizes.push_back(70000 + 137 * i);
  }
  for (const std::size_t size : sizes) {
    paths.push_back(dir / std::to_string(paths.size()));
    testing_support::writeFile(paths.back(), randomBytes(random, size));
  }
  ASSERT_EQ(::mkdir((dir / "directory").c_str(), 0700), 0);
  for (const std::string& path : {dir / "missing", dir / "directory", std::string("/dev/null"),
                                  std::string("/proc/self/mem")}) {
    paths.insert(paths.begin() + 3, path);
  }
  const std::vector<crypto::Sha3FileOutcome> outcomes =
      crypto::sha3FilesHexIfRegular(paths, GetParam());
  ASSERT_EQ(outcomes.size(), paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    try {
      const std::string digest = crypto::sha3FileHexIfRegular(paths[i]);
      EXPECT_FALSE(outcomes[i].error.has_value());
      EXPECT_EQ(outcomes[i].digest, digest);
      EXPECT_EQ(outcomes[i].bytes, digest.empty() ? 0 : std::filesystem::file_size(paths[i]));
    } catch (const common::IOError& e) {
      // recovery point: the batch must give this same error as the file's outcome.
      ASSERT_TRUE(outcomes[i].error.has_value());
      EXPECT_EQ(outcomes[i].error->message(), e.message());
    }
  }
}

TEST_P(Sha3Batch, AFileSwappedForANamedPipeSinceItWasListedIsNotWaitedFor) {
  const testing_support::TempDir dir;
  const std::string pipe = dir / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const std::vector<crypto::Sha3FileOutcome> outcomes =
      crypto::sha3FilesHex({{pipe, 100, {}}}, GetParam());
  ASSERT_TRUE(outcomes[0].error.has_value());
  EXPECT_EQ(outcomes[0].error->message(), "cannot open: " + pipe);
}

TOLVEX_LANE_PATHS(Sha3Batch);

TEST(LaneWidthSetting, NarrowsTheWidestPathAndRejectsOtherValues) {
  const LaneWidth widest = crypto::widestLaneWidth();
  EXPECT_EQ(crypto::laneWidthFromSetting(nullptr), widest);
  EXPECT_EQ(crypto::laneWidthFromSetting(""), widest);
  EXPECT_EQ(crypto::laneWidthFromSetting("1"), LaneWidth::kOne);
  EXPECT_EQ(crypto::laneWidthFromSetting("4"), std::min(LaneWidth::kFour, widest));
  EXPECT_EQ(crypto::laneWidthFromSetting("8"), widest);
  for (const char* bad : {"2", "08", "eight", " 4"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(crypto::laneWidthFromSetting(bad), common::ValueError);
  }
}

}  // namespace
