#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "crypto/sha3_batch.hpp"
#include "updater/staging.hpp"
#include "updater/transfer_runner.hpp"

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

// The up-to-date checks of a run's entries, in entry order, a batch a job,
// posted a few jobs ahead of the steps that take them.
class EntryChecks {
 public:
  EntryChecks(const std::vector<StageRequest>& requests, crypto::Sha3Lanes lanes)
      : requests_(requests), lanes_(lanes) {}

  // The entry the next batch starts at; requests.size() once all are posted.
  std::size_t next() const { return next_; }
  // Whether the next batch may be posted while `runner` has that many steps
  // outstanding.
  bool due(const TransferRunner& runner) const;
  // Posts the next batch to `runner`; each entry's check comes to `checked` as
  // a step. Returns the entry that the batch checks alone, a large target.
  std::optional<std::size_t> post(TransferRunner& runner,
                                  std::function<void(std::size_t, EntryCheck&&)> checked);

 private:
  const std::vector<StageRequest>& requests_;
  const crypto::Sha3Lanes lanes_;
  std::size_t next_ = 0;
};

}  // namespace updater
