#include "catalog/catalog_builder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "catalog/block_index_folder.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/ordered_pool.hpp"
#include "common/output.hpp"
#include "crypto/sha3_batch.hpp"
#include "delta/block_index.hpp"
#include "formats/catalog_file.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

// Files are hashed in batches that every worker takes part in, each with its
// SHA3 lanes absorbing several files at a time. A batch closes at this many
// files or bytes: a tree's large files rarely come in runs, and only a batch
// that holds many of them keeps the lanes of every worker full.
constexpr std::size_t kBatchFiles = 128;
constexpr std::int64_t kBatchBytes = std::int64_t{1} << 30;

// Batches hashed ahead of the catalog's next line: enough to keep every worker
// busy, while memory stays independent of the tree.
constexpr std::size_t kBatchesAhead = 4;

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
// into "/") and, when the ignore rules keep it, whether it is a regular file
// (and its size then), its block index as it is built from the bytes hashed
// (when the file likely needs one) and its compressed copy likewise, its
// digest text, whether it has a block index, whether it is described, and the
// failure that ends the walk at its line.
struct Candidate {
  std::string path;
  bool included = false;
  bool regular = false;
  std::int64_t size = 0;
  std::unique_ptr<delta::BlockIndexWriter> index;
  std::unique_ptr<CopyTap> copy;
  std::string digest;
  bool indexed = false;
  bool described = false;
  std::exception_ptr failure;
};

using Batch = std::vector<Candidate>;

// A batch as its jobs share it, one per worker: each hashes files of it until
// none is left to start, and the last to finish writes the block indexes.
struct SharedBatch {
  SharedBatch(Batch batch, std::vector<crypto::Sha3File> files, crypto::LaneWidth lanes,
              std::size_t jobs)
      : candidates(std::move(batch)), hashing(std::move(files), lanes), running(jobs) {}

  Batch candidates;
  crypto::Sha3FileBatch hashing;
  std::atomic<std::size_t> running;
};

// Takes the digests of the regular files of `batch` and writes the block
// indexes and copies they need. A failure is kept with its candidate, to be raised at its
// line; the candidates after it are left as they are, since their lines never come.
void takeDigests(Batch& batch, std::vector<crypto::Sha3FileOutcome> outcomes,
                 BlockIndexFolder& indexes, VersionStore& versions) {
  auto outcome = outcomes.begin();
  for (Candidate& candidate : batch) {
    if (!candidate.regular) {
      continue;
    }
    if (outcome->error) {
      candidate.failure = std::make_exception_ptr(*outcome->error);
      return;
    }
    candidate.digest = std::move(outcome->digest);
    // The index covers the very bytes the digest does.
    const std::int64_t size = outcome->bytes;
    ++outcome;
    try {
      // The digest comes first: an index is named after it, so one that
      // exists already costs nothing more.
      if (BlockIndexFolder::indexes(size)) {
        std::optional<std::string> built;
        if (candidate.index) {
          built = candidate.index->finish();
          candidate.index.reset();
        }
        indexes.ensure(candidate.path, candidate.digest, size, std::move(built));
        candidate.indexed = true;
      }
      if (VersionStore::describes(size)) {
        CopyTap* tap = size == candidate.size ? candidate.copy.get() : nullptr;
        candidate.size = size;
        candidate.described = versions.ensureCopy(candidate.path, candidate.digest, size, tap);
        candidate.copy.reset();
      }
    } catch (const common::Error&) {
      // recovery point: raised at this file's line, after the lines before it.
      candidate.failure = std::current_exception();
      return;
    }
  }
}

void runJob(SharedBatch& batch, BlockIndexFolder& indexes, VersionStore& versions) {
  batch.hashing.hash();
  // The last job sees every outcome the others wrote before they counted down.
  if (batch.running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    takeDigests(batch.candidates, batch.hashing.takeOutcomes(), indexes, versions);
  }
}

// One run of the walk. The walk itself and the ignore decisions stay on this
// thread; only the digests are computed by the pool's workers, and every line
// is written by `emit` on this thread in walk order, so the output is the one a
// serial run gives.
class CatalogWalk {
 public:
  CatalogWalk(const IgnoreRules& rules, std::string_view executableName,
              common::OutputFile& catalog, BlockIndexFolder& indexes, VersionStore& versions,
              crypto::LaneWidth lanes, std::size_t workers)
      : rules_(rules),
        executableName_(executableName),
        catalog_(catalog),
        indexes_(indexes),
        versions_(versions),
        lanes_(lanes),
        workers_(workers),
        pool_(workers, workers * kBatchesAhead) {}

