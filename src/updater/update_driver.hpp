#pragma once

namespace updater {

// The `update` command body: brings the working directory up to the signed
// catalog. Returns 0, or -1 on a reported failure; throws common::ExitRequest(255)
// on a key or digest mismatch.
int update(bool verbose);

}  // namespace updater
