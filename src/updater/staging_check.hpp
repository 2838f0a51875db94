#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "crypto/sha3_batch.hpp"
#include "updater/staging.hpp"

namespace updater {

// What the up-to-date check of one entry found: whether the target has the
// catalog digest already, and (when it does not) whether its directory may be
// written, and the digest of the staged file; or the error that stopped it.
struct EntryCheck {
  bool targetMatches = false;
  std::int64_t targetSize = 0;  // of a regular target
  std::string refusal;          // why the target must not be written
  StagedDigest staged;
  std::exception_ptr error;
};

// The end of the batch of entries that one job checks from `first`: a few
// consecutive small ones, or a large one alone (so that its index header may
// be asked for while it is hashed).
std::size_t checkBatchEnd(const std::vector<StageRequest>& requests, std::size_t first);

// Checks `requests[first, end)`, their targets hashed side by side `lanes` at a
// time. Errors are kept in the checks, raised in their entries' turns.
std::vector<EntryCheck> checkEntries(const std::vector<StageRequest>& requests, std::size_t first,
                                     std::size_t end, crypto::Sha3Lanes lanes);

}  // namespace updater
