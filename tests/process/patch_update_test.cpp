// Files updated by the publisher's patches and compressed copies, good,
// wrong, hostile or missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "client_process_fixture.hpp"
#include "compress/zstd_codec.hpp"
#include "crypto/sha3.hpp"
#include "formats/file_description.hpp"
#include "formats/release_description.hpp"
#include "formats/tool_files.hpp"
#include "updater/plan/staging_plan.hpp"
#include "updater/route/delta_route.hpp"

namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;
using updater_testing::binaryContent;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class PatchUpdate : public process_testing::ClientProcessFixture {
 protected:
  // Publishes new_ as lib.so with `description` and the index folder's `files`.
  void publish(const formats::FileDescription& description,
               const std::vector<updater_testing::PublishedFile>& files) {
    updater_testing::publishTree(published_.path(), {{"lib.so", new_}});
    const std::string folder = published_ / std::string(formats::kBlockIndexDirectoryName);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    writeFile(folder + "/" + formats::descriptionNameOf(newDigest_),
              formats::describe(description));
    for (const auto& file : files) {
      writeFile(folder + "/" + file.path, file.content);
    }
  }

  // With a patch from the target's version unless `patchBytes` is 0.
  formats::FileDescription describing(std::int64_t patchBytes, std::int64_t copyBytes = 0) const {
    const formats::FileDescription::Patch patch{oldDigest_.substr(0, 16), patchBytes};
    return {std::ssize(new_), copyBytes,
            patchBytes > 0 ? std::vector{patch} : std::vector<formats::FileDescription::Patch>{}};
  }

  std::string patchName() const { return formats::patchNameOf(oldDigest_, newDigest_); }

  const std::string old_ = binaryContent(200000, 7);
  const std::string new_ = [this] {
    std::string changed = old_;
    changed.replace(90000, 3000, binaryContent(3000, 8));
    return changed;
  }();
  const std::string oldDigest_ = crypto::sha3Hex(old_);
  const std::string newDigest_ = crypto::sha3Hex(new_);
  const std::string patch_ = compress::makePatch(bytesOf(old_), bytesOf(new_));
};

