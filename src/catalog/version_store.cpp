#include "catalog/version_store.hpp"

#include <algorithm>
#include <set>
#include <utility>

#include "catalog/version_plan.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "crypto/sha3.hpp"
#include "formats/file_description.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

bool notAfter(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::optional<formats::FileDescription> readDescription(const ToolFolder& folder,
                                                        const std::string& digest) {
  const std::optional<std::string> text =
      folder.read(formats::descriptionNameOf(digest), formats::kMaximumDescriptionBytes);
  try {
    return text ? std::optional(formats::parseFileDescription(*text)) : std::nullopt;
  } catch (const common::ValueError&) {
    // recovery point: a damaged description is written again
    return std::nullopt;
  }
}

// The bytes of the file at `path` when they are still those of `digest`: a
// file that changed since its digest was taken is left for the next publish.
std::optional<std::string> readVersion(const std::string& path, const std::string& digest) {
  const common::FileDescriptor file = common::openRegularFileToRead(path);
  if (file.get() < 0) {
    throw common::IOError("cannot open: " + path);
  }
  const std::int64_t size = common::fileSizeOf(file.get());
  if (size > formats::kMaximumPatchedBytes) {
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  bytes.resize(
      common::readAt(file.get(), 0, {reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()}));
  if (crypto::sha3Hex(bytes) != digest) {
    return std::nullopt;
  }
  return bytes;
}

// One version's patches to make, and what came of them.
struct Target {
  std::string path;
  std::int64_t size = 0;
  std::int64_t copyBytes = 0;
  std::vector<std::string> sources;  // earlier versions, newest first
  std::vector<std::string> toMake;
};

struct TargetOutcome {
  std::map<std::string, std::int64_t> made;  // patch bytes by source
  std::vector<std::string> refused;
  std::vector<std::string> warnings;
};

// Makes the patches of `target` (version `digest`), holding its bytes and one
// earlier version's at a time.
TargetOutcome makePatches(ToolFolder& folder, const std::string& digest, const Target& target) {
  TargetOutcome outcome;
  try {
    const std::optional<std::string> to = readVersion(target.path, digest);
    if (!to) {
      return outcome;
    }
    for (const std::string& source : target.toMake) {
      const std::optional<std::string> copy =
          folder.read(formats::copyNameOf(source), formats::kMaximumPatchedBytes);
      std::string from =
          copy ? compress::decompressCopy(bytesOf(*copy), formats::kMaximumPatchedBytes) : "";
      if (!copy || crypto::sha3Hex(from) != source) {
        outcome.warnings.push_back("not a copy of its version: " +
                                   formats::toolFolderPathOf(formats::copyNameOf(source)));
        continue;
      }
      const std::string patch = compress::makePatch(bytesOf(from), bytesOf(*to));
      const auto bytes = static_cast<std::int64_t>(patch.size());
      if (patchPays(bytes, target.copyBytes, target.size)) {
        folder.write(formats::patchNameOf(source, digest), patch);
        outcome.made.emplace(source, bytes);
      } else {
        outcome.refused.push_back(source);
      }
    }
  } catch (const common::Error& error) {
    // recovery point: a patch only saves transfer; the catalog is published without it
    outcome.warnings.push_back("no patches to " + target.path + ": " + error.what());
  }
  return outcome;
}

}  // namespace

void CopyTap::add(std::span<const std::uint8_t> bytes) {
  added_ += static_cast<std::int64_t>(bytes.size());
  if (writer_) {
    writer_->add(bytes);
    if (added_ == size_) {
      copy_ = writer_->finish();
      writer_.reset();
    }
  } else if (added_ > size_) {
    copy_.reset();  // the file grew past its size
  }
}

bool VersionStore::describes(std::int64_t size) {
  return size >= formats::kMinimumDescribedBytes && size <= formats::kMaximumPatchedBytes;
}

VersionStore::VersionStore(ToolFolder& folder) : folder_(folder) {
  for (const ToolFolder::Member& member : folder.members()) {
    const std::optional<formats::FolderName> name = formats::parseFolderName(member.name);
    if (name->kind != formats::FolderName::Kind::kDescription) {
      continue;
    }
    if (const auto description = readDescription(folder, name->digest)) {
      auto [at, added] = newestBySize_.try_emplace(description->size, member.status.st_mtim);
      if (!added && notAfter(at->second, member.status.st_mtim)) {
        at->second = member.status.st_mtim;
      }
    }
  }
}

bool VersionStore::likelyHasCopy(std::int64_t size, const timespec& changed) const {
  const auto newest = newestBySize_.find(size);
  return newest != newestBySize_.end() && notAfter(changed, newest->second);
}

std::optional<std::int64_t> VersionStore::ensureCopy(const std::string& path,
                                                     const std::string& digest, std::int64_t size,
                                                     CopyTap* tap) {
  const std::string name = formats::copyNameOf(digest);
  std::optional<std::int64_t> known = folder_.sizeOf(name);
  if (!known || *known == 0) {
    const auto description = readDescription(folder_, digest);
    known = description && description->size == size && description->copyBytes == 0
                ? std::optional<std::int64_t>(0)
                : std::nullopt;
  }
  if (known) {
    // Compressed for nothing (its file was touched, or another file came with
    // the same content): a newer description makes the next guess right.
    if (tap != nullptr) {
      folder_.touch(formats::descriptionNameOf(digest));
    }
    return *known;
  }
  std::optional<std::string> copy;
  if (tap != nullptr && tap->complete()) {
    copy = std::move(tap->copy());
  } else {
    const std::optional<std::string> bytes = readVersion(path, digest);
    if (!bytes) {
      return std::nullopt;
    }
    compress::CopyWriter writer(size);
    writer.add(bytesOf(*bytes));
    copy = writer.finish();
  }
  if (!copy) {
    return 0;
  }
  folder_.write(name, *copy);
  return static_cast<std::int64_t>(copy->size());
}

std::vector<std::string> VersionStore::publish(const std::vector<DescribedFile>& files,
                                               formats::ReleaseHistory& history,
                                               std::size_t workers) {
  std::map<std::string, std::int64_t> present;
  for (const ToolFolder::Member& member : folder_.members()) {
    present.emplace(member.name, member.status.st_size);
  }
  std::map<std::string, Target> targets;
  for (const DescribedFile& file : files) {
    Target& target = targets[file.digest];
    target.path = file.path;
    target.size = file.size;
    target.copyBytes = file.copyBytes;
    for (std::string& source : earlierVersions(history, file.path, file.digest)) {
      if (std::ranges::find(target.sources, source) == target.sources.end()) {
        target.sources.push_back(std::move(source));
      }
    }
  }
  std::vector<std::string> warnings;
  using Made = std::pair<const std::string*, TargetOutcome>;
  common::OrderedPool<Made> pool(workers, workers * 2);
  for (auto& entry : targets) {
    const std::string& digest = entry.first;
    Target& target = entry.second;
    for (const std::string& source : target.sources) {
      if (present.contains(formats::copyNameOf(source)) &&
          !present.contains(formats::patchNameOf(source, digest)) &&
          !history.refused.contains({digest, source})) {
        target.toMake.push_back(source);
      }
    }
    if (target.toMake.empty()) {
      continue;
    }
    pool.submit(
        [this, &entry] {
          return Made{&entry.first, makePatches(folder_, entry.first, entry.second)};
        },
        [&](Made&& made) {
          for (const auto& [source, bytes] : made.second.made) {
            present[formats::patchNameOf(source, *made.first)] = bytes;
          }
          for (const std::string& source : made.second.refused) {
            history.refused.emplace(*made.first, source);
          }
          std::ranges::move(made.second.warnings, std::back_inserter(warnings));
        });
  }
  pool.drain();
  for (const auto& [digest, target] : targets) {
    formats::FileDescription description{target.size, target.copyBytes, {}};
    for (const std::string& source : target.sources) {
      const auto patch = present.find(formats::patchNameOf(source, digest));
      if (patch != present.end()) {
        description.patches.push_back(
            {source.substr(0, formats::kPatchPrefixDigits), patch->second});
      }
    }
    std::string text = formats::describe(description);
    // The oldest patches give way when a version has more than a client reads.
    while (static_cast<std::int64_t>(text.size()) > formats::kMaximumDescriptionBytes) {
      description.patches.pop_back();
      text = formats::describe(description);
    }
    const std::string name = formats::descriptionNameOf(digest);
    try {
      if (folder_.read(name, formats::kMaximumDescriptionBytes) != text) {
        folder_.write(name, text);
      }
    } catch (const common::Error& error) {
      // recovery point: a client without the description fetches the whole file
      warnings.push_back("cannot write " + formats::toolFolderPathOf(name) + ": " + error.what());
    }
  }
  return warnings;
}

}  // namespace catalog
