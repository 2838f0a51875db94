#include "updater/staging/file_download.hpp"

#include <fcntl.h>

#include <optional>
#include <utility>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "formats/source_descriptor.hpp"
#include "formats/tool_files.hpp"

namespace updater {

void FileDownload::start(TransferRunner& runner, std::size_t entry, const DeltaRoute::Files& files,
                         std::optional<std::int64_t> stopAt) {
  // Only the first attempt may go on from the check: any other, a delta build
  // included, may have changed the file since.
  std::optional<crypto::Sha3Stream> prefix = std::exchange(checked_.state, std::nullopt);
  const http::DownloadSet::FileListener listener{
      [this](std::string_view bytes) { digest_->append(bytes); }, [this] { digest_->startOver(); }};
  const std::int64_t existing = runner.startFile(
      entry, files.url, files.local.staged,
      [this](std::int64_t downloaded, std::int64_t total) {
        reportProgress(downloaded, total, context_);
      },
      listener, stopAt);
  // Each attempt hashes what the file holds, then what it receives; the first
  // goes on from what the check read, when the file still holds just that.
  if (prefix && existing > 0 && existing == checked_.bytes) {
    digest_ = std::make_unique<StreamingDigest>(runner.digestLanes(), files.local.staged, existing,
                                                std::move(*prefix), checked_.identity);
  } else {
    digest_ = std::make_unique<StreamingDigest>(runner.digestLanes(), files.local.staged, existing);
  }
}

void FileDownload::verify(TransferRunner& runner, bool readBack,
                          std::function<void(Verification&&)> then) {
  if (!readBack) {
    runner.expectStep();
    digest_->finish([&runner, then = std::move(then)](std::string digest,
                                                      common::FileIdentity identity,
                                                      std::exception_ptr error) {
      runner.deliver([then, verification = Verification{std::move(digest), std::move(error),
                                                        identity}]() mutable {
        then(std::move(verification));
      });
    });
    return;
  }
  runner.post([path = context_.path, then = std::move(then)]() -> std::function<void()> {
    Verification verification;
    try {
      StagedDigest staged = stagedFileDigest(reachStagedFile(path));
      verification.digest = std::move(staged.digest);
      verification.identity = staged.identity;
    } catch (const common::Error&) {
      // recovery point: raised when this request's turn comes
      verification.error = std::current_exception();
    }
    return
        [then, verification = std::move(verification)]() mutable { then(std::move(verification)); };
  });
}

common::FileIdentity FileDownload::identity(const Verification& verification) const {
  if (verification.identity) {
    return *verification.identity;
  }
  // A delta build's bytes were hashed as it wrote them into the file that its
  // name leads to; the move checks its owner as well as its identity.
  return common::identityOf(
      common::openRegularFile(reachStagedFile(context_.path), O_RDONLY).get());
}

DeltaRoute::Files attemptFiles(const StageRequest& request, EntryFiles local) {
  const std::string descriptor = formats::readSourceDescriptor();
  return {formats::remoteUrlIn(descriptor, request.path),
          formats::remoteUrlIn(descriptor, formats::blockIndexPathOf(request.digest)),
          std::move(local), request.digest};
}

common::FileAt reachStagedFile(const std::string& path) {
  ReachedEntry reached = openEntryFiles(path);
  if (!reached.files) {
    throw common::IOError("not updating " + path + ": " + reached.refusal);
  }
  return std::move(reached.files->staged);
}

}  // namespace updater
