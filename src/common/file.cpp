#include "common/file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/errors.hpp"

namespace common {

FileDescriptor::~FileDescriptor() { close(); }

int FileDescriptor::close() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd >= 0 ? ::close(fd) : 0;
}

DirPtr listDirectoryAt(int directory) {
  FileDescriptor listing(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listing.get() < 0) {
    return nullptr;
  }
  DirPtr dir(::fdopendir(listing.get()));
  if (dir) {
    listing.release();  // the stream owns it from here on
  }
  return dir;
}

FilePtr openFile(const std::string& path, const char* mode) {
  FilePtr file(std::fopen(path.c_str(), mode));
  if (!file) {
    throw IOError("cannot open: " + path);
  }
  return file;
}

OutputFile::OutputFile(const std::string& path, const char* mode) : file_(openFile(path, mode)) {}

void OutputFile::write(std::string_view bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) {
    throw IOError("cannot write string to file");
  }
}

void OutputFile::sync() {
  if (std::fflush(file_.get()) != 0 || ::fsync(::fileno(file_.get())) != 0) {
    throw IOError("cannot write string to file");
  }
}

void OutputFile::close() {
  std::FILE* file = file_.release();
  if (file != nullptr && std::fclose(file) != 0) {
    throw IOError("cannot write string to file");
  }
}

void writeWholeFile(const std::string& path, std::string_view bytes) {
  OutputFile file(path, "wb");
  file.write(bytes);
  file.close();
}

IOError readError(int errorNumber) {
  return IOError("errno: " + std::to_string(errorNumber) + " `" + std::strerror(errorNumber) + "`");
}

void throwReadError(int errorNumber) { throw readError(errorNumber); }

std::string readWholeFile(const std::string& path) {
  const FilePtr file = openFile(path, "rb");
  std::string content;
  char buffer[8192];
  for (;;) {
    const std::size_t count = std::fread(buffer, 1, sizeof buffer, file.get());
    content.append(buffer, count);
    if (count < sizeof buffer) {
      if (std::ferror(file.get()) != 0) {
        throwReadError(errno);
      }
      return content;
    }
  }
}

bool isRegularFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

namespace {

// `fd` when it was opened and is a regular file.
FileDescriptor regularFileOrThrow(FileDescriptor fd, const std::string& path) {
  if (fd.get() < 0) {
    throw IOError("cannot open: " + path);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw IOError("not a regular file: " + path);
  }
  return fd;
}

}  // namespace

FileDescriptor openRegularFile(const FileAt& file, int flags, mode_t mode) {
  FileDescriptor fd(::openat(file.at(), file.name.c_str(),
                             flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode));
  return regularFileOrThrow(std::move(fd), file.shown);
}

bool removeEntry(const FileAt& file) {
  return ::unlinkat(file.at(), file.name.c_str(), 0) == 0 || errno == ENOENT;
}

FileDescriptor openRegularFileToRead(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat status {};
  if (fd.get() >= 0 && (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))) {
    fd.close();
  }
  return fd;
}

FileDescriptor openRegularFileIfAny(const std::string& path) {
  FileDescriptor fd(
      ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0 && errno == ENOENT) {
    return fd;
  }
  return regularFileOrThrow(std::move(fd), path);
}

FileDescriptor createNewFileAt(int directory, const std::string& name, int flags) {
  return FileDescriptor(::openat(
      directory, name.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666));
}

void writeNewFileAt(int directory, const std::string& name, std::string_view bytes) {
  FileDescriptor fd = createNewFileAt(directory, name, O_WRONLY);
  if (fd.get() < 0) {
    throw IOError("cannot open: " + name);
  }
  int error = writeAll(fd.get(), bytes);
  if (error == 0 && ::fsync(fd.get()) != 0) {
    error = errno;
  }
  if (fd.close() != 0 && error == 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlinkat(directory, name.c_str(), 0);
    throw osError(error, name);
  }
}

namespace {

// The directory for reading; one owning nothing, for a directory that may be
// searched but not listed.
FileDescriptor openListableDirectory(const std::string& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 && errno != EACCES) {
    throw osError(errno, directory);
  }
  return fd;
}

}  // namespace

FileDescriptor openFileSystemOf(const std::string& directory, const std::string& member) {
  FileDescriptor fd = openListableDirectory(directory);
  return fd.get() >= 0 ? std::move(fd) : openRegularFile(member, O_RDONLY);
}

void syncDirectory(const std::string& directory, const std::string& member) {
  const FileDescriptor fd = openListableDirectory(directory);
  if (fd.get() >= 0) {
    if (::fsync(fd.get()) != 0 && errno != EINVAL) {
      throw osError(errno, directory);
    }
    return;
  }
  // syncfs needs no read permission on the directory, and covers its entries.
  if (::syncfs(openRegularFile(member, O_RDONLY).get()) != 0) {
    throw osError(errno, directory);
  }
}

