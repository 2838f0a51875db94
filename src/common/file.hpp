#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>

#include <concepts>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/errors.hpp"

namespace common {

// The permission bits of the files that the program keeps to itself (staged
// files and the run lock).
inline constexpr mode_t kPrivateFileMode = 0600;

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
// Owner of a C stream; closes it on every exit.
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Owner of a file descriptor; closes it on every exit. -1 owns nothing.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  // Closes the descriptor held so far and takes over `other`'s.
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const noexcept { return fd_; }
  // Closes the descriptor now; returns close()'s result (0, or -1 with errno).
  int close() noexcept;
  // Hands the descriptor over to a new owner and owns nothing any more.
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A file named in a directory that is held open: what is done to it never
// depends on how the directory's path resolves later (another user may swap a
// directory on the way for a link), and its name is never followed as a link.
// Without a directory, `name` is a path from the working directory.
struct FileAt {
  std::shared_ptr<const FileDescriptor> directory;  // null: the working directory
  std::string name;                                 // in `directory`
  std::string shown;                                // the path, for messages

  FileAt() = default;
  FileAt(std::shared_ptr<const FileDescriptor> in, std::string inName, std::string path)
      : directory(std::move(in)), name(std::move(inName)), shown(std::move(path)) {}
  // A path from the working directory, as plain paths are taken everywhere.
  template <typename Path>
  requires std::convertible_to<const Path&, std::string> FileAt(
      const Path& path)  // NOLINT(google-explicit-constructor)
      : name(path), shown(name) {}

  // The descriptor to pass to the *at calls.
  int at() const noexcept { return directory ? directory->get() : AT_FDCWD; }
};

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
// Owner of a directory stream; closes it on every exit.
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A listing of the directory open as `directory`, through a descriptor of its
// own (reading it leaves `directory` as it is); null, with errno set, when the
// directory cannot be listed.
DirPtr listDirectoryAt(int directory);

// Opens `path` with fopen `mode`; throws IOError "cannot open: PATH".
FilePtr openFile(const std::string& path, const char* mode);

// A file being written: every write and the final close are checked.
class OutputFile {
 public:
  // Throws IOError "cannot open: PATH".
  OutputFile(const std::string& path, const char* mode);
  // Takes over a stream opened elsewhere (for files that need a creation mode).
  explicit OutputFile(FilePtr file) : file_(std::move(file)) {}
  // Throws IOError "cannot write string to file" when not all bytes are written.
  void write(std::string_view bytes);
  // Writes what is buffered and syncs the file to disk; throws IOError "cannot
  // write string to file" on failure.
  void sync();
  // Flushes and closes; throws IOError "cannot write string to file" on failure.
  void close();
  std::FILE* get() const noexcept { return file_.get(); }

