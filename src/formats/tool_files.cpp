#include "formats/tool_files.hpp"

#include <algorithm>
#include <array>

namespace formats {

std::string pendingPathOf(std::string_view path) {
  std::string pending(path);
  pending += kPendingSuffix;
  return pending;
}

std::string copyPathOf(std::string_view path) { return pendingPathOf(pendingPathOf(path)); }

bool isPendingPath(std::string_view path) { return path.ends_with(kPendingSuffix); }

std::string blockIndexPathOf(std::string_view digest) {
  std::string path(kBlockIndexDirectoryName);
  path += '/';
  path += digest;
  return path;
}

bool isRootToolFile(std::string_view path) {
  constexpr std::array<std::string_view, 6> kRootFiles = {
      kCatalogFileName,   kSourceFileName,          kIgnoreFileName,
      kSignatureFileName, kCatalogDownloadFileName, kRunLockFileName};
  return std::ranges::find(kRootFiles, path) != kRootFiles.end();
}

}  // namespace formats
