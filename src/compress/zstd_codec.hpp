#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace compress {

// The widest zstd window that a patch is made with or a frame may ask for, and
// so what a reader allocates at most for one: a patch's window reaches over
// both versions, and a publisher patches files of up to 64 MiB.
inline constexpr int kMaximumWindowLog = 27;

// The compressed copy of a file, made from its bytes as they are read for its
// digest, in pieces of any length (the one read serves both). A file that
// shows early it does not compress by a real margin is given up on, so that
// incompressible data costs next to nothing. The copy is one zstd frame that
// records the file's size, so `zstd -d` reads it.
class CopyWriter {
 public:
  // A copy must be at least 1 in this many bytes smaller than its file.
  static constexpr std::int64_t kLeastSavedShare = 10;
  // The level of copies and patches: they are made once and fetched by every
  // client, so the publisher's time is well spent on them.
  static constexpr int kLevel = 19;

  explicit CopyWriter(std::int64_t fileSize);
  ~CopyWriter();
  CopyWriter(const CopyWriter&) = delete;
  CopyWriter& operator=(const CopyWriter&) = delete;

  // The next bytes of the file.
  void add(std::span<const std::uint8_t> bytes);
  // The copy, when exactly the file's size was added and it pays; nothing otherwise.
  std::optional<std::string> finish();

 private:
  void startStream();
  void compress(std::span<const std::uint8_t> bytes, bool last);

  struct Stream;
  const std::int64_t fileSize_;
  std::int64_t added_ = 0;
  bool gaveUp_ = false;
  std::string sample_;  // the first bytes, until they show whether compressing pays
  std::unique_ptr<Stream> stream_;
  std::string out_;
};

// The patch that makes `to` from `from`: one zstd frame compressed with `from`
// as its reference (long-distance matching, a window over both), so that
// `zstd -d --patch-from=FROM` reads it. Both at most kMaximumPatchedBytes.
std::string makePatch(std::span<const std::uint8_t> from, std::span<const std::uint8_t> to);

// `bytes` compressed as one zstd frame that records their size, at the level of
// copies, whatever it saves: for the tool's own files that are always served
// compressed. Throws IOError when zstd fails.
std::string compressFrame(std::span<const std::uint8_t> bytes);

// Reads one zstd frame as its bytes come, handing what it decodes to `sink`,
// trusting nothing in it: a frame that asks for a window wider than what
// reaches over `reference` and `maxOutput` bytes (2^kMaximumWindowLog at
// most), decodes to more than `maxOutput` bytes, is followed by
// anything, or is damaged ends with ValueError "bad compressed file: WHAT".
// `reference` (a patch's earlier version, possibly mapped) must outlive it.
class FrameReader {
 public:
  using Sink = std::function<void(std::span<const std::uint8_t>)>;
  FrameReader(std::span<const std::uint8_t> reference, std::int64_t maxOutput);
  ~FrameReader();
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // The next compressed bytes.
  void add(std::span<const std::uint8_t> bytes, const Sink& sink);
  // The frame ended with the last bytes added: else ValueError. Returns the bytes decoded.
  std::int64_t finish() const;

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  const std::int64_t maxOutput_;
  std::int64_t output_ = 0;
  bool ended_ = false;
  std::string buffer_;
};

// The whole of a compressed copy that the publisher wrote, at most `maxOutput`
// bytes. Throws ValueError as FrameReader does.
std::string decompressCopy(std::span<const std::uint8_t> copy, std::int64_t maxOutput);

}  // namespace compress
