#include "updater/staging/streaming_digest.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "common/work_queue.hpp"
#include "crypto/sha3.hpp"
#include "support/temp_dir.hpp"

namespace {

// `size` bytes that differ from block to block.
std::string bytes(std::size_t size, char seed) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    text[i] = static_cast<char>(seed + i * 7 + i / 4096);
  }
  return text;
}

TEST(StreamingDigest, CoversExactlyWhatTheFileHoldsResumedOrStartedOver) {
  struct Case {
    const char* name;
    std::string existing;               // in the file when the download starts
    bool startOver;                     // the server sent the whole file instead
    std::vector<std::string> appended;  // what the download then appends
    bool buffered;                      // the appended bytes reach the file only before finish()
  };
  const std::string big = bytes(3 << 20, 'b');  // many jobs' worth
  const Case cases[] = {
      {"fresh", "", false, {"ab", "", "cd"}, false},
      {"resumed", bytes(700000, 'r'), false, {bytes(5000, 's'), bytes(300000, 't')}, false},
      {"restarted", bytes(700000, 'r'), true, {bytes(300000, 't')}, false},
      {"large, in small pieces", "", false, std::vector<std::string>(96, bytes(32768, 'x')), false},
      {"large at once", "x", false, {big}, false},
      {"large, buffered", bytes(1000, 'r'), false, std::vector<std::string>(40, bytes(100000, 'y')),
       true},
      {"nothing at all", "", false, {}, false},
  };
  for (const std::size_t workers : {1U, 3U}) {
    common::WorkQueue queue(workers);
    updater::DigestLanes lanes(queue, crypto::widestLaneWidth(), workers);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", workers " + std::to_string(workers));
      const testing_support::TempDir dir;
      const std::string path = dir / "f.tolvex-pending";
      testing_support::writeFile(path, c.existing);
      std::string file = c.existing;
      std::promise<std::string> result;
      {
        updater::StreamingDigest digest(lanes, path, static_cast<std::int64_t>(c.existing.size()));
        if (c.startOver) {
          file.clear();
          testing_support::writeFile(path, file);
          digest.startOver();
        }
        for (const std::string& piece : c.appended) {
          file += piece;
          if (!c.buffered) {
            std::ofstream(path, std::ios::binary | std::ios::app) << piece;
          }
          digest.append(piece);
        }
        if (c.buffered) {
          testing_support::writeFile(path, file);
        }
        digest.finish([&result](std::string text, common::FileIdentity /*identity*/,
                                std::exception_ptr error) {
          EXPECT_EQ(error, nullptr);
          result.set_value(std::move(text));
        });
        EXPECT_EQ(result.get_future().get(), crypto::sha3Hex(file));
      }
    }
  }
}

// Two workers, their lanes, and a directory for the staged files.
class DigestOnTwoWorkers : public ::testing::Test {
 protected:
  common::WorkQueue queue{2};
  updater::DigestLanes lanes{queue, crypto::widestLaneWidth(), 2};
  const testing_support::TempDir dir;
};

TEST_F(DigestOnTwoWorkers, DigestsUnderwayTogetherEachCoverTheirOwnFile) {
  // Eight downloads, as many as run at once, of lengths that leave lanes idle
  // at different blocks; whether they meet in lanes, the digests are the same.
  std::vector<std::string> paths;
  std::vector<std::string> files;
  std::vector<std::unique_ptr<updater::StreamingDigest>> digests;
  for (char name = 'a'; name < 'i'; ++name) {
    paths.push_back(dir / std::string(1, name));
    testing_support::writeFile(paths.back(), "");
    files.emplace_back();
    digests.push_back(std::make_unique<updater::StreamingDigest>(lanes, paths.back(), 0));
  }
  for (std::size_t piece = 0; piece < 12; ++piece) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string bytesOfPiece = bytes(100000 + i * 9001 + piece * 77, static_cast<char>(i));
      files[i] += bytesOfPiece;
      std::ofstream(paths[i], std::ios::binary | std::ios::app) << bytesOfPiece;
      digests[i]->append(bytesOfPiece);
    }
  }
  std::vector<std::promise<std::string>> results(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    digests[i]->finish(
        [&result = results[i]](std::string text, common::FileIdentity, std::exception_ptr) {
          result.set_value(std::move(text));
        });
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(results[i].get_future().get(), crypto::sha3Hex(files[i])) << i;
  }
}

TEST_F(DigestOnTwoWorkers, GoesOnFromAPrefixHashedBeforeWithoutReadingItAgain) {
  const std::string path = dir / "f.tolvex-pending";
  // The file's first bytes differ from those hashed: only the tail is read.
  testing_support::writeFile(path, "XXXXtail");
  crypto::Sha3Stream prefix;
  prefix.update("abcd");
  const common::FileIdentity identity =
      common::identityOf(common::openRegularFile(path, O_RDONLY).get());
  std::promise<std::string> result;
  updater::StreamingDigest digest(lanes, path, 4, std::move(prefix), identity);
  digest.append("tail");
  digest.finish([&result](std::string text, common::FileIdentity, std::exception_ptr) {
    result.set_value(std::move(text));
  });
  EXPECT_EQ(result.get_future().get(), crypto::sha3Hex("abcdtail"));
}

TEST_F(DigestOnTwoWorkers, AFileThatShrankIsAnErrorNotADigest) {
  const std::string path = dir / "f.tolvex-pending";
  testing_support::writeFile(path, "short");
  std::promise<std::exception_ptr> failure;
  updater::StreamingDigest digest(lanes, path, 1000);
  digest.finish(
      [&failure](std::string text, common::FileIdentity /*identity*/, std::exception_ptr error) {
        EXPECT_EQ(text, "");
        failure.set_value(error);
      });
  EXPECT_NE(failure.get_future().get(), nullptr);
}

}  // namespace
