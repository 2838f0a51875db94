#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace common {

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
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

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

// IOError "errno: N `TEXT`" for a failed read.
[[noreturn]] void throwReadError(int errorNumber);

// True when `path` names a regular file, following symbolic links.
bool isRegularFile(const std::string& path);

}  // namespace common
