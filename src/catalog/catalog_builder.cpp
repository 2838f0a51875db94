#include "catalog/catalog_builder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "catalog/catalog_signature.hpp"
#include "cli/keypair_file.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/ordered_pool.hpp"
#include "common/output.hpp"
#include "crypto/sha3.hpp"

namespace catalog {
namespace {

constexpr std::array<std::string_view, 4> kOwnFiles = {
    "updater-catalog.sha3", "updater-source.json", ".tolvexignore", "updater-catalog.sig"};

// Files hashed ahead of the catalog's next line, per worker: enough to keep every
// worker busy across a run of tiny files, while memory stays independent of the tree.
constexpr std::size_t kJobsPerWorker = 64;

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// argv[0] as the entry point saw it; only needed when /proc is not mounted.
std::string& programNameStorage() {
  static std::string name;
  return name;
}

std::string_view lastComponent(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The file that a shell would have run for `name`, or `name` itself.
std::string searchPath(const std::string& name) {
  const char* pathVariable = std::getenv("PATH");
  if (name.empty() || name.front() == '/' || pathVariable == nullptr) {
    return name;
  }
  const std::string_view directories(pathVariable);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = directories.find(':', start);
    const std::string_view directory =
        directories.substr(start, end == std::string_view::npos ? end : end - start);
    // An empty PATH element names the working directory.
    std::string candidate(directory.empty() ? "." : directory);
    candidate += '/';
    candidate += name;
    if (common::isRegularFile(candidate)) {
      return candidate;
    }
    if (end == std::string_view::npos) {
      return name;
    }
    start = end + 1;
  }
}

std::string executableFileName() {
  std::array<char, 4096> target{};
  const ssize_t length = ::readlink("/proc/self/exe", target.data(), target.size());
  if (length > 0) {
    return std::string(lastComponent({target.data(), static_cast<std::size_t>(length)}));
  }
  return std::string(lastComponent(searchPath(programNameStorage())));
}

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
// into "/") and, when the ignore rules keep it, its digest text.
struct Candidate {
  std::string path;
  bool included = false;
  std::string digest;
};

// One run of the walk. The walk itself and the ignore decisions stay on this
// thread; only the digests are computed by the pool's workers, and every line
// is written by `emit` on this thread in walk order, so the output is the one a
// serial run gives.
class CatalogWalk {
 public:
  CatalogWalk(const IgnoreRules& rules, std::size_t workers)
      : rules_(rules),
        executableName_(executableFileName()),
        catalog_(kCatalogFileName, "wb"),
        pool_(workers, workers * kJobsPerWorker) {}

  std::int64_t run() {
    std::vector<std::string> stack{std::string()};
    while (!stack.empty()) {
      const std::string directory = std::move(stack.back());
      stack.pop_back();
      listDirectory(directory, stack);
    }
    pool_.drain();
    catalog_.close();
    return count_;
  }

 private:
  void listDirectory(const std::string& directory, std::vector<std::string>& stack) {
    const DirPtr dir(::opendir(directory.empty() ? "." : ("./" + directory).c_str()));
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
        stack.push_back(relative_);
      } else {
        processCandidate(relative_);
      }
    }
  }

  bool isOwnFile(std::string_view path) const {
    for (const std::string_view own : kOwnFiles) {
      if (path == own) {
        return true;
      }
    }
    return path == executableName_;
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
        [candidate = std::move(candidate)]() mutable {
          candidate.digest = crypto::sha3FileHexIfRegular(candidate.path);
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
    line_.assign(candidate.digest);
    line_ += " *";
    line_ += candidate.path;
    line_ += '\n';
    catalog_.write(line_);
    line_.assign("Added   : ").append(candidate.path);
    common::printOut(line_);
    ++count_;
  }

  const IgnoreRules& rules_;
  const std::string executableName_;
  common::OutputFile catalog_;
  std::int64_t count_ = 0;
  std::string relative_;
  std::string line_;
  const common::OrderedPool<Candidate>::Consumer emit_ = [this](Candidate&& candidate) {
    emit(std::move(candidate));
  };
  // Last, so that its workers are joined before anything else goes away.
  common::OrderedPool<Candidate> pool_;
};

}  // namespace

void setProgramName(const char* argv0) { programNameStorage() = argv0 == nullptr ? "" : argv0; }

std::int64_t buildCatalog(const IgnoreRules& rules) {
  return buildCatalog(rules, common::workerCount());
}

std::int64_t buildCatalog(const IgnoreRules& rules, std::size_t workers) {
  return CatalogWalk(rules, workers).run();
}

int updateCatalogCommand() {
  const std::string keyPath = cli::keypairPath();
  if (!common::isRegularFile(keyPath)) {
    common::printErr("ERROR: " + keyPath + " does not exist");
    common::printErr("Run '" + executableFileName() + " keygen' to generate a keypair");
    return -1;
  }
  const crypto::SignerKeypair keypair = cli::loadKeypair(keyPath);
  const IgnoreRules rules = loadIgnoreRules();
  const std::int64_t count = buildCatalog(rules);
  common::printErr("Created catalog file: " + std::string(kCatalogFileName) + " with " +
                   std::to_string(count) + " files.");
  signCatalog(keypair);
  common::printErr("Signed catalog file: " + std::string(kSignatureFileName));
  return 0;
}

}  // namespace catalog
