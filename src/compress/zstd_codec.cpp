#include "compress/zstd_codec.hpp"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <utility>

#include "common/errors.hpp"

namespace compress {
namespace {

// The first bytes of a file are compressed fast on their own: when even they
// barely shrink, the file is most likely incompressible (media, archives,
// random data) and compressing it hard would cost the publisher much for
// nothing. A share of what a copy must save suffices here, since the fast
// level compresses less than the copy's.
constexpr std::size_t kSampleBytes = std::size_t{128} << 10;
constexpr int kSampleLevel = 1;
constexpr std::int64_t kSampleLeastSavedShare = 33;

// A copy's window and match tables stay at 4 MiB entries or below, whatever
// its size: several copies are written at once, one per file that the lanes
// hash together, and the tables of level 19 for a large file would take some
// 90 MB each. Long-range matches within a file are rare; between versions
// (patches) they are what counts, and patches keep the full window.
constexpr int kCopyWindowLog = 22;

struct CCtxFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
using CCtxPtr = std::unique_ptr<ZSTD_CCtx, CCtxFree>;
struct DCtxFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

void check(std::size_t result, const char* what) {
  if (ZSTD_isError(result)) {
    throw common::IOError(std::string(what) + ": " + ZSTD_getErrorName(result));
  }
}

void setParameter(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value) {
  check(ZSTD_CCtx_setParameter(context, parameter, value), "cannot set up compression");
}

[[noreturn]] void badFrame(std::string_view what) {
  throw common::ValueError("bad compressed file: " + std::string(what));
}

}  // namespace

struct CopyWriter::Stream {
  CCtxPtr context{ZSTD_createCCtx()};
};

CopyWriter::CopyWriter(std::int64_t fileSize) : fileSize_(fileSize) {}

CopyWriter::~CopyWriter() = default;

void CopyWriter::add(std::span<const std::uint8_t> bytes) {
  added_ += static_cast<std::int64_t>(bytes.size());
  if (gaveUp_ || added_ > fileSize_) {
    gaveUp_ = true;
    stream_.reset();
    return;
  }
  if (!stream_) {
    const std::size_t taken = std::min(bytes.size(), kSampleBytes - sample_.size());
    sample_.append(reinterpret_cast<const char*>(bytes.data()), taken);
    bytes = bytes.subspan(taken);
    if (sample_.size() < kSampleBytes && added_ < fileSize_) {
      return;
    }
    // A file no longer than the sample is one frame already: ending it again
    // would append a second, empty one.
    const bool whole = sample_.size() == static_cast<std::size_t>(fileSize_);
    startStream();
    if (gaveUp_ || whole) {
      return;
    }
  }
  compress(bytes, added_ == fileSize_);
}

void CopyWriter::startStream() {
  std::string probe(ZSTD_compressBound(sample_.size()), '\0');
  const std::size_t probed =
      ZSTD_compress(probe.data(), probe.size(), sample_.data(), sample_.size(), kSampleLevel);
  const auto sampled = static_cast<std::int64_t>(sample_.size());
  if (ZSTD_isError(probed) ||
      static_cast<std::int64_t>(probed) > sampled - sampled / kSampleLeastSavedShare) {
    gaveUp_ = true;
    sample_ = std::string();
    return;
  }
  stream_ = std::make_unique<Stream>();
  ZSTD_CCtx* context = stream_->context.get();
  if (context == nullptr) {
    throw common::IOError("cannot set up compression: out of memory");
  }
  setParameter(context, ZSTD_c_compressionLevel, kLevel);
  check(ZSTD_CCtx_setPledgedSrcSize(context, static_cast<unsigned long long>(fileSize_)),
        "cannot set up compression");
  const int sizeLog =
      std::max(10, static_cast<int>(std::bit_width(static_cast<std::uint64_t>(fileSize_ - 1))));
  const int windowLog = std::min(kCopyWindowLog, sizeLog);
  setParameter(context, ZSTD_c_windowLog, windowLog);
  setParameter(context, ZSTD_c_hashLog, std::min(kCopyWindowLog, windowLog + 1));
  setParameter(context, ZSTD_c_chainLog, std::min(kCopyWindowLog, windowLog + 1));
  std::string sample = std::move(sample_);
  sample_ = std::string();
  compress({reinterpret_cast<const std::uint8_t*>(sample.data()), sample.size()},
           added_ == fileSize_ && sample.size() == static_cast<std::size_t>(fileSize_));
}

void CopyWriter::compress(std::span<const std::uint8_t> bytes, bool last) {
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  const ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
  for (;;) {
    const std::size_t used = out_.size();
    out_.resize(used + ZSTD_CStreamOutSize());
    ZSTD_outBuffer out{out_.data() + used, out_.size() - used, 0};
    const std::size_t left = ZSTD_compressStream2(stream_->context.get(), &out, &in, mode);
    check(left, "cannot compress");
    out_.resize(used + out.pos);
    if (last ? left == 0 : in.pos == in.size) {
      break;
    }
  }
}

std::optional<std::string> CopyWriter::finish() {
  const auto copied = static_cast<std::int64_t>(out_.size());
  if (gaveUp_ || added_ != fileSize_ || !stream_ ||
      copied > fileSize_ - fileSize_ / kLeastSavedShare) {
    return std::nullopt;
  }
  stream_.reset();
  return std::move(out_);
}

std::string makePatch(std::span<const std::uint8_t> from, std::span<const std::uint8_t> to) {
  const CCtxPtr owner(ZSTD_createCCtx());
  ZSTD_CCtx* context = owner.get();
  if (context == nullptr) {
    throw common::IOError("cannot set up compression: out of memory");
  }
  // The window reaches from the end of the new version back over the whole
  // reference, as zstd's own patch mode sets it.
  const auto both = static_cast<std::uint64_t>(from.size() + to.size());
  const int windowLog = std::clamp(static_cast<int>(std::bit_width(both)), 10, kMaximumWindowLog);
  setParameter(context, ZSTD_c_compressionLevel, CopyWriter::kLevel);
  setParameter(context, ZSTD_c_windowLog, windowLog);
  setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
  check(ZSTD_CCtx_refPrefix(context, from.data(), from.size()), "cannot set up compression");
  std::string patch(ZSTD_compressBound(to.size()), '\0');
  const std::size_t size =
      ZSTD_compress2(context, patch.data(), patch.size(), to.data(), to.size());
  check(size, "cannot compress");
  patch.resize(size);
  return patch;
}

std::string compressFrame(std::span<const std::uint8_t> bytes) {
  std::string frame(ZSTD_compressBound(bytes.size()), '\0');
  const std::size_t size =
      ZSTD_compress(frame.data(), frame.size(), bytes.data(), bytes.size(), CopyWriter::kLevel);
  check(size, "cannot compress");
  frame.resize(size);
  return frame;
}

struct FrameReader::Context {
  std::unique_ptr<ZSTD_DCtx, DCtxFree> decoder{ZSTD_createDCtx()};
};

FrameReader::FrameReader(std::span<const std::uint8_t> reference, std::int64_t maxOutput)
    : context_(std::make_unique<Context>()), maxOutput_(maxOutput) {
  ZSTD_DCtx* decoder = context_->decoder.get();
  // No wider than what reaches over the reference and the whole output, as
  // makePatch and copies make it: a frame that asks for more is refused
  // before its window is allocated.
  const auto reach = static_cast<std::uint64_t>(maxOutput) + reference.size();
  const int windowLog = std::clamp(static_cast<int>(std::bit_width(reach)), 10, kMaximumWindowLog);
  if (decoder == nullptr ||
      ZSTD_isError(ZSTD_DCtx_setParameter(decoder, ZSTD_d_windowLogMax, windowLog)) ||
      (!reference.empty() &&
       ZSTD_isError(ZSTD_DCtx_refPrefix(decoder, reference.data(), reference.size())))) {
    throw common::IOError("cannot set up decompression");
  }
  buffer_.resize(ZSTD_DStreamOutSize());
}

FrameReader::~FrameReader() = default;

void FrameReader::add(std::span<const std::uint8_t> bytes, const Sink& sink) {
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  // Until every byte is taken and the decoder holds nothing back, which a
  // full output buffer may mean it does.
  bool full = true;
  while (in.pos < in.size || (full && !ended_)) {
    if (ended_) {
      badFrame("bytes after its end");
    }
    ZSTD_outBuffer out{buffer_.data(), buffer_.size(), 0};
    const std::size_t left = ZSTD_decompressStream(context_->decoder.get(), &out, &in);
    if (ZSTD_isError(left)) {
      badFrame(ZSTD_getErrorName(left));
    }
    if (static_cast<std::int64_t>(out.pos) > maxOutput_ - output_) {
      badFrame("longer than its file");
    }
    output_ += static_cast<std::int64_t>(out.pos);
    if (out.pos > 0) {
      sink({reinterpret_cast<const std::uint8_t*>(buffer_.data()), out.pos});
    }
    full = out.pos == out.size;
    ended_ = left == 0;
  }
}

std::int64_t FrameReader::finish() const {
  if (!ended_) {
    badFrame("it ends early");
  }
  return output_;
}

std::string decompressCopy(std::span<const std::uint8_t> copy, std::int64_t maxOutput) {
  std::string out;
  FrameReader reader({}, maxOutput);
  reader.add(copy, [&out](std::span<const std::uint8_t> bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  });
  reader.finish();
  return out;
}

}  // namespace compress
