#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats/catalog_file.hpp"

namespace updater {

// Keeps a client directory from going back to an older catalog, or on with a
// stale one: the release number of the newest catalog that a run applied, in
// whole or in part, is kept in formats::kReleaseFileName in the working
// directory, and decides which signed catalogs may be applied next. Without a kept number
// (the first run, or before any catalog had a release line) every catalog may.
class ReleaseGuard {
 public:
  // Reads the kept number. Throws IOError when a link or anything but a regular
  // file lies at its name or it cannot be read, ValueError when it does not
  // hold a release number.
  ReleaseGuard();

  // Why a verified catalog whose release is `release` must not be applied at
  // `now` (seconds since the epoch), as an error line: its number is below the
  // kept one, it has no release line while a number is kept, or it expires at
  // or before `now`. Nothing when it may be applied.
  std::optional<std::string> refusal(const std::optional<formats::CatalogRelease>& release,
                                     std::int64_t now) const;

  // Keeps the number of `release` before a run moves the first of its files
  // into place, and once it brought every file up to it: the file is replaced
  // atomically and synced, and left alone when it holds that number
  // already. Throws IOError or OSError when it cannot be written.
  void keep(const std::optional<formats::CatalogRelease>& release);

 private:
  std::optional<std::int64_t> kept_;
};

}  // namespace updater
