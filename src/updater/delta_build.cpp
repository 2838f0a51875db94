#include "updater/delta_build.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/sha3.hpp"

namespace updater {
namespace {

// A range request's size: large enough that its round trip is small next to
// its bytes, small enough that several run at once within the window.
constexpr std::int64_t kRangeBytes = std::int64_t{4} << 20;
// Fetched bytes that may wait in memory for their turn, per file: what keeps
// memory independent of the file's size.
constexpr std::int64_t kWindowBytes = std::int64_t{16} << 20;
// Bytes copied from the old file by one job, so that a run of unchanged bytes
// does not hold a worker for long.
constexpr std::int64_t kCopyBytesPerJob = std::int64_t{8} << 20;
constexpr std::size_t kReadBytes = std::size_t{1} << 20;
// The staged file's write buffer, as a download has.
constexpr std::size_t kWriteBufferBytes = std::size_t{256} * 1024;

}  // namespace

// What the appends share: used by one job at a time, and kept alive by the job
// that runs when the build is dropped, so the staged file keeps what it got.
struct DeltaBuild::Writer {
  Writer(const std::string& oldFile, const std::string& pendingPath)
      : path(pendingPath),
        file(pendingPath, kWriteBufferBytes),
        old(common::openRegularFile(oldFile, O_RDONLY)),
        oldPath(oldFile) {}

  void hashPrefixOnce() {
    if (prefix > 0) {
      const common::FileDescriptor staged = common::openRegularFile(path, O_RDONLY);
      digest.updateFromFile(staged.get(), prefix, path);
      prefix = 0;
    }
  }

  void append(std::string_view bytes) {
    file.append(bytes);
    digest.update(bytes);
  }

  void copy(std::int64_t oldOffset, std::int64_t length) {
    std::string buffer(kReadBytes, '\0');
    while (length > 0) {
      const auto want = static_cast<std::size_t>(std::min<std::int64_t>(length, kReadBytes));
      const ssize_t got = ::pread(old.get(), buffer.data(), want, oldOffset);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        common::throwReadError(errno);
      }
      if (got == 0) {
        throw common::IOError(oldPath + " ended early");
      }
      append(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
      oldOffset += got;
      length -= got;
    }
  }

  const std::string path;
  common::AppendingFile file;
  const common::FileDescriptor old;
  const std::string oldPath;
  crypto::Sha3Stream digest;
  std::int64_t prefix = 0;  // bytes the staged file held, still to be hashed
};

DeltaBuild::DeltaBuild(delta::DeltaPlan plan, const std::string& oldPath,
                       const std::string& pendingPath)
    : plan_(std::move(plan)), writer_(std::make_shared<Writer>(oldPath, pendingPath)) {
  std::int64_t end = 0;
  for (const delta::Segment& segment : plan_.segments) {
    TOLVEX_CHECK(segment.offset == end && segment.length > 0, "a delta plan with a gap");
    end += segment.length;
  }
  TOLVEX_CHECK(end == plan_.fileSize, "a delta plan that does not cover its file");
  written_ = writer_->file.initialSize();
  if (written_ > plan_.fileSize) {
    writer_->file.truncate();
    written_ = 0;
  }
  writer_->prefix = written_;
  while (segment_ < plan_.segments.size() &&
         plan_.segments[segment_].offset + plan_.segments[segment_].length <= written_) {
    ++segment_;
  }
  for (std::size_t index = segment_; index < plan_.segments.size(); ++index) {
    const delta::Segment& segment = plan_.segments[index];
    if (!segment.fetched()) {
      continue;
    }
    const std::int64_t segmentEnd = segment.offset + segment.length;
    for (std::int64_t first = std::max(segment.offset, written_); first < segmentEnd;
         first += kRangeBytes) {
      toFetch_.push_back({first, std::min(kRangeBytes, segmentEnd - first)});
      bytesToFetch_ += toFetch_.back().length;
    }
  }
}

DeltaBuild::~DeltaBuild() = default;

std::optional<DeltaBuild::Range> DeltaBuild::nextFetch() {
  if (toFetch_.empty() || (inWindow_ > 0 && inWindow_ + toFetch_.front().length > kWindowBytes)) {
    return std::nullopt;
  }
  const Range range = toFetch_.front();
  toFetch_.pop_front();
  inWindow_ += range.length;
  return range;
}

void DeltaBuild::arrived(std::int64_t first, std::string bytes) {
  fetched_ += static_cast<std::int64_t>(bytes.size());
  ready_.emplace(first, std::move(bytes));
}

std::function<DeltaBuild::Appended()> DeltaBuild::nextAppend() {
  if (appending_ || complete_) {
    return {};
  }
  const std::shared_ptr<Writer> writer = writer_;
  if (written_ == plan_.fileSize) {
    appending_ = true;
    return [writer] {
      Appended result;
      try {
        writer->hashPrefixOnce();
        writer->file.close();
        result.digest = writer->digest.finishHex();
      } catch (const common::Error&) {
        // recovery point: the loop decides what a failed build comes to
        result.error = std::current_exception();
      }
      return result;
    };
  }
  const delta::Segment& segment = plan_.segments[segment_];
  const std::int64_t within = written_ - segment.offset;
  std::function<void()> work;
  Appended result;
  if (segment.fetched()) {
    const auto found = ready_.find(written_);
    if (found == ready_.end()) {
      return {};
    }
    auto bytes = std::make_shared<std::string>(std::move(found->second));
    ready_.erase(found);
    result.bytes = static_cast<std::int64_t>(bytes->size());
    work = [writer, bytes] { writer->append(*bytes); };
  } else {
    result.bytes = std::min(segment.length - within, kCopyBytesPerJob);
    result.copied = true;
    work = [writer, from = segment.oldOffset + within, length = result.bytes] {
      writer->copy(from, length);
    };
  }
  written_ += result.bytes;
  if (written_ == segment.offset + segment.length) {
    ++segment_;
  }
  appending_ = true;
  return [writer, work = std::move(work), result]() mutable {
    try {
      writer->hashPrefixOnce();
      work();
    } catch (const common::Error&) {
      // recovery point: the loop decides what a failed build comes to
      result.error = std::current_exception();
    }
    return result;
  };
}

void DeltaBuild::appended(const Appended& result) {
  appending_ = false;
  if (result.copied) {
    reused_ += result.bytes;
  } else {
    inWindow_ -= result.bytes;
  }
  if (!result.digest.empty() || (result.error && written_ == plan_.fileSize)) {
    complete_ = true;
  }
}

}  // namespace updater
