#include "catalog/release_bundle.hpp"

#include <algorithm>
#include <map>
#include <span>
#include <utility>

#include "catalog/version_plan.hpp"
#include "common/errors.hpp"
#include "compress/zstd_codec.hpp"
#include "formats/file_description.hpp"
#include "formats/release_description.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

// The description of a release, and the patch files of its bundle with their
// sizes, in the bundle's order.
struct Release {
  formats::ReleaseDescription description;
  std::vector<std::pair<std::string, std::int64_t>> parts;
};

// The release as the descriptions of its versions tell it: one line per
// version whatever number of paths have it, in the order of their digests.
Release gatherRelease(const ToolFolder& folder, const std::map<std::string, VersionPlan>& plans) {
  Release release;
  for (const auto& [digest, plan] : plans) {
    const std::vector<std::string>& sources = plan.sources;
    const std::optional<formats::FileDescription> file = readDescription(folder, digest);
    if (!file) {
      continue;
    }
    formats::ReleaseDescription::Version version{
        {file->size, file->copyBytes, {}, file->predecessors}, {}};
    for (const formats::FileDescription::Patch& patch : file->patches) {
      const auto source = std::ranges::find_if(sources, [&patch](const std::string& from) {
        return from.starts_with(patch.fromPrefix);
      });
      if (source == sources.end()) {
        continue;
      }
      version.file.patches.push_back(patch);
      version.patchOffsets.push_back(release.description.bundleBytes);
      release.description.bundleBytes += patch.bytes;
      release.parts.emplace_back(formats::patchNameOf(*source, digest), patch.bytes);
    }
    release.description.versions.emplace(digest.substr(0, formats::kPatchPrefixDigits),
                                         std::move(version));
  }
  return release;
}

}  // namespace

std::vector<std::string> publishRelease(ToolFolder& folder, const std::string& catalogDigest,
                                        const std::map<std::string, VersionPlan>& plans) {
  const std::string descriptionName = formats::releaseDescriptionNameOf(catalogDigest);
  const std::string bundleName = formats::bundleNameOf(catalogDigest);
  // A description written since (a patch that failed before was made) changes
  // the release without changing its catalog.
  const bool described = std::ranges::any_of(plans, [&folder](const auto& plan) {
    return folder.wrote(formats::descriptionNameOf(plan.first));
  });
  if (!described && folder.holdsFile(descriptionName) && folder.holdsFile(bundleName)) {
    return {};
  }
  const Release release = gatherRelease(folder, plans);
  if (release.description.versions.empty()) {
    return {};
  }
  const std::string text = formats::describeRelease(release.description);
  const std::string path = formats::toolFolderPathOf(descriptionName);
  if (static_cast<std::int64_t>(text.size()) > formats::kMaximumReleaseDescriptionBytes) {
    return {path + ": not written: its " + std::to_string(text.size()) +
            " bytes are more than a client reads"};
  }
  try {
    // The bundle first: a client that finds the description finds its ranges.
    folder.writeJoined(bundleName, release.parts);
    folder.write(descriptionName,
                 compress::compressFrame(
                     std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
  } catch (const common::Error& error) {
    // recovery point: clients fetch the description of each file instead
    return {"no release description " + path + ": " + error.what()};
  }
  return {};
}

}  // namespace catalog
