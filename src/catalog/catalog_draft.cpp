#include "catalog/catalog_draft.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "catalog/catalog_signature.hpp"
#include "common/errors.hpp"
#include "crypto/sha3.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

// The root, once checked that the final renames can succeed, and rid of the
// files that killed runs left (the walk leaves them out, but they take space).
common::FileDescriptor openRoot() {
  common::FileDescriptor root(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0) {
    throw common::osError(errno, ".");
  }
  // A rename cannot replace a directory; finding out only between the two
  // renames would leave a new catalog with the old signature.
  for (const std::string_view name : {formats::kCatalogFileName, formats::kSignatureFileName}) {
    struct stat status {};
    if (::fstatat(root.get(), std::string(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode)) {
      throw common::IOError("cannot open: " + std::string(name));
    }
  }
  if (const common::DirPtr dir = common::listDirectoryAt(root.get())) {
    while (const dirent* entry = ::readdir(dir.get())) {
      if (formats::isPublishingPath(entry->d_name)) {
        ::unlinkat(root.get(), entry->d_name, 0);
      }
    }
  }
  return root;
}

common::OutputFile createCatalog(int root, const std::string& name) {
  // Read back through the same descriptor to be signed, hence read and write.
  common::FileDescriptor fd = common::createNewFileAt(root, name, O_RDWR);
  common::FilePtr file(fd.get() < 0 ? nullptr : ::fdopen(fd.get(), "w+b"));
  if (!file) {
    throw common::IOError("cannot open: " + std::string(formats::kCatalogFileName));
  }
  fd.release();  // the stream owns it from here on
  return common::OutputFile(std::move(file));
}

}  // namespace

CatalogDraft::CatalogDraft()
    : root_(openRoot()),
      catalogName_(formats::publishingNameOf(formats::kCatalogFileName, ::getpid())),
      signatureName_(formats::publishingNameOf(formats::kSignatureFileName, ::getpid())),
      catalog_(createCatalog(root_.get(), catalogName_)) {}

CatalogDraft::~CatalogDraft() {
  ::unlinkat(root_.get(), catalogName_.c_str(), 0);
  ::unlinkat(root_.get(), signatureName_.c_str(), 0);
}

std::string CatalogDraft::sign(const crypto::SignerKeypair& keypair) {
  catalog_.sync();
  const int fd = ::fileno(catalog_.get());
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    throw common::osError(errno, catalogName_);
  }
  std::string digestText = crypto::sha3DescriptorHex(fd, catalogName_);
  catalog_.close();
  common::writeNewFileAt(root_.get(), signatureName_, signatureFileTextFor(digestText, keypair));
  signed_ = true;
  return digestText;
}

void CatalogDraft::commit() {
  TOLVEX_CHECK(signed_, "the catalog is committed unsigned");

  // The catalog goes first. A client asks for both files at once, and the
  // server may read them in either order; when the pair does not verify, it
  // asks once more for the catalog and only then for the signature, so that it
  // meets a mismatched pair again only when both renames fall between those
  // two reads. Signature first, either rename between them would do.
  const int root = root_.get();
  if (::renameat(root, catalogName_.c_str(), root,
                 std::string(formats::kCatalogFileName).c_str()) != 0) {
    throw common::osError(errno, formats::kCatalogFileName);
  }
  if (::renameat(root, signatureName_.c_str(), root,
                 std::string(formats::kSignatureFileName).c_str()) != 0) {
    throw common::osError(errno, formats::kSignatureFileName);
  }
  if (::fsync(root) != 0) {
    throw common::osError(errno, ".");
  }
}

}  // namespace catalog
