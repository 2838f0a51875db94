#pragma once

#include <cstdint>
#include <optional>

#include "formats/catalog_file.hpp"

namespace catalog {

// The longest expiry that update-catalog accepts, in days.
inline constexpr std::int64_t kMaxExpiryDays = 36500;

// The release of the next catalog, published at `now` (seconds since the
// epoch): numbered `now`, but at least one more than the `served` catalog's
// number, so that numbers grow even when the clock goes back; expiring
// `expiryDays` days after `now` when given. Throws ValueError when the served
// number is the largest there is.
formats::CatalogRelease nextRelease(const std::optional<formats::CatalogRelease>& served,
                                    std::int64_t now, std::optional<std::int64_t> expiryDays);

// The release of the catalog served now from the working directory; nothing
// when there is no catalog or it has no release line. Throws IOError when a
// link or anything but a regular file lies at the catalog's name or it cannot
// be read, ValueError when its release line is malformed.
std::optional<formats::CatalogRelease> servedRelease();

}  // namespace catalog
