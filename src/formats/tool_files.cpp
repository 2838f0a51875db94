#include "formats/tool_files.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>

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

bool isBlockIndexName(std::string_view name) {
  return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string publishingNameOf(std::string_view name, long pid) {
  std::string path(name);
  path += kPublishingInfix;
  path += std::to_string(pid);
  return path;
}

bool isPublishingPath(std::string_view path) {
  for (const std::string_view name : {kCatalogFileName, kSignatureFileName}) {
    if (path.starts_with(name) && path.substr(name.size()).starts_with(kPublishingInfix)) {
      const std::string_view pid = path.substr(name.size() + kPublishingInfix.size());
      return !pid.empty() && pid.find_first_not_of("0123456789") == std::string_view::npos;
    }
  }
  return false;
}

bool isRootToolFile(std::string_view path) {
  constexpr std::array<std::string_view, 7> kRootFiles = {
      kCatalogFileName,         kSourceFileName,  kIgnoreFileName, kSignatureFileName,
      kCatalogDownloadFileName, kRunLockFileName, kReleaseFileName};
  return std::ranges::find(kRootFiles, path) != kRootFiles.end() || isPublishingPath(path);
}

}  // namespace formats
