#include "catalog/version_plan.hpp"

#include <algorithm>

#include "catalog/predecessors.hpp"

namespace catalog {

bool recordRelease(formats::ReleaseHistory& history, formats::Release current,
                   std::size_t earlierKept) {
  bool changed = false;
  if (history.releases.empty() || history.releases.front() != current) {
    history.releases.insert(history.releases.begin(), std::move(current));
    changed = true;
  }
  if (history.releases.size() > earlierKept + 1) {
    history.releases.resize(earlierKept + 1);
    changed = true;
  }
  return changed;
}

std::vector<std::string> earlierVersions(const formats::ReleaseHistory& history,
                                         std::string_view path, std::string_view digest) {
  std::vector<std::string> versions;
  for (std::size_t i = 1; i < history.releases.size(); ++i) {
    const auto found = history.releases[i].find(std::string(path));
    if (found != history.releases[i].end() && found->second != digest &&
        std::ranges::find(versions, found->second) == versions.end()) {
      versions.push_back(found->second);
    }
  }
  return versions;
}

std::map<std::string, VersionPlan> planVersions(const formats::ReleaseHistory& history,
                                                const std::vector<DescribedFile>& files) {
  std::map<std::string, VersionPlan> plans;
  const auto addSource = [](VersionPlan& plan, std::string source) {
    if (std::ranges::find(plan.sources, source) == plan.sources.end()) {
      plan.sources.push_back(std::move(source));
    }
  };
  for (const DescribedFile& file : files) {
    VersionPlan& plan = plans[file.digest];
    if (plan.path.empty()) {
      plan.path = file.path;
      plan.size = file.size;
    }
    for (std::string& source : earlierVersions(history, file.path, file.digest)) {
      addSource(plan, std::move(source));
    }
  }
  if (history.releases.size() < 2) {
    return plans;
  }
  const formats::Release& current = history.releases[0];
  for (auto& [path, predecessor] : findPredecessors(history.releases[1], current)) {
    const auto found = plans.find(current.at(path));
    if (found == plans.end()) {
      continue;  // not described
    }
    VersionPlan& plan = found->second;
    if (plan.predecessors.size() < formats::kMaximumPredecessors &&
        std::ranges::find(plan.predecessors, predecessor) == plan.predecessors.end()) {
      if (predecessor.digest != found->first) {
        addSource(plan, predecessor.digest);
      }
      plan.predecessors.push_back(std::move(predecessor));
    }
  }
  return plans;
}

bool patchPays(std::int64_t patchBytes, std::int64_t copyBytes, std::int64_t size) {
  const std::int64_t without = copyBytes > 0 ? copyBytes : size;
  return patchBytes <= without - without / 10;
}

std::unordered_set<std::string> windowOf(const formats::ReleaseHistory& history) {
  std::unordered_set<std::string> window;
  for (const formats::Release& release : history.releases) {
    for (const auto& [path, digest] : release) {
      window.insert(digest);
    }
  }
  return window;
}

bool keeps(const KeptVersions& kept, const formats::FolderName& name) {
  using Kind = formats::FolderName::Kind;
  switch (name.kind) {
    case Kind::kIndex:
      return kept.indexed.contains(name.digest);
    case Kind::kCopy:
      return kept.current.contains(name.digest) || kept.window.contains(name.digest);
    case Kind::kPatch:
      return kept.current.contains(name.digest) && kept.window.contains(name.from);
    case Kind::kDescription:
      return kept.current.contains(name.digest);
    case Kind::kReleaseHistory:
      return true;
    case Kind::kReleaseDescription:
    case Kind::kBundle:
      return name.digest == kept.catalog;
  }
  return false;
}

void forgetStaleRefusals(formats::ReleaseHistory& history, const KeptVersions& kept) {
  std::erase_if(history.refused, [&kept](const auto& refused) {
    return !keeps(kept, {formats::FolderName::Kind::kPatch, refused.first, refused.second});
  });
}

}  // namespace catalog
