#include "formats/tool_files.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace formats {
namespace {

std::string joined(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) {
    text += part;
  }
  return text;
}

}  // namespace

std::string pendingPathOf(std::string_view path) {
  std::string pending(path);
  pending += kPendingSuffix;
  return pending;
}

std::string copyPathOf(std::string_view path) { return pendingPathOf(pendingPathOf(path)); }

bool isPendingPath(std::string_view path) { return path.ends_with(kPendingSuffix); }

std::string blockIndexPathOf(std::string_view digest) { return toolFolderPathOf(digest); }

bool isBlockIndexName(std::string_view name) {
  // A loop, not find_first_not_of, which searches the set once per character:
  // every name of the index folder is tested on each publish.
  return name.size() == 64 && std::ranges::all_of(name, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string copyNameOf(std::string_view digest) { return joined({digest, kCopySuffix}); }

std::string descriptionNameOf(std::string_view digest) {
  return joined({digest, kDescriptionSuffix});
}

std::string patchNameOf(std::string_view from, std::string_view to) {
  return joined({to, kPatchInfix, from, kCopySuffix});
}

std::string releaseDescriptionNameOf(std::string_view catalogDigest) {
  return joined({catalogDigest, kReleaseDescriptionSuffix});
}

std::string bundleNameOf(std::string_view catalogDigest) {
  return joined({catalogDigest, kBundleSuffix});
}

std::string toolFolderPathOf(std::string_view name) {
  return joined({kBlockIndexDirectoryName, "/", name});
}

std::optional<FolderName> parseFolderName(std::string_view name) {
  using Kind = FolderName::Kind;
  if (name == kReleaseHistoryName) {
    return FolderName{Kind::kReleaseHistory, {}, {}};
  }
  if (name.size() < 64 || !isBlockIndexName(name.substr(0, 64))) {
    return std::nullopt;
  }
  std::string digest(name.substr(0, 64));
  const std::string_view rest = name.substr(64);
  if (rest.empty()) {
    return FolderName{Kind::kIndex, std::move(digest), {}};
  }
  if (rest == kCopySuffix) {
    return FolderName{Kind::kCopy, std::move(digest), {}};
  }
  if (rest == kDescriptionSuffix) {
    return FolderName{Kind::kDescription, std::move(digest), {}};
  }
  if (rest == kReleaseDescriptionSuffix) {
    return FolderName{Kind::kReleaseDescription, std::move(digest), {}};
  }
  if (rest == kBundleSuffix) {
    return FolderName{Kind::kBundle, std::move(digest), {}};
  }
  if (rest.size() == kPatchInfix.size() + 64 + kCopySuffix.size() &&
      rest.starts_with(kPatchInfix) && rest.ends_with(kCopySuffix) &&
      isBlockIndexName(rest.substr(kPatchInfix.size(), 64))) {
    return FolderName{Kind::kPatch, std::move(digest),
                      std::string(rest.substr(kPatchInfix.size(), 64))};
  }
  return std::nullopt;
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
