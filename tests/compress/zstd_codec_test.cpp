#include "compress/zstd_codec.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/errors.hpp"

namespace compress {
namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    c = static_cast<char>(engine());
  }
  return bytes;
}

// Text that compresses, as most of a software tree does.
std::string textBytes(std::size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string text;
  while (text.size() < size) {
    text += "line " + std::to_string(engine() % 5000) + " of the file\n";
  }
  text.resize(size);
  return text;
}

std::optional<std::string> copyOf(const std::string& file, std::size_t piece) {
  CopyWriter writer(static_cast<std::int64_t>(file.size()));
  for (std::size_t at = 0; at < file.size(); at += piece) {
    writer.add(bytesOf(file).subspan(at, std::min(piece, file.size() - at)));
  }
  return writer.finish();
}

TEST(CopyWriter, KeepsCopiesThatPayWhateverThePieces) {
  // The second is shorter than the sample that decides whether to compress.
  for (const std::size_t size : {std::size_t{300'000}, std::size_t{20'000}}) {
    const std::string text = textBytes(size, 1);
    for (const std::size_t piece : {std::size_t{1000}, std::size_t{1} << 20}) {
      const std::optional<std::string> copy = copyOf(text, piece);
      ASSERT_TRUE(copy.has_value());
      EXPECT_LT(copy->size(), text.size() / 2);
      EXPECT_EQ(decompressCopy(bytesOf(*copy), 300'000), text);
    }
  }
  EXPECT_FALSE(copyOf(randomBytes(300'000, 2), 4096).has_value());
  CopyWriter grew(1000);  // the file changed size
  grew.add(bytesOf(textBytes(2000, 4)));
  EXPECT_FALSE(grew.finish().has_value());
}

TEST(Patch, MakesTheNewVersionFromTheOldAndRefusesWhatItMayNotWrite) {
  const std::string old = textBytes(200'000, 5);
  std::string next = old;
  next.insert(1000, "a few new bytes");
  next.replace(150'000, 5000, randomBytes(5000, 6));
  const std::string patch = makePatch(bytesOf(old), bytesOf(next));
  EXPECT_LT(patch.size(), 8000u);
  std::string made;
  const auto append = [&made](std::span<const std::uint8_t> bytes) {
    made.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  FrameReader reader(bytesOf(old), static_cast<std::int64_t>(next.size()));
  reader.add(bytesOf(patch), append);
  EXPECT_EQ(reader.finish(), static_cast<std::int64_t>(next.size()));
  EXPECT_EQ(made, next);

  // A bomb, a frame followed by more, a cut frame, a wrong reference.
  const std::string bomb = *copyOf(std::string(1'000'000, 'x'), 1 << 20);
  EXPECT_THROW(decompressCopy(bytesOf(bomb), 999'999), common::ValueError);
  EXPECT_THROW(decompressCopy(bytesOf(bomb + bomb), 2'000'000), common::ValueError);
  EXPECT_THROW(decompressCopy(bytesOf(bomb.substr(0, bomb.size() - 1)), 1'000'000),
               common::ValueError);
  const std::string other = textBytes(200'000, 7);  // outlives its reader
  FrameReader wrong(bytesOf(other), static_cast<std::int64_t>(next.size()));
  made.clear();
  try {
    wrong.add(bytesOf(patch), append);
    wrong.finish();
  } catch (const common::ValueError&) {
  }
  EXPECT_NE(made, next);
}

}  // namespace
}  // namespace compress