 private:
  FilePtr file_;
};

// Creates or truncates `path` and writes `bytes` into it (IOError as above).
void writeWholeFile(const std::string& path, std::string_view bytes);

// The whole content of `path`; throws IOError "cannot open: PATH" or on a read error.
std::string readWholeFile(const std::string& path);

// IOError "errno: N `TEXT`" for a failed read; the second throws it.
IOError readError(int errorNumber);
[[noreturn]] void throwReadError(int errorNumber);

// True when `path` names a regular file, following symbolic links.
bool isRegularFile(const std::string& path);

// Opens `file` with `flags` (and `mode` for O_CREAT) without following a
// symbolic link at its last component and without blocking (a named pipe or a
// device cannot hold the open up), then checks through the descriptor that it is
// a regular file. Throws IOError "cannot open: PATH" when the open fails and
// "not a regular file: PATH" when it opened something else.
FileDescriptor openRegularFile(const FileAt& file, int flags, mode_t mode = 0666);

// Removes the entry `file`, never what it points to; true when it is gone or
// was not there. errno tells why it could not be removed.
bool removeEntry(const FileAt& file);

// Opens `path` for reading, following a link (a target may be one) but without
// blocking, and keeps it only when it is a regular file: a named pipe or device
// put in a file's place cannot hold the open up. Owns nothing otherwise.
FileDescriptor openRegularFileToRead(const std::string& path);

// Opens `path` for reading as openRegularFile does; a descriptor owning nothing
// when nothing lies at `path`. Throws as openRegularFile for anything else.
FileDescriptor openRegularFileIfAny(const std::string& path);

// Creates `name` in the directory open as `directory`, adding `flags` to
// O_CREAT | O_EXCL | O_NOFOLLOW: never a file that exists already, nor one
// behind a link. Returns its descriptor, or one owning nothing (errno set) when
// it cannot be created.
FileDescriptor createNewFileAt(int directory, const std::string& name, int flags);

// Creates `name` in `directory` as createNewFileAt does, writes `bytes`, syncs
// them to disk and closes it, removing it again when any of that fails. Throws
// IOError "cannot open: NAME", or OSError for a failed write, sync or close.
void writeNewFileAt(int directory, const std::string& name, std::string_view bytes);

// A descriptor through which syncfs reaches the file system of `directory`:
// the directory itself, opened for reading; or, when it may be searched but not
// listed (and so not opened for reading), `member`, the path of a regular file
// in it, opened without following a link. Throws OSError.
FileDescriptor openFileSystemOf(const std::string& directory, const std::string& member);

// Makes the entries of `directory` durable, as a rename in it needs: an fsync
// of the directory (nothing on a file system that has none to do). Where the
// directory cannot be opened for reading (search without list permission), its
// whole file system is synced instead, through `member` as openFileSystemOf
// does. Throws OSError.
void syncDirectory(const std::string& directory, const std::string& member);

// Fills `buffer` from offset `offset` of the open file `fd` unless the file
// ends first; returns the bytes read. Safe to call from several threads on one
// descriptor. Throws IOError "errno: N `TEXT`" on a read error.
std::size_t readAt(int fd, std::int64_t offset, std::span<std::uint8_t> buffer);

// Which file an open descriptor is: a name may be pointed at another file later.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the open file `fd`; throws IOError "errno: N `TEXT`" when
// fstat fails.
FileIdentity identityOf(int fd);

// The size of the open file `fd`; throws IOError "errno: N `TEXT`" when fstat fails.
std::int64_t fileSizeOf(int fd);

// The size of the regular file at `path`, without following a link at its last
// component; 0 when there is none.
std::int64_t regularFileSize(const std::string& path);

// Writes all of `bytes` to `fd`, resuming after interruptions and short writes.
// Returns 0, or the errno of the write that failed.
int writeAll(int fd, std::string_view bytes);

// A regular file mapped read-only, whole: what a patch decodes against, read
// by the kernel as the decoder reaches it rather than copied into the heap.
class MappedFile {
 public:
  // Opens `file` as openRegularFile does and maps it. Throws as that does, and
  // OSError when it cannot be mapped.
  explicit MappedFile(const FileAt& file);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Empty for an empty file.
  std::span<const std::uint8_t> bytes() const noexcept { return {address_, size_}; }

 private:
  const std::uint8_t* address_ = nullptr;
  std::size_t size_ = 0;
};

// A regular file that receives bytes at its end through a buffer of
// `bufferBytes`: a staged download. Opened as openRegularFile does, created
// 0600 when missing: it stays private until it is moved into place. An
// existing file that another user owns is refused with IOError "owned by
// another user: PATH"; one with other permission bits is given 0600. When a
// write fails for lack of space or quota, the file is deleted at once, so that
// a full disk does not stay full, and IOError "disk full: cannot write PATH
// (deleted)" is thrown; past the largest file allowed (EFBIG: a file size limit
// or the file system's), likewise "file size limit reached: cannot write PATH
// (deleted)". Any other failed write throws IOError "cannot write string to
// file".
class AppendingFile {
 public:
  AppendingFile(FileAt file, std::size_t bufferBytes);
  // Writes what is buffered, ignoring failures: the caller is leaving early.
  ~AppendingFile();
  AppendingFile(const AppendingFile&) = delete;
  AppendingFile& operator=(const AppendingFile&) = delete;

  // The size the file had when it was opened.
  std::int64_t initialSize() const noexcept { return initialSize_; }
  void append(std::string_view bytes);
  // Drops everything, written or buffered: the file starts over, empty.
  void truncate();
  // Writes what is buffered and closes the file; throws as append does.
  void close();

 private:
  void flush();
  void write(std::string_view bytes);
  void startWriteback(std::size_t written);

  FileAt file_;
  FileDescriptor fd_;
  std::int64_t initialSize_ = 0;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  std::int64_t writtenBack_ = 0;       // offset up to which writeback was started
  std::int64_t pendingWriteback_ = 0;  // bytes written after it
};

}  // namespace common
