#include "common/file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/errors.hpp"

namespace common {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
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

void throwReadError(int errorNumber) {
  throw IOError("errno: " + std::to_string(errorNumber) + " `" + std::strerror(errorNumber) + "`");
}

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

}  // namespace common
