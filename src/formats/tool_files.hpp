#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace formats {

// The names of the tool's own files. Each is written here once; every other
// module refers to these constants.

// In the home directory: the publisher's key pair.
inline constexpr std::string_view kKeypairFileName = ".tolvex-signer-keypair";
// In the root of a published tree and of a client directory.
inline constexpr std::string_view kCatalogFileName = "updater-catalog.sha3";
inline constexpr std::string_view kSignatureFileName = "updater-catalog.sig";
inline constexpr std::string_view kSourceFileName = "updater-source.json";
inline constexpr std::string_view kIgnoreFileName = ".tolvexignore";
// In a client directory, while the catalog arrives and until its signature is
// checked; a run removes the one that a killed run left.
inline constexpr std::string_view kCatalogDownloadFileName = "updater-catalog.sha3.tolvex-download";
// In the root of a published tree, while update-catalog writes them: the next
// catalog and signature, each under its name followed by this and the writer's
// process id, until both are renamed into place.
inline constexpr std::string_view kPublishingInfix = ".tolvex-new-";
// In a client directory: the file that one update at a time locks. Created
// 0600 and never deleted, so that only users who may write the directory can
// hold the lock.
inline constexpr std::string_view kRunLockFileName = ".tolvex-lock";
// In a client directory: the release number of the newest catalog that a run
// applied, in whole or in part, so that no older one is applied after it.
inline constexpr std::string_view kReleaseFileName = ".tolvex-release";
// In the root of a published tree: the block indexes of its large files, each
// named after its file's digest text. Only clients that update by deltas read it.
inline constexpr std::string_view kBlockIndexDirectoryName = ".tolvex-index";
// In the same folder, beside the indexes, named after digest texts as well:
// the zstd-compressed copy of a file, the patch that makes it from an earlier
// version (zstd with that version as its reference), and the description that
// tells a client which of them the publisher has; and the publisher's record
// of the releases whose versions it keeps. Only clients that update by
// patches read them.
inline constexpr std::string_view kCopySuffix = ".zst";
inline constexpr std::string_view kPatchInfix = ".from.";
inline constexpr std::string_view kDescriptionSuffix = ".desc";
inline constexpr std::string_view kReleaseHistoryName = "releases";
// The description of a whole release and the bundle of its patches, named
// after the catalog's digest text.
inline constexpr std::string_view kReleaseDescriptionSuffix = ".release.zst";
inline constexpr std::string_view kBundleSuffix = ".patches";
// Appended to a target's path to name its staged file, in the target's directory.
inline constexpr std::string_view kPendingSuffix = ".tolvex-pending";

// The staged file of `path`: `path` followed by ".tolvex-pending".
std::string pendingPathOf(std::string_view path);

// True when `path` names a staged file: it ends in ".tolvex-pending". Such a
// file is the tool's own wherever it lies; no catalog lists it.
bool isPendingPath(std::string_view path);

// The temporary copy of the staged file of `path` when it cannot be renamed
// across file systems: the staged file's own staged path, which no accepted
// catalog entry can have, since none ends in ".tolvex-pending".
std::string copyPathOf(std::string_view path);

// The relative path of the block index of a file whose digest text is `digest`.
std::string blockIndexPathOf(std::string_view digest);

// True when `name` is what a block index is called in its folder: a digest
// text, 64 lower-case hexadecimal digits.
bool isBlockIndexName(std::string_view name);

// The names, in the index folder, of the compressed copy and the description
// of the file whose digest text is `digest`, and of the patch that makes the
// version `to` from the version `from`: "TO.zst", "TO.desc", "TO.from.FROM.zst".
std::string copyNameOf(std::string_view digest);
std::string descriptionNameOf(std::string_view digest);
std::string patchNameOf(std::string_view from, std::string_view to);
// "CATALOG.release.zst" and "CATALOG.patches", of the catalog whose digest
// text is `catalogDigest`.
std::string releaseDescriptionNameOf(std::string_view catalogDigest);
std::string bundleNameOf(std::string_view catalogDigest);
// Their relative paths from the root: the index folder, "/", the name.
std::string toolFolderPathOf(std::string_view name);

// What a name in the index folder is, when it is one that this tool writes
// there (a temporary file of any of them aside).
struct FolderName {
  enum class Kind {
    kIndex,
    kCopy,
    kDescription,
    kPatch,
    kReleaseHistory,
    kReleaseDescription,
    kBundle
  };
  Kind kind = Kind::kIndex;
  // The file's (for a patch: the version it makes; for a release description
  // or a bundle: the catalog's)
  std::string digest;
  std::string from;  // a patch's reference version
};
std::optional<FolderName> parseFolderName(std::string_view name);

// The name under which update-catalog process `pid` writes the next version of
// the root file `name` (the catalog or the signature).
std::string publishingNameOf(std::string_view name, long pid);

// True when the relative `path` names what publishingNameOf gives for the
// catalog or the signature and any process.
bool isPublishingPath(std::string_view path);

// True when the relative `path` is one of the tool's own files of a published
// root (catalog, signature, descriptor, ignore file, catalog download, run
// lock, kept release number, and the catalog and signature being published),
// which no catalog lists.
bool isRootToolFile(std::string_view path);

}  // namespace formats
