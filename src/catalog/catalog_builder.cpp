#include "catalog/catalog_builder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "catalog/block_index_folder.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/ordered_pool.hpp"
#include "common/output.hpp"
#include "crypto/sha3.hpp"
#include "formats/catalog_file.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

// Files hashed ahead of the catalog's next line, per worker: enough to keep every
// worker busy across a run of tiny files, while memory stays independent of the tree.
constexpr std::size_t kJobsPerWorker = 64;

enum class EntryKind { kDirectory, kLink, kFile, kUnknown };

// The walk needs to know directories (to descend), links (never followed nor
// catalogued) and everything else (catalogued). The listing's type saves a
// system call per entry; only file systems that do not report it cost one.
EntryKind entryKind(DIR* dir, const dirent& entry) {
  switch (entry.d_type) {
    case DT_DIR:
      return EntryKind::kDirectory;
    case DT_LNK:
      return EntryKind::kLink;
    case DT_UNKNOWN:
      break;
    default:
      return EntryKind::kFile;
  }
  struct stat status {};
  if (::fstatat(::dirfd(dir), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return EntryKind::kUnknown;
  }
  if (S_ISDIR(status.st_mode)) {
    return EntryKind::kDirectory;
  }
  return S_ISLNK(status.st_mode) ? EntryKind::kLink : EntryKind::kFile;
}

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A candidate on its way into the catalog: its path (backslashes already turned
// into "/") and, when the ignore rules keep it, its digest text and whether it
// has a block index.
struct Candidate {
  std::string path;
  bool included = false;
  std::string digest;
  bool indexed = false;
};

// One run of the walk. The walk itself and the ignore decisions stay on this
// thread; only the digests are computed by the pool's workers, and every line
// is written by `emit` on this thread in walk order, so the output is the one a
// serial run gives.
class CatalogWalk {
 public:
  CatalogWalk(const IgnoreRules& rules, std::string_view executableName,
              common::OutputFile& catalog, BlockIndexFolder& indexes, std::size_t workers)
      : rules_(rules),
        executableName_(executableName),
        catalog_(catalog),
        indexes_(indexes),
        pool_(workers, workers * kJobsPerWorker) {}

  CatalogContent run() {
    std::vector<std::string> stack{std::string()};
    while (!stack.empty()) {
      const std::string directory = std::move(stack.back());
      stack.pop_back();
      listDirectory(directory, stack);
    }
    pool_.drain();
    return std::move(content_);
  }

 private:
  void listDirectory(const std::string& directory, std::vector<std::string>& stack) {
    const common::DirPtr dir(::opendir(directory.empty() ? "." : ("./" + directory).c_str()));
    if (!dir) {
      return;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
      if (isDotOrDotDot(entry->d_name)) {
        continue;
      }
      const EntryKind kind = entryKind(dir.get(), *entry);
      if (kind == EntryKind::kUnknown || kind == EntryKind::kLink) {
        continue;
      }
      relative_ = directory;
      if (!directory.empty()) {
        relative_ += '/';
      }
      relative_ += entry->d_name;
      if (kind == EntryKind::kDirectory) {
        if (relative_ != formats::kBlockIndexDirectoryName) {
          stack.push_back(relative_);
        }
      } else {
        processCandidate(relative_);
      }
    }
  }

  bool isOwnFile(std::string_view path) const {
    return formats::isRootToolFile(path) || formats::isPendingPath(path) || path == executableName_;
  }

  void processCandidate(std::string_view path) {
    // A leading ".\" is what a path written with backslashes starts with.
    if (path.starts_with(".\\")) {
      path.remove_prefix(2);
    }
    if (isOwnFile(path)) {
      return;
    }
    Candidate candidate{std::string(path), isIncludedInTurn(path), {}};
    for (char& c : candidate.path) {
      if (c == '\\') {
        c = '/';
      }
    }
    if (!candidate.included) {
      pool_.submitReady(std::move(candidate), emit_);
      return;
    }
    // Each job runs once, so it may hand its own path on to the result.
    pool_.submit(
        [candidate = std::move(candidate), &indexes = indexes_]() mutable {
          candidate.digest = crypto::sha3FileHexIfRegular(candidate.path);
          // The digest comes first: an index is named after it, so one that
          // exists already costs no second read of the file.
          const std::int64_t size =
              candidate.digest.empty() ? 0 : common::regularFileSize(candidate.path);
          if (BlockIndexFolder::indexes(size)) {
            indexes.ensure(candidate.path, candidate.digest, size);
            candidate.indexed = true;
          }
          return std::move(candidate);
        },
        emit_);
  }

  bool isIncludedInTurn(std::string_view path) {
    try {
      return isIncluded(rules_, path);
    } catch (const common::Error&) {
      // Not handled, only delayed: a bad pattern surfaces where a serial walk
      // meets it, after the lines of every earlier candidate (and after any
      // failure among those, which drain raises instead).
      pool_.drain();
      throw;
    }
  }

  void emit(Candidate&& candidate) {
    if (!candidate.included) {
      common::printOut("Ignored : " + candidate.path);
      return;
    }
    catalog_.write(formats::catalogLine(candidate.digest, candidate.path));
    if (candidate.indexed) {
      content_.indexedDigests.insert(std::move(candidate.digest));
    }
    common::printOut("Added   : " + candidate.path);
    ++content_.fileCount;
  }

  const IgnoreRules& rules_;
  const std::string executableName_;
  common::OutputFile& catalog_;
  BlockIndexFolder& indexes_;
  CatalogContent content_;
  std::string relative_;
  const common::OrderedPool<Candidate>::Consumer emit_ = [this](Candidate&& candidate) {
    emit(std::move(candidate));
  };
  // Last, so that its workers are joined before anything else goes away.
  common::OrderedPool<Candidate> pool_;
};

}  // namespace

CatalogContent buildCatalog(const IgnoreRules& rules, std::string_view executableName,
                            common::OutputFile& catalog, BlockIndexFolder& indexes,
                            std::size_t workers) {
  return CatalogWalk(rules, executableName, catalog, indexes, workers).run();
}

}  // namespace catalog
