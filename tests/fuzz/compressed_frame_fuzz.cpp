// A compressed copy or patch from a server, read against a fixed reference in
// two pieces: whatever it holds, no more than the bound ever reaches the sink.
#include <string>

#include "common/errors.hpp"
#include "compress/zstd_codec.hpp"
#include "fuzz_input.hpp"

namespace {

constexpr std::int64_t kMaxOutput = 64 << 10;

// 16 KiB of repeated text: the seeds hold copies and patches made against it.
std::string makeReference() {
  std::string bytes;
  for (int line = 0; bytes.size() < (16 << 10); ++line) {
    bytes += "reference line " + std::to_string(line) + "\n";
  }
  bytes.resize(16 << 10);
  return bytes;
}

const std::string kReference = makeReference();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const std::size_t cut = size / 2;
  std::int64_t written = 0;
  const auto sink = [&written](std::span<const std::uint8_t> bytes) {
    written += static_cast<std::int64_t>(bytes.size());
    TOLVEX_FUZZ_EXPECT(written <= kMaxOutput);
  };
  try {
    compress::FrameReader reader(
        {reinterpret_cast<const std::uint8_t*>(kReference.data()), kReference.size()}, kMaxOutput);
    reader.add(input.first(cut), sink);
    reader.add(input.subspan(cut), sink);
    TOLVEX_FUZZ_EXPECT(reader.finish() == written);
  } catch (const common::ValueError&) {
    // not a frame this client takes: it falls back to another way
  }
  return 0;
}
