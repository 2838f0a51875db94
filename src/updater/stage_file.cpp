#include "updater/stage_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"
#include "common/output.hpp"
#include "updater/lock_and_apply.hpp"
#include "updater/staging_run.hpp"

namespace updater {

void rejectStagedFile(const std::string& path, std::string_view expected,
                      const std::string& actual) {
  common::printErr("");
  common::printErr("Hash mismatch for " + path);
  common::printErr("  remote catalog: " + std::string(expected));
  common::printErr("  downloaded    : " + actual);
  // The next run starts this file afresh; a file already gone is just as good.
  ::unlink(pendingPathOf(path).c_str());
  throw common::ExitRequest(255);
}

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

std::vector<std::string> stageFiles(const std::vector<StageRequest>& requests,
                                    std::int64_t totalFiles, bool verbose,
                                    std::size_t maxInFlight) {
  if (requests.empty()) {
    return {};
  }
  return StagingRun(requests, totalFiles, verbose, maxInFlight).run();
}

std::optional<std::string> stageFile(std::string_view digest, const std::string& path,
                                     std::int64_t currentFile, std::int64_t totalFiles,
                                     bool verbose) {
  if (stageFiles({{std::string(digest), path, currentFile}}, totalFiles, verbose).empty()) {
    return std::nullopt;
  }
  return path;
}

}  // namespace updater
