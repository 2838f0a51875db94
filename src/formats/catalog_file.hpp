#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

// Largest catalog and signature files that a client accepts.
inline constexpr std::size_t kMaxCatalogBytes = std::size_t{1} << 30;
inline constexpr std::size_t kMaxSignatureBytes = 4 * 1024;

// One catalog line: the digest text (compared, never parsed) and the relative
// path of the file.
struct CatalogEntry {
  std::string digest;
  std::string path;

  bool operator==(const CatalogEntry&) const = default;
};

// The catalog line of one file: the digest text, " *", the path and a line feed.
std::string catalogLine(std::string_view digest, std::string_view path);

// The entries of a catalog text, in catalog order: one per line holding " *",
// split at its first occurrence. Lines without it are skipped silently, and so
// are paths that could reach outside the directory (they begin with "/" or
// contain "..") or onto another entry's staged file (they hold a NUL byte, at
// which a system call would cut them, or end in ".tolvex-pending").
// Duplicates are kept.
std::vector<CatalogEntry> parseCatalog(std::string_view text);

// The entry of one catalog line (without its line feed), as parseCatalog reads
// it; nothing for a line that it skips.
std::optional<CatalogEntry> parseCatalogLine(std::string_view line);

// The entries of the catalog text that `file` holds from its current position
// on, as parseCatalog reads them, one line in memory at a time. Throws IOError
// on a read error.
std::vector<CatalogEntry> readCatalog(std::FILE* file);

// What the optional first line of a catalog says, signed with the rest: a
// release number that grows with every catalog the publisher signs, and when
// the catalog stops being valid, in seconds since the epoch.
struct CatalogRelease {
  std::int64_t number = 0;
  std::optional<std::int64_t> expires;

  bool operator==(const CatalogRelease&) const = default;
};

// The longest release line, without its line feed.
inline constexpr std::size_t kMaxReleaseLineBytes = 64;

// The release line: "; tolvex-release NUMBER", then " expires TIME" when the
// release has an expiry, then a line feed. It holds no " *", so entry readers
// skip it, and checksum tools read it as a comment.
std::string releaseLine(const CatalogRelease& release);

// The release of a catalog whose text begins with `head`; nothing when its
// first line does not begin with "; tolvex-release". Throws ValueError
// "malformed release line in updater-catalog.sha3" when it does but is not a
// release line exactly: single spaces, numbers as parseDecimal reads them, no
// other field.
std::optional<CatalogRelease> parseCatalogRelease(std::string_view head);

// The release of the catalog that `fd` holds, as parseCatalogRelease reads its
// first kMaxReleaseLineBytes + 1 bytes. Throws IOError on a read error.
std::optional<CatalogRelease> readCatalogRelease(int fd);

// The text of the signature file: the Base64 text of `signature`.
std::string signatureFileText(std::span<const std::uint8_t> signature);

// The signature bytes of a signature file's text. Throws ValueError for text
// that is not Base64; the length is the caller's to check.
std::vector<std::uint8_t> parseSignatureFile(std::string_view text);

}  // namespace formats
