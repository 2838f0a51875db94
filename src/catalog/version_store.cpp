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
  const VersionPlan& plan;
  std::int64_t copyBytes = 0;
  std::vector<std::string> toMake;
};

struct TargetOutcome {
  std::vector<std::string> refused;
  std::vector<std::string> warnings;
};

// Makes the patches of `target` (version `digest`), holding its bytes and one
// earlier version's at a time.
TargetOutcome makePatches(ToolFolder& folder, const std::string& digest, const Target& target) {
  TargetOutcome outcome;
  try {
    const std::optional<std::string> to = readVersion(target.plan.path, digest);
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
      if (patchPays(bytes, target.copyBytes, target.plan.size)) {
        folder.write(formats::patchNameOf(source, digest), patch);
      } else {
        outcome.refused.push_back(source);
      }
    }
  } catch (const common::Error& error) {
    // recovery point: a patch only saves transfer; the catalog is published without it
    outcome.warnings.push_back("no patches to " + target.plan.path + ": " + error.what());
  }
  return outcome;
}

}  // namespace

std::optional<formats::FileDescription> readDescription(const ToolFolder& folder,
                                                        const std::string& digest) {
  const std::optional<std::string> text =
      folder.read(formats::descriptionNameOf(digest), formats::kMaximumDescriptionBytes);
  try {
    return text ? std::optional(formats::parseFileDescription(*text)) : std::nullopt;
  } catch (const common::ValueError&) {
    // recovery point: a damaged description is written again, and serves no one
    return std::nullopt;
  }
}

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

VersionStore::VersionStore(ToolFolder& folder, const formats::ReleaseHistory& history)
    : folder_(folder) {
  const auto status = folder.statusOf(std::string(formats::kReleaseHistoryName));
  if (status && !history.releases.empty()) {
    recorded_ = history.releases.front();
    recordedAt_ = status->st_mtim;
  }
}

bool VersionStore::likelyHasCopy(const std::string& path, const timespec& changed) const {
  return recordedAt_ && notAfter(changed, *recordedAt_) && recorded_.contains(path);
}

bool VersionStore::ensureCopy(const std::string& path, const std::string& digest, std::int64_t size,
                              CopyTap* tap) {
  const std::string name = formats::copyNameOf(digest);
  bool known = folder_.holdsFile(name);
  if (!known) {
    const auto description = readDescription(folder_, digest);
    known = description && description->size == size && description->copyBytes == 0;
  }
  if (known) {
    // Compressed for nothing (its file was touched, or another file came with
    // the same content): a newer history makes the next guess right.
    if (tap != nullptr && !guessCorrected_.exchange(true)) {
      folder_.touch(std::string(formats::kReleaseHistoryName));
    }
    return true;
  }
  std::optional<std::string> copy;
  if (tap != nullptr && tap->complete()) {
    copy = std::move(tap->copy());
  } else {
    const std::optional<std::string> bytes = readVersion(path, digest);
    if (!bytes) {
      return false;
    }
    compress::CopyWriter writer(size);
    writer.add(bytesOf(*bytes));
    copy = writer.finish();
  }
  if (copy) {
    folder_.write(name, *copy);
  }
  return true;
}

std::vector<std::string> VersionStore::publish(const std::map<std::string, VersionPlan>& plans,
                                               formats::ReleaseHistory& history,
                                               bool releasesChanged, std::size_t workers) {
  std::map<std::string, Target> targets;
  for (const auto& [digest, plan] : plans) {
    targets.emplace(digest, Target{plan, 0, {}});
  }
  // The size of a version's copy; 0 when it does not pay.
  const auto copyBytesOf = [this](const std::string& digest) -> std::int64_t {
    const auto copy = folder_.statusOf(formats::copyNameOf(digest));
    return copy ? copy->st_size : 0;
  };
  std::vector<std::string> warnings;
  using Made = std::pair<const std::string*, TargetOutcome>;
  common::OrderedPool<Made> pool(workers, workers * 2);
  for (auto& entry : targets) {
    const std::string& digest = entry.first;
    Target& target = entry.second;
    for (const std::string& source : target.plan.sources) {
      if (folder_.holdsFile(formats::copyNameOf(source)) &&
          !folder_.holdsFile(formats::patchNameOf(source, digest)) &&
          !history.refused.contains({digest, source})) {
        target.toMake.push_back(source);
      }
    }
    if (target.toMake.empty()) {
      continue;
    }
    target.copyBytes = copyBytesOf(digest);
    pool.submit(
        [this, &entry] {
          return Made{&entry.first, makePatches(folder_, entry.first, entry.second)};
        },
        [&](Made&& made) {
          for (const std::string& source : made.second.refused) {
            history.refused.emplace(*made.first, source);
          }
          std::ranges::move(made.second.warnings, std::back_inserter(warnings));
        });
  }
  pool.drain();
  for (const auto& [digest, target] : targets) {
    const std::string name = formats::descriptionNameOf(digest);
    // Otherwise nothing it says can have changed since the run that wrote it.
    if (!releasesChanged && target.toMake.empty() && !folder_.wrote(formats::copyNameOf(digest)) &&
        folder_.holdsFile(name)) {
      continue;
    }
    formats::FileDescription description{target.plan.size, copyBytesOf(digest), {}};
    for (const std::string& source : target.plan.sources) {
      if (const auto patch = folder_.statusOf(formats::patchNameOf(source, digest))) {
        description.patches.push_back(
            {source.substr(0, formats::kPatchPrefixDigits), patch->st_size});
      }
    }
    // A predecessor serves a client only as the version itself or with its patch.
    for (const formats::FileDescription::Predecessor& predecessor : target.plan.predecessors) {
      if (predecessor.digest == digest || description.patchFrom(predecessor.digest).has_value()) {
        description.predecessors.push_back(predecessor);
      }
    }
    std::string text = formats::describe(description);
    // When a version has more than a client reads, the last predecessors give
    // way (each may take a long path), then the oldest patches.
    while (static_cast<std::int64_t>(text.size()) > formats::kMaximumDescriptionBytes) {
      if (!description.predecessors.empty()) {
        description.predecessors.pop_back();
      } else {
        description.patches.pop_back();
      }
      text = formats::describe(description);
    }
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
