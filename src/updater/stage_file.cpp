#include "updater/stage_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cli/source_descriptor.hpp"
#include "common/errors.hpp"
#include "common/output.hpp"
#include "crypto/sha3.hpp"
#include "http/resumable_download.hpp"
#include "updater/lock_and_apply.hpp"
#include "updater/progress.hpp"
#include "updater/retry.hpp"

namespace updater {
namespace {

void downloadStagedFile(const ProgressContext& context) {
  retryTransfer(
      [&context] {
        // The URL is formed anew at each attempt: the descriptor may have been edited.
        http::ncurlDownload(cli::remoteUrl(context.path), context.pendingPath,
                            [&context](std::int64_t downloaded, std::int64_t total) {
                              reportProgress(downloaded, total, context);
                            });
      },
      kTransferAttempts, kTransferDelaySeconds);
}

[[noreturn]] void rejectStagedFile(const ProgressContext& context, std::string_view expected,
                                   const std::string& actual) {
  common::printErr("");
  common::printErr("Hash mismatch for " + context.path);
  common::printErr("  remote catalog: " + std::string(expected));
  common::printErr("  downloaded    : " + actual);
  // The next run starts this file afresh; a file already gone is just as good.
  ::unlink(context.pendingPath.c_str());
  throw common::ExitRequest(255);
}

}  // namespace

void createParentDirectories(const std::string& path) {
  const std::size_t end = path.rfind('/');
  if (end == std::string::npos) {
    return;
  }
  for (std::size_t slash = path.find('/'); slash != std::string::npos && slash <= end;
       slash = path.find('/', slash + 1)) {
    const std::string directory = path.substr(0, slash);
    if (directory.empty() || ::mkdir(directory.c_str(), 0777) == 0) {
      continue;
    }
    const int error = errno;
    struct stat status {};
    if (error != EEXIST) {
      throw common::osError(error, directory);
    }
    if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      throw common::osError(ENOTDIR, directory);
    }
  }
}

std::optional<std::string> stageFile(std::string_view digest, const std::string& path,
                                     std::int64_t currentFile, std::int64_t totalFiles,
                                     bool verbose) {
  ProgressContext context{path, "", currentFile, totalFiles};
  if (crypto::sha3FileHexIfRegular(path) == digest) {
    return std::nullopt;
  }
  createParentDirectories(path);
  context.pendingPath = pendingPathOf(path);
  // An empty digest text stands for "no regular file": it never matches a staged
  // file, so an entry with an empty digest can never be staged.
  std::string staged = crypto::sha3FileHexIfRegular(context.pendingPath);
  if (staged.empty() || staged != digest) {
    downloadStagedFile(context);
    staged = crypto::sha3FileHexIfRegular(context.pendingPath);
  } else if (verbose) {
    common::printOut("Already downloaded: " + path);
  }
  if (staged.empty() || staged != digest) {
    rejectStagedFile(context, digest, staged);
  }
  return path;
}

}  // namespace updater
