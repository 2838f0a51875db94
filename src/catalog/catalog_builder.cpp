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
#include "common/output.hpp"
#include "crypto/sha3.hpp"

namespace catalog {
namespace {

constexpr std::array<std::string_view, 4> kOwnFiles = {
    "updater-catalog.sha3", "updater-source.json", ".tolvexignore", "updater-catalog.sig"};

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

// One run of the walk. Its string buffers are reused from file to file, since
// trees of many small files are the common case.
class CatalogWalk {
 public:
  explicit CatalogWalk(const IgnoreRules& rules)
      : rules_(rules), executableName_(executableFileName()), catalog_(kCatalogFileName, "wb") {}

  std::int64_t run() {
    std::vector<std::string> stack{std::string()};
    while (!stack.empty()) {
      const std::string directory = std::move(stack.back());
      stack.pop_back();
      listDirectory(directory, stack);
    }
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
    const bool included = isIncluded(rules_, path);
    path_.assign(path);
    for (char& c : path_) {
      if (c == '\\') {
        c = '/';
      }
    }
    if (!included) {
      common::printOut("Ignored : " + path_);
      return;
    }
    line_.assign(crypto::sha3FileHexIfRegular(path_));
    line_ += " *";
    line_ += path_;
    line_ += '\n';
    catalog_.write(line_);
    line_.assign("Added   : ").append(path_);
    common::printOut(line_);
    ++count_;
  }

  const IgnoreRules& rules_;
  const std::string executableName_;
  common::OutputFile catalog_;
  std::int64_t count_ = 0;
  std::string relative_;
  std::string path_;
  std::string line_;
};

}  // namespace

void setProgramName(const char* argv0) { programNameStorage() = argv0 == nullptr ? "" : argv0; }

std::int64_t buildCatalog(const IgnoreRules& rules) { return CatalogWalk(rules).run(); }

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
