#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/uri.hpp"
#include "updater/route/delta_route.hpp"
#include "updater/staging/progress.hpp"
#include "updater/staging/staging.hpp"
#include "updater/staging/streaming_digest.hpp"
#include "updater/staging/transfer_runner.hpp"

namespace updater {

// The whole download of one entry's staged file, attempt by attempt, and the
// digest of that file, taken as its bytes arrive.
class FileDownload {
 public:
  // A digest text and the file it was read from, or the error that kept it from
  // being computed. A delta build hashes what it writes, not a file it reads.
  struct Verification {
    std::string digest;
    std::exception_ptr error;
    std::optional<common::FileIdentity> identity = std::nullopt;
  };

  // `checked` is the staged file as the up-to-date check read it.
  FileDownload(ProgressContext context, StagedDigest checked)
      : context_(std::move(context)), checked_(std::move(checked)) {}
  FileDownload(const FileDownload&) = delete;
  FileDownload& operator=(const FileDownload&) = delete;

  const ProgressContext& context() const { return context_; }
  // Starts an attempt of `files` through `runner` as `entry`'s file transfer,
  // which ends once the file holds `stopAt` bytes when given. Throws CurlError
  // when it cannot start, and what DownloadSet::start throws.
  void start(TransferRunner& runner, std::size_t entry, const DeltaRoute::Files& files,
             std::optional<std::int64_t> stopAt = std::nullopt);
  // The attempt ended short, or is stopped, or a delta takes its place: its
  // digest is abandoned, and no later attempt goes on from the check's.
  void stop() {
    digest_.reset();
    checked_.state.reset();
  }
  // Takes the digest of the staged file and hands it to `then` as a step of
  // `runner`: the digest of the complete attempt, or with `readBack` (an attempt
  // given up on) the digest of what the file holds, read again, its directory
  // reached anew as openEntryFiles does.
  void verify(TransferRunner& runner, bool readBack, std::function<void(Verification&&)> then);
  // The staged file that `verification` read, or (for a delta build) the file
  // its name leads to now, reached as openEntryFiles does. Throws IOError when
  // it cannot be opened or reached.
  common::FileIdentity identity(const Verification& verification) const;

 private:
  ProgressContext context_;
  StagedDigest checked_;
  std::unique_ptr<StreamingDigest> digest_;  // of the running attempt
};

// The files of an attempt of `request` in `local`: its URLs come from one
// reading of the descriptor, which may be edited between attempts. Throws what
// formats::readSourceDescriptor and remoteUrlIn throw.
DeltaRoute::Files attemptFiles(const StageRequest& request, EntryFiles local);

// The staged file of `path`, reached anew as openEntryFiles does. Throws
// IOError naming the refusal when it may not be reached any more.
common::FileAt reachStagedFile(const std::string& path);

}  // namespace updater
