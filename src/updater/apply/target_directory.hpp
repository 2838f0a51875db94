#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/file.hpp"

namespace updater {

// The directory that holds a target, reached from the working directory one
// component at a time with nothing left to the kernel's own link resolution.
// A symbolic link on the way is followed only when it belongs to the user
// running the update or to root (the rule the kernel applies to links in
// shared sticky directories), so that no other user's link can send a write
// outside the client directory. Links met inside a followed link's text obey
// the same rule.
struct TargetDirectory {
  common::FileDescriptor fd{-1};  // an O_PATH descriptor of the directory; -1 when refused
  std::string refusal;            // why the target must not be written; "" when opened
};

// Opens the directory part of the relative `path` (the working directory when
// it has none). With `create`, missing directories are made (mode 0777 less the
// umask), as staging needs; without, a missing one is an error. Returns a
// refusal naming the first link that the rule does not allow. Throws OSError
// when a component cannot be opened or made, is not a directory, or when links
// lead more than 40 deep.
TargetDirectory openTargetDirectory(std::string_view path, bool create);

// A target and its staged file (formats::pendingPathOf), named in the
// directory that holds them: every read, write and removal of an entry's files
// goes through a descriptor that openTargetDirectory gave, so that a directory
// swapped for a link afterwards cannot redirect it.
struct EntryFiles {
  common::FileAt target;
  common::FileAt staged;
};

// The files of the target `path` in `directory`, its directory's descriptor.
EntryFiles entryFilesIn(common::FileDescriptor directory, const std::string& path);

// The files of a target, reached again for one more use; or why they must not
// be touched.
struct ReachedEntry {
  std::optional<EntryFiles> files;
  std::string refusal;  // as TargetDirectory's; "" when reached
};

// The files of the target `path`, its directory opened as openTargetDirectory
// does (nothing made). Throws what openTargetDirectory throws.
ReachedEntry openEntryFiles(const std::string& path);

// Removes the staged file of `path`, the entry and never what it points to,
// when its directory can be reached as openEntryFiles does; a file that
// cannot be reached or removed is left for the next run to find.
void removeStagedFile(const std::string& path);

}  // namespace updater
