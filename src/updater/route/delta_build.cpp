#include "updater/route/delta_build.hpp"

#include <fcntl.h>

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/sha3.hpp"

namespace updater {
namespace {

// Fetched bytes that may wait in memory for their turn, per file: what keeps
// memory independent of the file's size.
constexpr std::int64_t kWindowBytes = std::int64_t{16} << 20;
// Bytes written by one job, at least: a handful of them keep both the writing
// and the hashing busy, in little memory. A job takes every part up to it, so
// that a file changed all over in small blocks costs a few jobs, not a job a
// block (a library of 4.7 MB took 3,000).
constexpr std::int64_t kBytesPerJob = std::int64_t{2} << 20;
// Pieces written but not yet hashed: the writing may run this far ahead.
constexpr std::size_t kPiecesAhead = 2;

}  // namespace

// The staged file and the old one, used by one writing job at a time, and kept
// alive by a job that runs when the build is dropped, so the staged file keeps
// what it got.
struct DeltaBuild::Writer {
  Writer(const common::FileAt& oldFile, const common::FileAt& pending)
      : file(pending, kStagedWriteBufferBytes),
        old(common::openRegularFile(oldFile, O_RDONLY)),
        oldPath(oldFile.shown) {}

  // Appends `length` bytes of the old file from `oldOffset` to `piece`.
  void copy(std::int64_t oldOffset, std::int64_t length, std::string& piece) const {
    const std::size_t at = piece.size();
    piece.resize(at + static_cast<std::size_t>(length));
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(piece.data() + at),
                                        static_cast<std::size_t>(length));
    if (common::readAt(old.get(), oldOffset, bytes) < bytes.size()) {
      throw common::IOError(oldPath + " ended early");
    }
  }

  common::AppendingFile file;
  const common::FileDescriptor old;
  const std::string oldPath;
};

// The digest, used by one hashing job at a time.
struct DeltaBuild::Hasher {
  common::FileAt pending;
  std::int64_t prefix = 0;  // bytes the staged file held, still to be hashed
  crypto::Sha3Stream digest;

  void hash(const Pieces& pieces) {
    if (prefix > 0) {
      const common::FileDescriptor staged = common::openRegularFile(pending, O_RDONLY);
      digest.updateFromFile(staged.get(), prefix, pending.shown);
      prefix = 0;
    }
    for (const auto& piece : pieces) {
      digest.update(*piece);
    }
  }
};

DeltaBuild::DeltaBuild(delta::DeltaPlan plan, const common::FileAt& oldFile,
                       const common::FileAt& pending)
    : plan_(std::move(plan)),
      writer_(std::make_shared<Writer>(oldFile, pending)),
      hasher_(std::make_shared<Hasher>()) {
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
  hasher_->pending = pending;
  hasher_->prefix = written_;
  prefixIssued_ = written_ == 0;
  while (segment_ < plan_.segments.size() &&
         plan_.segments[segment_].offset + plan_.segments[segment_].length <= written_) {
    ++segment_;
  }
  fetchSegment_ = segment_;
  fetchFrom_ = written_;
  for (std::size_t index = segment_; index < plan_.segments.size(); ++index) {
    const delta::Segment& segment = plan_.segments[index];
    if (segment.fetched()) {
      bytesToFetch_ += segment.offset + segment.length - std::max(segment.offset, written_);
    }
  }
}

DeltaBuild::~DeltaBuild() = default;

void DeltaBuild::stopWriting() {
  TOLVEX_CHECK(!writing_, "the staged file is being written");
  closed_ = true;
  try {
    writer_->file.close();
  } catch (const common::Error&) {
    // recovery point: the download that takes over meets a lasting fault itself
  }
}

std::optional<DeltaBuild::Range> DeltaBuild::nextFetch(std::int64_t budget) {
  // Ranges are cut as they are asked for: a plan may fetch terabytes.
  for (; fetchSegment_ < plan_.segments.size(); ++fetchSegment_) {
    const delta::Segment& segment = plan_.segments[fetchSegment_];
    const std::int64_t first = std::max(segment.offset, fetchFrom_);
    const std::int64_t end = segment.offset + segment.length;
    if (!segment.fetched() || first >= end) {
      continue;
    }
    const Range range{first, std::min(kBytesPerRangeRequest, end - first)};
    if (range.length > budget || (inWindow_ > 0 && inWindow_ + range.length > kWindowBytes)) {
      return std::nullopt;
    }
    fetchFrom_ = first + range.length;
    inWindow_ += range.length;
    return range;
  }
  return std::nullopt;
}