TEST_F(PatchUpdate, APatchIsAllItFetchesAndAWrongOrHostileOneCostsBytesNeverTheFile) {
  const std::string truncated = patch_.substr(0, patch_.size() / 2);
  // Against the target and 5 bytes more: every match it makes lands 5 bytes off.
  const std::string otherReference =
      compress::makePatch(bytesOf(old_ + binaryContent(5, 9)), bytesOf(new_));
  const std::string garbage(patch_.size(), 'x');
  const std::string copy = compress::makePatch({}, bytesOf(new_));
  const std::string otherCopy = compress::makePatch({}, bytesOf(old_));
  const std::string patchFailed = "Patch not used: lib.so: ";
  const std::string whole = "Whole download: lib.so: ";
  formats::FileDescription bomb = describing(0, std::ssize(copy));
  bomb.size = static_cast<std::int64_t>(new_.size()) / 2;
  const struct {
    const char* name;
    formats::FileDescription description;
    std::vector<updater_testing::PublishedFile> files;
    std::string line;  // as -v gives it
  } cases[] = {
      {"patch",
       describing(std::ssize(patch_)),
       {{patchName(), patch_}},
       "Patch: lib.so: fetched " + std::to_string(patch_.size()) + " bytes\n"},
      {"wrong patch",
       describing(std::ssize(garbage)),
       {{patchName(), garbage}},
       patchFailed + "bad compressed file"},
      {"truncated patch",
       describing(std::ssize(patch_)),
       {{patchName(), truncated}},
       patchFailed + "bad compressed file: it ends early"},
      {"patch of another reference",
       describing(std::ssize(otherReference)),
       {{patchName(), otherReference}},
       patchFailed + "bad compressed file"},
      {"patch larger than described", describing(100), {{patchName(), patch_}}, patchFailed},
      {"copy that decodes past the file's size",
       bomb,
       {{formats::copyNameOf(newDigest_), copy}},
       whole + "the compressed copy failed (bad compressed file: "},
      {"copy of another file",
       describing(0, std::ssize(otherCopy)),
       {{formats::copyNameOf(newDigest_), otherCopy}},
       whole + "the compressed copy failed (it makes a file of another digest"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    publish(c.description, c.files);
    writeFile(clientFile("lib.so"), old_);
    server_.clearRequests();
    const testing_support::ProcessResult result = update({"-v"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find(c.line), std::string::npos) << result.out;
    EXPECT_EQ(readFile(clientFile("lib.so")), new_);
    EXPECT_FALSE(fileExists(clientFile("lib.so.tolvex-pending")));
    // A patch is all it takes; a fall back takes the file once, whole.
    EXPECT_EQ(server_.requestsFor("/lib.so").size(), c.line.starts_with("Patch:") ? 0U : 1U);
  }
}

TEST_F(PatchUpdate, APublisherWithoutDescriptionsIsAskedAFewTimesOnly) {
  std::vector<updater_testing::PublishedFile> files;
  for (unsigned i = 0; i < 40; ++i) {
    files.push_back({std::to_string(i), binaryContent(4000, 100 + i)});
    writeFile(clientFile(files.back().path), binaryContent(4000, i));
  }
  updater_testing::publishTree(published_.path(), files);
  ASSERT_EQ(update().exitStatus, 0);
  std::size_t asked = 0;
  for (const auto& file : files) {
    EXPECT_EQ(readFile(clientFile(file.path)), file.content);
    std::string url = "/";
    url += formats::toolFolderPathOf(formats::descriptionNameOf(crypto::sha3Hex(file.content)));
    asked += server_.requestsFor(url).size();
  }
  // More files than go at once: those asked before the first misses came back.
  EXPECT_GT(asked, 0U);
  EXPECT_LE(asked, updater::PublisherOffer::kDescriptionMisses +
                       updater::StagingPlan::kMaxSmallDeltasUnderway);
}

// A release of 40 changed files, each described and patched alone and in
// the release description and its bundle, `damage` done to the one or the other.
TEST_F(PatchUpdate, ManyChangedFilesTakeOneDescriptionAndTheBundlesRanges) {
  std::vector<updater_testing::PublishedFile> files;
  std::vector<std::string> olds;
  for (unsigned i = 0; i < 40; ++i) {
    olds.push_back(binaryContent(4000, i));
    std::string changed = olds.back();
    changed.replace(1000, 100, binaryContent(100, 100 + i));
    files.push_back({std::to_string(10 + i), changed});
  }
  updater_testing::publishTree(published_.path(), files);
  const std::string catalog =
      crypto::sha3Hex(readFile(published_ / std::string(formats::kCatalogFileName)));
  const std::string folder = published_ / std::string(formats::kBlockIndexDirectoryName);
  const std::string bundlePath = "/" + formats::toolFolderPathOf(formats::bundleNameOf(catalog));
  const std::string releasePath =
      "/" + formats::toolFolderPathOf(formats::releaseDescriptionNameOf(catalog));
  std::filesystem::create_directories(folder);
  formats::ReleaseDescription release;
  std::string bundle;
  std::vector<std::string> patchPaths;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string to = crypto::sha3Hex(files[i].content);
    const std::string from = crypto::sha3Hex(olds[i]);
    const std::string patch = compress::makePatch(bytesOf(olds[i]), bytesOf(files[i].content));
    const formats::FileDescription description{
        std::ssize(files[i].content), 0, {{from.substr(0, 16), std::ssize(patch)}}};
    writeFile(folder + "/" + formats::descriptionNameOf(to), formats::describe(description));
    writeFile(folder + "/" + formats::patchNameOf(from, to), patch);
    patchPaths.push_back("/" + formats::toolFolderPathOf(formats::patchNameOf(from, to)));
    release.versions[to.substr(0, 16)] = {description, {std::ssize(bundle)}};
    bundle += patch;
  }
  release.bundleBytes = std::ssize(bundle);
  const std::string text = formats::describeRelease(release);
  const std::size_t alone = updater::PublisherOffer::kDescribedAlone;
  const struct {
    const char* name;
    std::string bundle;
    std::string release;
    std::size_t patchesAlone;  // at most, of those that began first; or every file's
  } cases[] = {
      {"whole", bundle, compress::makePatch({}, bytesOf(text)), alone},
      // Every patch of the bundle broken: each is asked for alone.
      {"damaged bundle", std::string(bundle.size(), 'x'), compress::makePatch({}, bytesOf(text)),
       files.size()},
      {"damaged release description", bundle, std::string(200, 'x'), files.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(folder + "/" + formats::bundleNameOf(catalog), c.bundle);
    writeFile(folder + "/" + formats::releaseDescriptionNameOf(catalog), c.release);
    for (std::size_t i = 0; i < files.size(); ++i) {
      writeFile(clientFile(files[i].path), olds[i]);
    }
    server_.clearRequests();
    const testing_support::ProcessResult result = update({"-v"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    std::size_t patchesAlone = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(readFile(clientFile(files[i].path)), files[i].content);
      EXPECT_EQ(server_.requestsFor("/" + files[i].path).size(), 0U);
      patchesAlone += server_.requestsFor(patchPaths[i]).size();
    }
    EXPECT_EQ(server_.requestsFor(releasePath).size(), 1U);
    const std::size_t ranged = server_.requestsFor(bundlePath).size();
    // Batched; none once the release description proves unusable.
    const bool batched = c.release.size() != 200;
    EXPECT_EQ(ranged > 0, batched);
    EXPECT_LE(ranged, files.size());
    if (c.patchesAlone == alone) {
      EXPECT_LE(patchesAlone, alone);
    } else {
      EXPECT_EQ(patchesAlone, c.patchesAlone);
    }
  }
}

// A new path whose description names a file of the previous release that the
// client holds at another path: copied or patched from it, never fetched; a
// hostile or wrong name is ignored, and what it names is left as it was.
TEST_F(PatchUpdate, ANewPathComesFromItsPredecessorAndAHostileNameIsIgnored) {
  const testing_support::TempDir outside;
  const std::string outsideName = std::filesystem::path(outside.path()).filename();
  writeFile(outside / "lib.so", old_);
  writeFile(clientFile("old/lib.so"), old_);
  writeFile(clientFile("old/lib.so.tolvex-pending"), old_);
  writeFile(clientFile("other/lib.so"), binaryContent(old_.size(), 9));
  std::filesystem::create_symlink(outside.path(), clientFile("link"));
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::lchown(clientFile("link").c_str(), 65534, 65534), 0);
  }
  const std::string none = "Patch not used: new/lib.so: none of its predecessors may be read here";
  const struct {
    const char* name;
    std::string path;  // named with the version's own digest
    std::string line;  // as -v gives it
  } cases[] = {
      {"moved", "old/lib.so", "Copy: new/lib.so: from old/lib.so, no bytes fetched\n"},
      {"patched", "old/lib.so", "Patch: new/lib.so: fetched " + std::to_string(patch_.size())},
      {"absolute", outside / "lib.so", none},
      {"outside", "../" + outsideName + "/lib.so", none},
      {"another user's link", root ? "link/lib.so" : "", none},
      {"catalog", std::string(formats::kCatalogFileName), none},
      {"staged file", "old/lib.so.tolvex-pending", none},
      {"missing", "gone/lib.so", none},
      {"wrong digest", "other/lib.so",
       "Patch not used: new/lib.so: its predecessor other/lib.so is not the version named"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path.empty()) {
      continue;
    }
    // The version itself, or new_ by its patch from old_.
    const bool patched = c.line.starts_with("Patch:");
    const std::string& version = patched ? new_ : old_;
    const std::string digest = crypto::sha3Hex(version);
    const std::string copy = compress::makePatch({}, bytesOf(version));
    formats::FileDescription description = describing(std::ssize(patch_), std::ssize(copy));
    description.size = std::ssize(version);
    description.predecessors = {{patched ? oldDigest_ : digest, c.path}};
    updater_testing::publishTree(published_.path(), {{"new/lib.so", version}});
    const std::string folder = published_ / std::string(formats::kBlockIndexDirectoryName);
    writeFile(folder + "/" + formats::descriptionNameOf(digest), formats::describe(description));
    writeFile(folder + "/" + formats::copyNameOf(digest), copy);
    writeFile(folder + "/" + patchName(), patch_);
    std::filesystem::remove_all(clientFile("new"));
    server_.clearRequests();
    const testing_support::ProcessResult result = update({"-v"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find(c.line), std::string::npos) << result.out;
    EXPECT_EQ(readFile(clientFile("new/lib.so")), version);
    EXPECT_FALSE(fileExists(clientFile("new/lib.so.tolvex-pending")));
    EXPECT_EQ(server_.requestsFor("/new/lib.so").size(), 0U);
    const std::string copyUrl = "/" + formats::toolFolderPathOf(formats::copyNameOf(digest));
    EXPECT_EQ(server_.requestsFor(copyUrl).size(), c.line.starts_with("Patch not used") ? 1U : 0U);
    EXPECT_EQ(readFile(clientFile("old/lib.so")), old_);
    EXPECT_EQ(readFile(clientFile("old/lib.so.tolvex-pending")), old_);
    EXPECT_EQ(readFile(outside / "lib.so"), old_);
    EXPECT_EQ(readFile(clientFile("other/lib.so")), binaryContent(old_.size(), 9));
  }
}

}  // namespace