  CatalogContent run() {
    std::vector<std::string> stack{std::string()};
    while (!stack.empty()) {
      const std::string directory = std::move(stack.back());
      stack.pop_back();
      listDirectory(directory, stack);
    }
    submitBatch();
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
    Candidate candidate;
    candidate.path = path;
    candidate.included = isIncludedInTurn(path);
    for (char& c : candidate.path) {
      if (c == '\\') {
        c = '/';
      }
    }
    if (candidate.included) {
      // A path that names no regular file (a pipe, a device, a name with a
      // backslash and nothing behind it) is catalogued with an empty digest.
      struct stat status {};
      candidate.regular = ::stat(candidate.path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
      candidate.size = candidate.regular ? status.st_size : 0;
      // A file that likely has its index already is only hashed; any other
      // large one is indexed from the same read.
      if (candidate.regular && BlockIndexFolder::indexes(candidate.size) &&
          !indexes_.likelyHolds(candidate.size, status.st_ctim)) {
        candidate.index = std::make_unique<delta::BlockIndexWriter>(candidate.size, lanes_);
      }
      if (candidate.regular && VersionStore::describes(candidate.size) &&
          !versions_.likelyHasCopy(candidate.path, status.st_ctim)) {
        candidate.copy = std::make_unique<CopyTap>(candidate.size);
      }
      batchFiles_ += candidate.regular ? 1 : 0;
      batchBytes_ += candidate.size;
    }
    batch_.push_back(std::move(candidate));
    if (batchFiles_ >= kBatchFiles || batchBytes_ >= kBatchBytes) {
      submitBatch();
    }
  }

  // Hands the open batch over; one without files to hash needs no worker. Its
  // lines come with its last job, which the pool hands back after the others.
  void submitBatch() {
    if (batch_.empty()) {
      return;
    }
    std::vector<crypto::Sha3File> files;
    for (const Candidate& candidate : batch_) {
      if (candidate.regular) {
        files.push_back({candidate.path, candidate.size, {}});
        delta::BlockIndexWriter* index = candidate.index.get();
        CopyTap* copy = candidate.copy.get();
        if (index != nullptr || copy != nullptr) {
          files.back().tap = [index, copy](std::span<const std::uint8_t> bytes) {
            if (index != nullptr) {
              index->add(bytes);
            }
            if (copy != nullptr) {
              copy->add(bytes);
            }
          };
        }
      }
    }
    const std::size_t jobs = std::min(workers_, files.size());
    auto shared = std::make_shared<SharedBatch>(std::move(batch_), std::move(files), lanes_, jobs);
    batch_ = Batch();
    batchFiles_ = 0;
    batchBytes_ = 0;
    if (jobs == 0) {
      pool_.submitReady(std::move(shared), emit_);
      return;
    }
    for (std::size_t job = 0; job < jobs; ++job) {
      pool_.submit(
          [shared, &indexes = indexes_, &versions = versions_] {
            runJob(*shared, indexes, versions);
            return shared;
          },
          job + 1 == jobs ? emit_ : skip_);
    }
  }

  bool isIncludedInTurn(std::string_view path) {
    try {
      return isIncluded(rules_, path);
    } catch (const common::Error&) {
      // Not handled, only delayed: a bad pattern surfaces where a serial walk
      // meets it, after the lines of every earlier candidate (and after any
      // failure among those, which drain raises instead).
      submitBatch();
      pool_.drain();
      throw;
    }
  }

  void emit(SharedBatch& batch) {
    for (Candidate& candidate : batch.candidates) {
      emit(candidate);
    }
  }

  void emit(Candidate& candidate) {
    if (!candidate.included) {
      common::printOut("Ignored : " + candidate.path);
      return;
    }
    if (candidate.failure) {
      std::rethrow_exception(candidate.failure);
    }
    catalog_.write(formats::catalogLine(candidate.digest, candidate.path));
    // A path with a line feed breaks its catalog line, so no client has it.
    if (!candidate.digest.empty() && candidate.path.find('\n') == std::string::npos) {
      content_.release.emplace(candidate.path, candidate.digest);
      if (candidate.described) {
        content_.described.push_back({candidate.path, candidate.digest, candidate.size});
      }
    }
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
  VersionStore& versions_;
  const crypto::LaneWidth lanes_;
  const std::size_t workers_;
  CatalogContent content_;
  std::string relative_;
  Batch batch_;
  std::size_t batchFiles_ = 0;
  std::int64_t batchBytes_ = 0;
  using Pool = common::OrderedPool<std::shared_ptr<SharedBatch>>;
  const Pool::Consumer emit_ = [this](std::shared_ptr<SharedBatch>&& batch) { emit(*batch); };
  const Pool::Consumer skip_ = [](std::shared_ptr<SharedBatch>&&) {};
  // Last, so that its workers are joined before anything else goes away.
  Pool pool_;
};

}  // namespace

CatalogContent buildCatalog(const IgnoreRules& rules, std::string_view executableName,
                            common::OutputFile& catalog, BlockIndexFolder& indexes,
                            VersionStore& versions, crypto::LaneWidth lanes, std::size_t workers) {
  return CatalogWalk(rules, executableName, catalog, indexes, versions, lanes, workers).run();
}

}  // namespace catalog
