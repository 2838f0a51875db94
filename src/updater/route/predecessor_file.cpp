#include "updater/route/predecessor_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <utility>

#include "common/errors.hpp"
#include "crypto/sha3.hpp"
#include "updater/apply/target_directory.hpp"
#include "updater/route/delta_build.hpp"

namespace updater {
namespace {

// Read at a time from a predecessor.
constexpr std::size_t kReadBytes = std::size_t{256} * 1024;

// A predecessor that passed every check that precedes its read.
struct Opened {
  common::FileAt file;
  common::FileDescriptor fd{-1};
  std::int64_t size = 0;
};

std::optional<Opened> openPredecessor(const formats::FileDescription& description,
                                      std::string_view digest,
                                      const formats::FileDescription::Predecessor& predecessor) {
  const bool same = predecessor.digest == digest;
  if (!formats::mayPrecede(predecessor.path) ||
      (!same && !description.patchFrom(predecessor.digest))) {
    return std::nullopt;
  }
  try {
    TargetDirectory directory = openTargetDirectory(predecessor.path, false);
    if (!directory.refusal.empty()) {
      return std::nullopt;
    }
    Opened opened{entryFilesIn(std::move(directory.fd), predecessor.path).target};
    // Looked at before it is opened: opening a device that an unsigned name
    // points at may act (a watchdog, a tape that rewinds) before fstat could refuse it.
    struct stat status {};
    if (::fstatat(opened.file.at(), opened.file.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      return std::nullopt;
    }
    opened.fd = common::openRegularFile(opened.file, O_RDONLY);
    opened.size = common::fileSizeOf(opened.fd.get());
    if (same ? opened.size != description.size : opened.size > formats::kMaximumPatchedBytes) {
      return std::nullopt;
    }
    return opened;
  } catch (const common::Error&) {
    // recovery point: missing, out of reach or no regular file: the next one is tried
    return std::nullopt;
  }
}

// The digest text of the `size` bytes of `opened`, read once, appended to
// `copy` as they are read when there is one.
std::string hashPredecessor(const Opened& opened, common::AppendingFile* copy) {
  crypto::Sha3Stream digest;
  std::string buffer(kReadBytes, '\0');
  for (std::int64_t offset = 0; offset < opened.size;) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(opened.size - offset, kReadBytes));
    const std::size_t got = common::readAt(
        opened.fd.get(), offset, {reinterpret_cast<std::uint8_t*>(buffer.data()), wanted});
    if (got < wanted) {
      throw common::IOError(opened.file.shown + " ended early");
    }
    const std::string_view bytes(buffer.data(), got);
    digest.update(bytes);
    if (copy != nullptr) {
      copy->append(bytes);
    }
    offset += std::ssize(bytes);
  }
  return digest.finishHex();
}

// Copies `opened` into `staged` afresh; its digest text, or "" (the staged
// file left empty) when it is not the version `digest`.
std::string copyPredecessor(const Opened& opened, std::string_view digest,
                            const common::FileAt& staged) {
  common::AppendingFile file(staged, kStagedWriteBufferBytes);
  try {
    file.truncate();
    std::string made = hashPredecessor(opened, &file);
    if (made != digest) {
      file.truncate();
      made.clear();
    }
    file.close();
    return made;
  } catch (const common::Error&) {
    // recovery point: the next way starts from an empty staged file
    try {
      file.truncate();
    } catch (const common::Error&) {
      // recovery point: a file gone with a full disk; else its digest decides
    }
    throw;
  }
}

}  // namespace

PredecessorOutcome readPredecessor(const formats::FileDescription& description,
                                   std::string_view digest, const common::FileAt& staged) {
  using Kind = PredecessorOutcome::Kind;
  for (const formats::FileDescription::Predecessor& predecessor : description.predecessors) {
    std::optional<Opened> opened = openPredecessor(description, digest, predecessor);
    if (!opened) {
      continue;
    }
    const bool same = predecessor.digest == digest;
    PredecessorOutcome outcome{Kind::kNone, predecessor.path};
    try {
      outcome.digest =
          same ? copyPredecessor(*opened, digest, staged) : hashPredecessor(*opened, nullptr);
    } catch (const common::Error& error) {
      // recovery point: only this predecessor was to be read; the next way follows
      outcome.failure =
          "its predecessor " + predecessor.path + " could not be used (" + error.message() + ")";
      return outcome;
    }
    if (outcome.digest != predecessor.digest) {
      outcome.failure = "its predecessor " + predecessor.path + " is not the version named";
      return outcome;
    }
    outcome.kind = same ? Kind::kCopied : Kind::kReference;
    outcome.file = std::move(opened->file);
    return outcome;
  }
  PredecessorOutcome none;
  none.failure = "none of its predecessors may be read here";
  return none;
}

}  // namespace updater
