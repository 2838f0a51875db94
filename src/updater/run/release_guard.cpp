#include "updater/run/release_guard.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "common/text.hpp"
#include "formats/tool_files.hpp"

namespace updater {
namespace {

// A number and its line feed, and one byte to tell a longer file.
constexpr std::size_t kMaxKeptFileBytes = 21;

std::optional<std::int64_t> readKeptNumber() {
  const std::string name(formats::kReleaseFileName);
  const common::FileDescriptor fd = common::openRegularFileIfAny(name);
  if (fd.get() < 0) {
    return std::nullopt;
  }
  std::array<std::uint8_t, kMaxKeptFileBytes + 1> bytes;
  const std::size_t count = common::readAt(fd.get(), 0, bytes);
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), count);
  std::optional<std::int64_t> number;
  if (text.ends_with('\n')) {
    text.remove_suffix(1);
    number = common::parseDecimal(text);
  }
  if (!number) {
    throw common::ValueError("not a release number: " + name);
  }
  return number;
}

void writeKeptNumber(std::int64_t number) {
  const std::string name(formats::kReleaseFileName);
  const std::string next = formats::pendingPathOf(name);
  // Not opened for reading: a directory may be written and searched, but not listed.
  const common::FileDescriptor root(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0) {
    throw common::osError(errno, ".");
  }
  // One that a killed run left; never followed, since only the name goes.
  if (::unlinkat(root.get(), next.c_str(), 0) != 0 && errno != ENOENT) {
    throw common::osError(errno, next);
  }
  common::writeNewFileAt(root.get(), next, std::to_string(number) + "\n");
  if (::renameat(root.get(), next.c_str(), root.get(), name.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(root.get(), next.c_str(), 0);
    throw common::osError(error, name);
  }
  common::syncDirectory(".", name);
}

}  // namespace

ReleaseGuard::ReleaseGuard() : kept_(readKeptNumber()) {}

std::optional<std::string> ReleaseGuard::refusal(
    const std::optional<formats::CatalogRelease>& release, std::int64_t now) const {
  const auto applied = [this] {
    return "release " + std::to_string(*kept_) + " is applied here already";
  };
  if (!release) {
    if (!kept_) {
      return std::nullopt;
    }
    return "error: refusing a catalog without release number: " + applied();
  }
  const std::string refusing =
      "error: refusing release " + std::to_string(release->number) + " of the catalog: ";
  if (kept_ && release->number < *kept_) {
    return refusing + applied();
  }
  if (release->expires && *release->expires <= now) {
    return refusing + "it expired on " + common::utcTimeText(*release->expires);
  }
  return std::nullopt;
}

void ReleaseGuard::keep(const std::optional<formats::CatalogRelease>& release) {
  if (!release || kept_ == release->number) {
    return;
  }
  writeKeptNumber(release->number);
  kept_ = release->number;
}

}  // namespace updater
