#pragma once

#include <string>
#include <string_view>

#include "common/file.hpp"

namespace updater {

// A staged file whose digest matched the catalog's, and which file it was: it
// is moved into place only while its name still leads to that file.
struct StagedFile {
  std::string path;  // of the target
  common::FileIdentity identity;
};

// Reports on standard error that `path` is not updated, and why.
void reportRefusal(const std::string& path, std::string_view reason);

}  // namespace updater
