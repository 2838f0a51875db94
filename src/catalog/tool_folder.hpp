#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/file.hpp"
#include "formats/tool_files.hpp"

namespace catalog {

// The hidden folder of a published root that holds the block indexes, copies,
// patches and descriptions of its files and the publisher's release history.
// The folder is the tool's own: it is opened once without following a link,
// everything happens through that descriptor, and only the names this tool
// writes (formats::parseFolderName) are ever replaced or deleted.
class ToolFolder {
 public:
  // Opens the folder of the working directory and lists it, once: every
  // question about what it holds is answered from that listing, which this
  // object's own writes and deletions keep up to date. One that does not exist
  // yet is made when the first file is written. Throws IOError "not a
  // directory: …" when a link, a file or anything else but a directory has its
  // name, OSError when it cannot be opened or listed.
  ToolFolder();

  // The names of the regular files of the folder.
  std::vector<std::string> files() const;

  // True when anything at all has the name `name` in the folder.
  bool holds(const std::string& name) const;

  // True when the folder holds a regular file `name`.
  bool holdsFile(const std::string& name) const;

  // True when this object wrote `name`.
  bool wrote(const std::string& name) const;

  // The regular file `name` opened for reading without following a link, and
  // its status; the descriptor owns nothing when there is none.
  struct OpenFile {
    common::FileDescriptor descriptor;
    struct stat status {};
  };
  OpenFile open(const std::string& name) const;

  // The status of the regular file `name`, when there is one.
  std::optional<struct stat> statusOf(const std::string& name) const;

  // The content of the regular file `name`, when there is one of at most
  // `maxBytes` that can be read: anything else is treated as missing, so a
  // planted file costs no memory.
  std::optional<std::string> read(const std::string& name, std::int64_t maxBytes) const;

  // Replaces `name` with `bytes`: written under a name of its own, synced, then
  // renamed, so that no reader or later run meets half a file. Any thread may
  // call it. Throws IOError when it cannot be created, OSError when it cannot
  // be written or the folder cannot be made.
  void write(const std::string& name, std::string_view bytes);

  // Replaces `name`, as write does, with the regular files `parts` of the
  // folder one after the other, copied through the disk rather than memory:
  // each must have exactly the bytes given with it. Throws as write does, and
  // IOError "changed while joined: NAME" for a part that is missing or of
  // another size.
  void writeJoined(const std::string& name,
                   const std::vector<std::pair<std::string, std::int64_t>>& parts);

  // Sets the modification time of `name`, when it exists, to now; quietly
  // nothing when that fails.
  void touch(const std::string& name);

  // Deletes every name of this tool that `keep` refuses and every temporary
  // file of one, then the folder itself once it is empty; other names are left
  // alone. Returns one line per name that could not be deleted: a failure here
  // costs disk space, not correctness.
  std::vector<std::string> removeAllBut(
      const std::function<bool(const formats::FolderName&)>& keep);

 private:
  // What the listing knows of a name.
  struct Entry {
    bool regular = false;
    bool written = false;  // by this object
  };

  // The folder's descriptor, made and opened on first use; -1 before when `make` is false.
  int descriptor(bool make) const;
  std::optional<Entry> entryOf(const std::string& name) const;
  // Writes `name` under a temporary name with `fill`, which returns 0 or an
  // errno, syncs it and renames it into place.
  void replace(const std::string& name, const std::function<int(int)>& fill);

  mutable std::mutex mutex_;  // guards the first opening of folder_, and listing_
  mutable std::optional<common::FileDescriptor> folder_;
  std::unordered_map<std::string, Entry> listing_;  // every name but "." and ".."
};

// True when `name` is a temporary file that ToolFolder::write leaves when it is
// interrupted: an own name, ".tmp.", and digits and dots.
bool isToolTemporaryName(std::string_view name);

}  // namespace catalog
