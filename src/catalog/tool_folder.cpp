#include "catalog/tool_folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <span>

#include "common/errors.hpp"

namespace catalog {
namespace {

constexpr std::string_view kTemporaryInfix = ".tmp.";

const std::string& folderName() {
  static const std::string name(formats::kBlockIndexDirectoryName);
  return name;
}

// The folder's descriptor, or one owning nothing when it does not exist. A link
// is refused rather than followed: the folder's names are deleted and replaced.
common::FileDescriptor openFolder() {
  common::FileDescriptor folder(
      ::openat(AT_FDCWD, folderName().c_str(),
               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (folder.get() < 0 && (errno == ELOOP || errno == ENOTDIR)) {
    throw common::IOError("not a directory: " + folderName() +
                          " (a link or another kind of file has the index folder's name)");
  }
  if (folder.get() < 0 && errno != ENOENT) {
    throw common::osError(errno, folderName());
  }
  return folder;
}

// A name that no other writer uses at the same time, in this process or another.
std::string temporaryNameFor(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  return name + std::string(kTemporaryInfix) + std::to_string(::getpid()) + "." +
         std::to_string(counter++);
}

}  // namespace

bool isToolTemporaryName(std::string_view name) {
  const std::size_t infix = name.find(kTemporaryInfix);
  return infix != std::string_view::npos && formats::parseFolderName(name.substr(0, infix)) &&
         name.find_first_not_of("0123456789.", infix + kTemporaryInfix.size()) ==
             std::string_view::npos;
}

ToolFolder::ToolFolder() {
  if (common::FileDescriptor folder = openFolder(); folder.get() >= 0) {
    folder_.emplace(std::move(folder));
  }
}

int ToolFolder::descriptor(bool make) const {
  const std::scoped_lock lock(mutex_);
  if (!folder_ && make) {
    if (::mkdirat(AT_FDCWD, folderName().c_str(), 0777) != 0 && errno != EEXIST) {
      throw common::osError(errno, folderName());
    }
    common::FileDescriptor folder = openFolder();
    if (folder.get() < 0) {
      throw common::osError(ENOENT, folderName());
    }
    folder_.emplace(std::move(folder));
  }
  return folder_ ? folder_->get() : -1;
}

std::vector<ToolFolder::Member> ToolFolder::members() const {
  std::vector<Member> members;
  const int folder = descriptor(false);
  const common::DirPtr dir = folder < 0 ? nullptr : common::listDirectoryAt(folder);
  while (dir) {
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      break;
    }
    Member member{entry->d_name, {}};
    if (formats::parseFolderName(member.name) &&
        ::fstatat(folder, entry->d_name, &member.status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(member.status.st_mode)) {
      members.push_back(std::move(member));
    }
  }
  return members;
}

common::FileDescriptor ToolFolder::open(const std::string& name) const {
  const int folder = descriptor(false);
  common::FileDescriptor file(
      folder < 0 ? -1
                 : ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (file.get() >= 0 && (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))) {
    file.close();
    return common::FileDescriptor(-1);
  }
  return file;
}

bool ToolFolder::holds(const std::string& name) const {
  const int folder = descriptor(false);
  struct stat status {};
  return folder >= 0 && ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<std::int64_t> ToolFolder::sizeOf(const std::string& name) const {
  const common::FileDescriptor file = open(name);
  if (file.get() < 0) {
    return std::nullopt;
  }
  return common::fileSizeOf(file.get());
}

std::optional<std::string> ToolFolder::read(const std::string& name, std::int64_t maxBytes) const {
  const common::FileDescriptor file = open(name);
  if (file.get() < 0) {
    return std::nullopt;
  }
  const std::int64_t size = common::fileSizeOf(file.get());
  if (size > maxBytes) {
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  if (common::readAt(file.get(), 0, bytes) != text.size()) {
    return std::nullopt;
  }
  return text;
}

void ToolFolder::write(const std::string& name, std::string_view bytes) {
  const int folder = descriptor(true);
  const std::string temporary = temporaryNameFor(name);
  common::writeNewFileAt(folder, temporary, bytes);
  if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(folder, temporary.c_str(), 0);
    throw common::osError(error, formats::toolFolderPathOf(name));
  }
}

void ToolFolder::touch(const std::string& name) {
  if (const int folder = descriptor(false); folder >= 0) {
    ::utimensat(folder, name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
  }
}

std::vector<std::string> ToolFolder::removeAllBut(
    const std::function<bool(const formats::FolderName&)>& keep) {
  std::vector<std::string> failures;
  const int folder = descriptor(false);
  if (folder < 0) {
    return failures;
  }
  const common::DirPtr dir = common::listDirectoryAt(folder);
  if (!dir) {
    failures.push_back("cannot list " + folderName() + ": " + std::strerror(errno));
    return failures;
  }
  bool empty = true;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    const std::optional<formats::FolderName> own = formats::parseFolderName(name);
    if ((own && keep(*own)) || (!own && !isToolTemporaryName(name))) {
      empty = false;
    } else if (::unlinkat(folder, entry->d_name, 0) != 0) {
      failures.push_back("cannot delete " + formats::toolFolderPathOf(name) + ": " +
                         std::strerror(errno));
      empty = false;
    }
  }
  if (empty) {
    // By name: at worst this removes an empty directory that replaced the folder.
    ::unlinkat(AT_FDCWD, folderName().c_str(), AT_REMOVEDIR);
  }
  return failures;
}

}  // namespace catalog