std::size_t readAt(int fd, std::int64_t offset, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t count = ::pread(fd, buffer.data() + filled, buffer.size() - filled,
                                  static_cast<off_t>(offset + static_cast<std::int64_t>(filled)));
    if (count == 0) {
      break;
    }
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      throwReadError(errno);
    }
    filled += static_cast<std::size_t>(count);
  }
  return filled;
}

FileIdentity identityOf(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    throwReadError(errno);
  }
  return {status.st_dev, status.st_ino};
}

std::int64_t fileSizeOf(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    throwReadError(errno);
  }
  return static_cast<std::int64_t>(status.st_size);
}

std::int64_t regularFileSize(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)
             ? static_cast<std::int64_t>(status.st_size)
             : 0;
}

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return 0;
}

AppendingFile::AppendingFile(FileAt file, std::size_t bufferBytes)
    : file_(std::move(file)),
      fd_(openRegularFile(file_, O_WRONLY | O_APPEND | O_CREAT, kPrivateFileMode)),
      // Left uninitialised: most downloads are small files that never touch most of it.
      buffer_(std::make_unique_for_overwrite<char[]>(bufferBytes)),
      capacity_(bufferBytes) {
  struct stat status {};
  if (::fstat(fd_.get(), &status) != 0) {
    throw osError(errno, file_.shown);
  }
  // Its owner could change it after it is verified, whatever its mode.
  if (status.st_uid != ::geteuid()) {
    throw IOError("owned by another user: " + file_.shown);
  }
  // An earlier version created staged files with the umask's mode.
  if ((status.st_mode & 07777) != kPrivateFileMode && ::fchmod(fd_.get(), kPrivateFileMode) != 0) {
    throw osError(errno, file_.shown);
  }
  initialSize_ = static_cast<std::int64_t>(status.st_size);
  writtenBack_ = initialSize_;
}

AppendingFile::~AppendingFile() {
  if (fd_.get() >= 0 && used_ > 0) {
    writeAll(fd_.get(), {buffer_.get(), used_});
  }
}

void AppendingFile::append(std::string_view bytes) {
  if (used_ + bytes.size() > capacity_) {
    flush();
  }
  if (bytes.size() >= capacity_) {
    write(bytes);
    return;
  }
  std::copy(bytes.begin(), bytes.end(), buffer_.get() + used_);
  used_ += bytes.size();
}

void AppendingFile::truncate() {
  used_ = 0;
  writtenBack_ = 0;
  pendingWriteback_ = 0;
  if (::ftruncate(fd_.get(), 0) != 0) {
    throw osError(errno, file_.shown);
  }
}

void AppendingFile::flush() { write({buffer_.get(), std::exchange(used_, 0)}); }

void AppendingFile::write(std::string_view bytes) {
  const int error = writeAll(fd_.get(), bytes);
  if (error == 0) {
    startWriteback(bytes.size());
  }
  // A file that cannot grow is never completed: it goes rather than keep the
  // space it holds.
  if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
    fd_.close();
    removeEntry(file_);
    throw IOError(std::string(error == EFBIG ? "file size limit reached" : "disk full") +
                  ": cannot write " + file_.shown + " (deleted)");
  }
  if (error != 0) {
    throw IOError("cannot write string to file");
  }
}

void AppendingFile::startWriteback(std::size_t written) {
  // The file is synced before it is moved into place; writing it back while it
  // arrives leaves that sync little to do. Only a hint: failures do not matter.
  constexpr std::int64_t kWritebackBytes = std::int64_t{8} << 20;
  pendingWriteback_ += static_cast<std::int64_t>(written);
  if (pendingWriteback_ >= kWritebackBytes) {
    ::sync_file_range(fd_.get(), writtenBack_, pendingWriteback_, SYNC_FILE_RANGE_WRITE);
    writtenBack_ += pendingWriteback_;
    pendingWriteback_ = 0;
  }
}

void AppendingFile::close() {
  flush();
  if (fd_.close() != 0) {
    throw IOError("cannot write string to file");
  }
}

MappedFile::MappedFile(const FileAt& file) {
  const FileDescriptor fd = openRegularFile(file, O_RDONLY);
  size_ = static_cast<std::size_t>(fileSizeOf(fd.get()));
  if (size_ == 0) {
    return;  // nothing to map, and mmap refuses a length of 0
  }
  void* address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (address == MAP_FAILED) {
    throw osError(errno, file.shown);
  }
  address_ = static_cast<const std::uint8_t*>(address);
}

MappedFile::~MappedFile() {
  if (address_ != nullptr) {
    ::munmap(const_cast<std::uint8_t*>(address_), size_);
  }
}

}  // namespace common
