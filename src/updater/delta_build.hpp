#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "delta/delta_plan.hpp"
#include "http/resumable_download.hpp"

namespace updater {

// A staged file built from a delta plan: bytes that the old file holds are
// copied from it, the others fetched as ranges, and everything is appended
// strictly in order, so that the staged file is always a prefix of the new
// file that a later run can resume. Its SHA3-256 digest is taken as the bytes
// are appended. The loop that drives it asks what to fetch next, hands over
// the ranges that arrived, and runs each append it is given on a worker, one
// at a time. The plan is not trusted: the digest decides.
class DeltaBuild {
 public:
  using Range = http::DownloadSet::ByteRange;

  // What an append did, handed back to the loop.
  struct Appended {
    std::int64_t bytes = 0;   // appended to the staged file
    bool copied = false;      // from the old file, not fetched
    std::string digest;       // of the whole staged file, once the last byte is in
    std::exception_ptr error;
  };

  // Continues the staged file at `pendingPath` after the bytes it holds (they
  // are hashed first; a file longer than the plan's starts over). Throws
  // IOError when either file cannot be opened or is no regular file.
  DeltaBuild(delta::DeltaPlan plan, const std::string& oldPath, const std::string& pendingPath);
  ~DeltaBuild();
  DeltaBuild(const DeltaBuild&) = delete;
  DeltaBuild& operator=(const DeltaBuild&) = delete;

  // The next range to fetch, while the bytes fetched and not yet appended stay
  // within a bounded window; nothing otherwise.
  std::optional<Range> nextFetch();
  // The bytes of a range returned by nextFetch().
  void arrived(std::int64_t first, std::string bytes);

  // The next append, when none is running and its bytes are at hand: a job for
  // a worker. Nothing otherwise, also once the build is complete.
  std::function<Appended()> nextAppend();
  // Takes what the job of nextAppend() returned.
  void appended(const Appended& result);

  bool complete() const { return complete_; }
  bool appending() const { return appending_; }
  std::int64_t reusedBytes() const { return reused_; }
  std::int64_t fetchedBytes() const { return fetched_; }
  // The bytes still to fetch when the build started: what the progress line counts.
  std::int64_t bytesToFetch() const { return bytesToFetch_; }

 private:
  struct Writer;

  const delta::DeltaPlan plan_;
  std::shared_ptr<Writer> writer_;
  std::int64_t written_ = 0;        // bytes of the staged file, appended or on their way
  std::size_t segment_ = 0;         // the plan segment that holds byte `written_`
  std::deque<Range> toFetch_;       // in order, not requested yet
  std::map<std::int64_t, std::string> ready_;  // arrived, by their first byte
  std::int64_t inWindow_ = 0;       // requested and not yet appended
  bool appending_ = false;
  bool complete_ = false;
  std::int64_t reused_ = 0;
  std::int64_t fetched_ = 0;
  std::int64_t bytesToFetch_ = 0;
};

}  // namespace updater
