#include "updater/apply/target_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <vector>

#include "common/errors.hpp"
#include "common/path.hpp"
#include "common/text.hpp"
#include "formats/tool_files.hpp"

namespace updater {
namespace {

// As many links as the kernel follows while it resolves one path.
constexpr int kMostLinks = 40;

// Components to walk, in front of those already waiting.
void pushComponents(std::deque<std::string>& pending, std::string_view path) {
  std::vector<std::string> components;
  for (const std::string_view part : common::split(path, '/')) {
    if (!part.empty() && part != ".") {
      components.emplace_back(part);
    }
  }
  pending.insert(pending.begin(), components.begin(), components.end());
}

common::FileDescriptor openPath(int at, const char* name, int flags, const std::string& shown) {
  common::FileDescriptor fd(::openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC | flags));
  if (fd.get() < 0) {
    throw common::osError(errno, shown.empty() ? "." : shown);
  }
  return fd;
}

// The text of the link that `link` (an O_PATH descriptor) is, never of one put
// in its place since it was examined.
std::string linkText(int link, const std::string& shown) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t length = ::readlinkat(link, "", text.data(), text.size());
    if (length < 0) {
      throw common::osError(errno, shown);
    }
    if (static_cast<std::size_t>(length) < text.size()) {
      text.resize(static_cast<std::size_t>(length));
      return text;
    }
    text.resize(text.size() * 2);
  }
}

// The next component below `at`, as an O_PATH descriptor of whatever it is,
// made first when it is missing and `create` says so.
common::FileDescriptor openComponent(int at, const std::string& name, bool create,
                                     const std::string& shown) {
  common::FileDescriptor fd(::openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0 && errno == ENOENT && create) {
    if (::mkdirat(at, name.c_str(), 0777) != 0 && errno != EEXIST) {
      throw common::osError(errno, shown);
    }
    return openPath(at, name.c_str(), 0, shown);
  }
  if (fd.get() < 0) {
    throw common::osError(errno, shown);
  }
  return fd;
}

}  // namespace

TargetDirectory openTargetDirectory(std::string_view path, bool create) {
  TargetDirectory result{openPath(AT_FDCWD, ".", O_DIRECTORY, ""), ""};
  std::deque<std::string> pending;
  const std::size_t slash = path.rfind('/');
  pushComponents(pending, slash == std::string_view::npos ? "" : path.substr(0, slash));
  std::string shownDirectory;  // where `result.fd` is, as the user would write it
  int linksFollowed = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.front());
    pending.pop_front();
    const std::string shown =
        shownDirectory.empty() ? name : common::joinNormalized(shownDirectory, name);
    common::FileDescriptor next = openComponent(result.fd.get(), name, create, shown);
    struct stat status {};
    if (::fstat(next.get(), &status) != 0) {
      throw common::osError(errno, shown);
    }
    if (S_ISDIR(status.st_mode)) {
      result.fd = std::move(next);
      shownDirectory = shown;
      continue;
    }
    if (!S_ISLNK(status.st_mode)) {
      throw common::osError(ENOTDIR, shown);
    }
    if (status.st_uid != ::geteuid() && status.st_uid != 0) {
      return {common::FileDescriptor(-1), shown + " is a link owned by another user (uid " +
                                              std::to_string(status.st_uid) + ")"};
    }
    if (++linksFollowed > kMostLinks) {
      throw common::osError(ELOOP, shown);
    }
    const std::string text = linkText(next.get(), shown);
    if (text.starts_with('/')) {
      result.fd = openPath(AT_FDCWD, "/", O_DIRECTORY, "/");
      // Assigned as one character: GCC 12 reports a false -Wrestrict for "/".
      shownDirectory.assign(1, '/');
    }
    pushComponents(pending, text);
  }
  return result;
}

EntryFiles entryFilesIn(common::FileDescriptor directory, const std::string& path) {
  const auto shared = std::make_shared<const common::FileDescriptor>(std::move(directory));
  const std::string pending = formats::pendingPathOf(path);
  return {{shared, std::string(common::lastComponent(path)), path},
          {shared, std::string(common::lastComponent(pending)), pending}};
}

ReachedEntry openEntryFiles(const std::string& path) {
  TargetDirectory directory = openTargetDirectory(path, false);
  if (!directory.refusal.empty()) {
    return {std::nullopt, std::move(directory.refusal)};
  }
  return {entryFilesIn(std::move(directory.fd), path), ""};
}

void removeStagedFile(const std::string& path) {
  try {
    if (const ReachedEntry reached = openEntryFiles(path); reached.files) {
      common::removeEntry(reached.files->staged);
    }
  } catch (const common::Error&) {
    // recovery point: a staged file left behind is checked again by the next run
  }
}

}  // namespace updater
