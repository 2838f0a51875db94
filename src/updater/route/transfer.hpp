#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <vector>

#include "common/uri.hpp"
#include "http/content_range.hpp"
#include "http/resumable_download.hpp"

namespace updater {

// What one transfer of a staging run fetches, and for which entry: the value
// that the id it was started under stands for.
struct Transfer {
  enum class Kind {
    kFile,         // the staged file, whole or resumed
    kIndex,        // the block index its delta route waits for
    kProbe,        // an index's start asked for while a large target is hashed
    kPrefetch,     // the rest of that index, asked for on what its header showed
    kRange,        // `ranges` of a delta build, in one request
    kDescription,  // what the publisher has for the new version
    kFrame,        // its patch or compressed copy
    kRelease,      // the release description, for the whole run
    kBundle,       // `ranges` of the bundle that hold the patches of `entries`
  };
  Kind kind = Kind::kFile;
  std::size_t entry = 0;
  std::vector<http::ByteRange> ranges = {};  // kRange and kBundle: ascending and apart
  std::vector<std::size_t> entries = {};     // kBundle only
};

// Where the delta route gets its bytes and runs its work.
class TransferSource {
 public:
  virtual ~TransferSource() = default;
  // Starts fetching `url` into memory (exactly `range` when given, at most
  // `maxBytes`; or a whole file of at most `maxWholeBytes` that the server
  // sends for the range, when that is above 0) as `transfer`
  // (DownloadSet::fetch); its end comes back through DeltaRoute::ended.
  // Throws CurlError when it cannot start.
  virtual void fetch(const Transfer& transfer, const common::Uri& url,
                     std::optional<http::DownloadSet::ByteRange> range, std::size_t maxBytes,
                     std::size_t maxWholeBytes) = 0;
  // Starts fetching `transfer.ranges` of `url` in one request
  // (DownloadSet::fetchRanges). Throws CurlError when it cannot start.
  virtual void fetchRanges(const Transfer& transfer, const common::Uri& url) = 0;
  // Stops the transfers of `entry` of these kinds that still run.
  virtual void cancel(std::size_t entry, std::initializer_list<Transfer::Kind> kinds) = 0;
  // Runs `job` off this thread; the step it returns runs later on this one.
  virtual void post(std::function<std::function<void()>()> job) = 0;
};

}  // namespace updater
