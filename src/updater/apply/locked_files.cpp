#include "updater/apply/locked_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>

#include "common/file.hpp"
#include "common/output.hpp"
#include "common/system.hpp"
#include "common/text.hpp"
#include "updater/apply/target_directory.hpp"

namespace updater {
namespace {

bool isLocked(const std::string& path) {
  // The directory is reached as the move will reach it; one that another
  // user's link leads to is not probed through it (the move refuses it).
  std::optional<EntryFiles> files;
  try {
    ReachedEntry reached = openEntryFiles(path);
    if (!reached.files) {
      return false;
    }
    files = std::move(reached.files);
  } catch (const common::Error&) {
    // recovery point: a directory that cannot be reached cannot take the move
    return true;
  }
  const common::FileAt& target = files->target;
  // No O_CREAT: a probe that is not followed by the move must leave nothing
  // behind, and must not create a file at the far end of a dangling link.
  // O_NONBLOCK keeps a named pipe without a reader from hanging the probe.
  const common::FileDescriptor fd(::openat(
      target.at(), target.name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() >= 0) {
    struct stat status {};
    return ::fstat(fd.get(), &status) != 0 || S_ISDIR(status.st_mode);
  }
  if (errno != ENOENT) {
    return true;
  }
  // A missing target, or a dangling link, is replaced by the rename in its
  // directory without anything being written through it.
  struct stat status {};
  const bool missing =
      ::fstatat(target.at(), target.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 &&
      errno == ENOENT;
  if (!missing && !S_ISLNK(status.st_mode)) {
    return true;
  }
  return ::faccessat(target.at(), ".", W_OK | X_OK, AT_EACCESS) != 0;
}

// The letter that follows the backslash in the escape of `c`, or 0 when `c` has
// no named escape.
char escapeLetter(char c) {
  static constexpr std::string_view kEscaped = "\"'\\\a\b\t\n\v\f\r\x1b";
  static constexpr std::string_view kLetters = "\"'\\abtnvfre";
  const std::size_t index = kEscaped.find(c);
  return index == std::string_view::npos ? '\0' : kLetters[index];
}

void appendQuoted(std::string& out, std::string_view path) {
  out += '"';
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (const char letter = escapeLetter(c); letter != '\0') {
      out += '\\';
      out += letter;
    } else if (byte < 32 || byte == 127) {
      out += "\\x";
      out += common::hexByte(byte);
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace

std::vector<std::string> findLockedFiles(const std::vector<std::string>& paths) {
  std::vector<std::string> locked;
  for (const auto& path : paths) {
    if (isLocked(path)) {
      locked.push_back(path);
    }
  }
  return locked;
}

std::string formatPathList(const std::vector<std::string>& paths) {
  std::string out = "@[";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i > 0) {
      out += ", ";
    }
    appendQuoted(out, paths[i]);
  }
  out += ']';
  return out;
}

bool waitForUnlockedFiles(const std::vector<std::string>& paths) {
  for (std::int64_t pass = 0; pass < kLockProbePasses; ++pass) {
    const std::vector<std::string> locked = findLockedFiles(paths);
    if (locked.empty()) {
      return true;
    }
    common::printErr("");
    common::printErr("locked files: " + formatPathList(locked));
    // Spelled as users' scripts match it: keep byte for byte.
    common::printErr("   retring in 5 seconds");
    common::sleepMilliseconds(kLockProbePauseMilliseconds);
  }
  return false;
}

}  // namespace updater
