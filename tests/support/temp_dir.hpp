#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace testing_support {

// A fresh directory under $TMPDIR, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(std::string_view relative) const;

 private:
  std::string path_;
};

// Makes `dir` the working directory for the lifetime of the object.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::string& dir);
  ~ScopedWorkingDirectory();
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

 private:
  std::string previous_;
};

// Writes `content` to `path`, creating missing parent directories.
void writeFile(const std::string& path, std::string_view content);
// The content of `path`; fails the test when it cannot be read.
std::string readFile(const std::string& path);

// `size` bytes of a pseudo-random sequence that `seed` chooses, the same on every run.
std::string randomBytes(std::size_t size, std::uint32_t seed);
bool fileExists(const std::string& path);

}  // namespace testing_support
