#include "catalog/release_stamp.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "formats/catalog_file.hpp"
#include "formats/tool_files.hpp"

namespace catalog {
namespace {

constexpr std::int64_t kSecondsPerDay = std::int64_t{24} * 60 * 60;

}  // namespace

formats::CatalogRelease nextRelease(const std::optional<formats::CatalogRelease>& served,
                                    std::int64_t now, std::optional<std::int64_t> expiryDays) {
  formats::CatalogRelease release{now, std::nullopt};
  if (served) {
    if (served->number == std::numeric_limits<std::int64_t>::max()) {
      throw common::ValueError("the release number of " + std::string(formats::kCatalogFileName) +
                               " cannot grow further");
    }
    release.number = std::max(now, served->number + 1);
  }
  if (expiryDays) {
    release.expires = now + *expiryDays * kSecondsPerDay;
  }
  return release;
}

std::optional<formats::CatalogRelease> servedRelease() {
  const common::FileDescriptor fd =
      common::openRegularFileIfAny(std::string(formats::kCatalogFileName));
  if (fd.get() < 0) {
    return std::nullopt;
  }
  return formats::readCatalogRelease(fd.get());
}

}  // namespace catalog
