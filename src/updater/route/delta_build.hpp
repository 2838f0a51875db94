#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "delta/delta_plan.hpp"
#include "http/resumable_download.hpp"

namespace updater {

// The most bytes that one range request of a build asks for, and so the
// longest range: the bytes of a build are spread over several connections,
// each of which starts slow (bench/README.md, ranges_bench.sh).
inline constexpr std::int64_t kBytesPerRangeRequest = std::int64_t{512} << 10;

// The write buffer of a staged file that a route builds, as a download has.
inline constexpr std::size_t kStagedWriteBufferBytes = std::size_t{256} * 1024;

// A staged file built from a delta plan: bytes that the old file holds are
// copied from it, the others fetched as ranges, and everything is appended
// strictly in order, so that the staged file is always a prefix of the new
// file that a later run can resume. Its SHA3-256 digest is taken from the same
// bytes as they are appended, by a job of its own, so that writing and hashing
// run on two cores. The loop that drives it asks what to fetch next, hands over
// the ranges that arrived, and runs the jobs it is given on workers. The plan
// is not trusted: the digest decides.
class DeltaBuild {
 public:
  using Range = http::DownloadSet::ByteRange;

  // Bytes in the order they were written: fetched ones as they arrived, and
  // old-file bytes copied together between them.
  using Pieces = std::vector<std::shared_ptr<const std::string>>;

  // What a job did, handed back to the loop.
  struct Step {
    bool wrote = false;  // appended bytes to the staged file (else hashed them)
    std::int64_t bytes = 0;
    std::int64_t copiedBytes = 0;  // of those, the bytes that came from the old file
    Pieces pieces;                 // the bytes written, in order, for hashing
    std::exception_ptr error;
  };

  // Continues the staged file `pending` after the bytes it holds (they are
  // hashed first; a file longer than the plan's starts over), copying blocks
  // of `oldFile`. Throws IOError when either file cannot be opened or is no
  // regular file.
  DeltaBuild(delta::DeltaPlan plan, const common::FileAt& oldFile, const common::FileAt& pending);
  ~DeltaBuild();
  DeltaBuild(const DeltaBuild&) = delete;
  DeltaBuild& operator=(const DeltaBuild&) = delete;

  // The next range to fetch, while the bytes fetched and not yet appended stay
  // within a bounded window and the range is at most `budget` bytes long;
  // nothing otherwise (the range stays next).
  std::optional<Range> nextFetch(std::int64_t budget = std::numeric_limits<std::int64_t>::max());
  // The bytes of a range returned by nextFetch().
  void arrived(std::int64_t first, std::string bytes);

  // The jobs that can start now, for workers: at most one writing and one
  // hashing job run at a time. Each hands its Step to finished().
  std::vector<std::function<Step()>> startableJobs();
  void finished(const Step& step);

  // True while a job writes the staged file: nothing else may touch it then.
  bool writing() const { return writing_; }
  // Once no job writes: puts what is buffered into the staged file and closes
  // it, here and now, so that a download may take the file over at once.
  // Failures are left to that download, which meets them again.
  void stopWriting();
  // The digest text of the staged file once every byte is written and hashed,
  // "" before.
  const std::string& digest() const { return digest_; }
  std::int64_t reusedBytes() const { return reused_; }
  std::int64_t fetchedBytes() const { return fetched_; }
  // The bytes still to fetch when the build started: what the progress line counts.
  std::int64_t bytesToFetch() const { return bytesToFetch_; }

 private:
  struct Writer;
  struct Hasher;
  std::function<Step()> nextWrite();
  std::function<Step()> nextHash();

  const delta::DeltaPlan plan_;
  std::shared_ptr<Writer> writer_;
  std::shared_ptr<Hasher> hasher_;
  std::int64_t written_ = 0;                   // bytes of the staged file, appended or on their way
  std::size_t segment_ = 0;                    // the plan segment that holds byte `written_`
  std::size_t fetchSegment_ = 0;               // the plan segment of the next range to fetch
  std::int64_t fetchFrom_ = 0;                 // where that range starts, at the earliest
  std::map<std::int64_t, std::string> ready_;  // arrived, by their first byte
  std::deque<Pieces> toHash_;                  // written, in order
  std::int64_t inWindow_ = 0;                  // requested and not yet appended
  bool writing_ = false;
  bool hashing_ = false;
  bool prefixIssued_ = false;  // the staged file's earlier bytes are being hashed
  bool closing_ = false;       // the file's last bytes are on their way to disk
  bool closed_ = false;
  std::string digest_;
  std::int64_t reused_ = 0;
  std::int64_t fetched_ = 0;
  std::int64_t bytesToFetch_ = 0;
};

}  // namespace updater