void DeltaBuild::arrived(std::int64_t first, std::string bytes) {
  fetched_ += static_cast<std::int64_t>(bytes.size());
  ready_.emplace(first, std::move(bytes));
}

std::vector<std::function<DeltaBuild::Step()>> DeltaBuild::startableJobs() {
  std::vector<std::function<Step()>> jobs;
  if (auto job = nextWrite()) {
    writing_ = true;
    jobs.push_back(std::move(job));
  }
  if (auto job = nextHash()) {
    hashing_ = true;
    jobs.push_back(std::move(job));
  }
  return jobs;
}

std::function<DeltaBuild::Step()> DeltaBuild::nextWrite() {
  if (writing_ || closed_ || toHash_.size() >= kPiecesAhead) {
    return {};
  }
  const std::shared_ptr<Writer> writer = writer_;
  // Each job hands its failure back: the loop decides what a failed build comes to.
  const auto guarded = [](Step step, auto work) {
    return [step, work = std::move(work)]() mutable {
      try {
        work(step);
      } catch (const common::Error&) {
        // recovery point: handed back to the loop with the step
        step.error = std::current_exception();
      }
      return step;
    };
  };
  Step step;
  step.wrote = true;
  if (written_ == plan_.fileSize) {
    closing_ = true;
    return guarded(step, [writer](Step&) { writer->file.close(); });
  }
  // The parts of the staged file that come next and are at hand: bytes that
  // arrived, or bytes of the old file.
  struct Part {
    std::shared_ptr<const std::string> fetched;
    std::int64_t oldOffset = 0;
    std::int64_t length = 0;
  };
  std::vector<Part> parts;
  while (step.bytes < kBytesPerJob && written_ < plan_.fileSize) {
    const delta::Segment& segment = plan_.segments[segment_];
    const std::int64_t within = written_ - segment.offset;
    Part part;
    if (segment.fetched()) {
      const auto found = ready_.find(written_);
      if (found == ready_.end()) {
        break;
      }
      part.fetched = std::make_shared<const std::string>(std::move(found->second));
      part.length = static_cast<std::int64_t>(part.fetched->size());
      ready_.erase(found);
    } else {
      part.oldOffset = segment.oldOffset + within;
      part.length = std::min(segment.length - within, kBytesPerJob - step.bytes);
      step.copiedBytes += part.length;
    }
    step.bytes += part.length;
    written_ += part.length;
    if (written_ == segment.offset + segment.length) {
      ++segment_;
    }
    parts.push_back(std::move(part));
  }
  if (parts.empty()) {
    return {};
  }
  return guarded(step, [writer, parts = std::move(parts)](Step& done) {
    std::shared_ptr<std::string> copied;  // the old-file bytes since the last fetched ones
    for (const Part& part : parts) {
      if (part.fetched) {
        done.pieces.push_back(part.fetched);
        copied.reset();
        continue;
      }
      if (!copied) {
        copied = std::make_shared<std::string>();
        done.pieces.push_back(copied);
      }
      writer->copy(part.oldOffset, part.length, *copied);
    }
    for (const auto& piece : done.pieces) {
      writer->file.append(*piece);
    }
  });
}

std::function<DeltaBuild::Step()> DeltaBuild::nextHash() {
  // The first job hashes what the staged file held before anything else.
  if (hashing_ || (toHash_.empty() && prefixIssued_)) {
    return {};
  }
  prefixIssued_ = true;
  Pieces pieces;
  if (!toHash_.empty()) {
    pieces = std::move(toHash_.front());
    toHash_.pop_front();
  }
  return [hasher = hasher_, pieces = std::move(pieces)] {
    Step step;
    for (const auto& piece : pieces) {
      step.bytes += static_cast<std::int64_t>(piece->size());
    }
    try {
      hasher->hash(pieces);
    } catch (const common::Error&) {
      // recovery point: handed back to the loop with the step
      step.error = std::current_exception();
    }
    return step;
  };
}

void DeltaBuild::finished(const Step& step) {
  if (step.wrote) {
    writing_ = false;
    if (closing_) {
      closed_ = true;
    } else {
      reused_ += step.copiedBytes;
      inWindow_ -= step.bytes - step.copiedBytes;
    }
    if (!step.pieces.empty() && !step.error) {
      toHash_.push_back(step.pieces);
    }
  } else {
    hashing_ = false;
  }
  if (closed_ && !hashing_ && toHash_.empty() && prefixIssued_ && !step.error) {
    digest_ = hasher_->digest.finishHex();
  }
}

}  // namespace updater
