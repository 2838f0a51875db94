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

// The text of the signature file: the Base64 text of `signature`.
std::string signatureFileText(std::span<const std::uint8_t> signature);

// The signature bytes of a signature file's text. Throws ValueError for text
// that is not Base64; the length is the caller's to check.
std::vector<std::uint8_t> parseSignatureFile(std::string_view text);

}  // namespace formats
