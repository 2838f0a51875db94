#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "catalog/version_plan.hpp"
#include "crypto/lane_width.hpp"

namespace cli {

// The publisher's commands. Each returns the command's result: 0 on success,
// -1 on a failure it has reported itself; other errors are thrown.

// `keygen`: creates the key file in the home directory (mode 0600); -1 when it
// exists already.
int keygenCommand();

// `make-source-json`: writes the source descriptor with the key file's public key
// and `url`.
int makeSourceJsonCommand(const std::string& url);

// `update-catalog`: catalogs and signs the working directory; -1 when the key
// file is missing. `argv0` names the program when "/proc/self/exe" cannot
// be read (the program's own file is kept out of the catalog). Files are hashed
// `lanes` at a time. With `release`, the catalog begins with a release line
// whose number grows past the served catalog's, expiring after `expiryDays`
// when given (catalog::nextRelease). The tool folder gets the compressed
// copies and descriptions of the files, and patches to them from their
// versions in the `earlierKept` releases before this one.
int updateCatalogCommand(std::string_view argv0, crypto::LaneWidth lanes, bool release = false,
                         std::optional<std::int64_t> expiryDays = std::nullopt,
                         std::size_t earlierKept = catalog::kDefaultEarlierReleases);

}  // namespace cli
