#pragma once

#include <string>

#include "common/file.hpp"
#include "crypto/ed25519.hpp"

namespace catalog {

// The next catalog and signature of the published root (the working
// directory). Both are written under names of their own and moved into place
// together at the end, so that during a run, and after a run that fails or is
// killed, the served catalog and signature stay the pair of one whole run.
class CatalogDraft {
 public:
  // Opens the root, deletes the files that killed runs were writing, and
  // creates the catalog's file. Throws IOError "cannot open: NAME" when a
  // directory has the name of the catalog or the signature, or the catalog's
  // file cannot be created; OSError when the root cannot be opened.
  CatalogDraft();
  // Deletes the files that commit() did not move into place.
  ~CatalogDraft();
  CatalogDraft(const CatalogDraft&) = delete;
  CatalogDraft& operator=(const CatalogDraft&) = delete;

  // Where the catalog's lines go.
  common::OutputFile& catalog() { return catalog_; }

  // Syncs the catalog, signs the digest text of the bytes it holds with
  // `keypair`, and writes and syncs the signature. Returns that digest text,
  // which names the files that belong to this catalog alone. Throws IOError or
  // OSError; the served pair stays as it was.
  std::string sign(const crypto::SignerKeypair& keypair);

  // Renames the catalog and the signature that sign() wrote into place, one
  // right after the other. Throws OSError; AssertionDefect before sign().
  void commit();

 private:
  common::FileDescriptor root_;
  std::string catalogName_;
  std::string signatureName_;
  common::OutputFile catalog_;
  bool signed_ = false;
};

}  // namespace catalog
