// Hashes the files named on standard input (one path a line) on this thread
// alone, as the catalog builder's workers do, for bench/sha3_bench.sh. The lane
// path is TOLVEX_SHA3_LANES's. Prints "DIGEST *PATH" lines, in input order.
// Usage: tolvex_sha3_bench < LIST

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/output.hpp"
#include "crypto/sha3_batch.hpp"

int main() {
  try {
    const crypto::LaneWidth lanes = crypto::laneWidthFromSetting(std::getenv("TOLVEX_SHA3_LANES"));
    std::vector<std::string> paths;
    for (std::string line; std::getline(std::cin, line);) {
      paths.push_back(line);
    }
    const std::vector<crypto::Sha3FileOutcome> outcomes =
        crypto::sha3FilesHexIfRegular(paths, lanes);
    std::string out;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (outcomes[i].error) {
        throw *outcomes[i].error;
      }
      out += outcomes[i].digest + " *" + paths[i] + "\n";
    }
    common::writeOut(out);
    return 0;
  } catch (const common::Error& e) {
    common::printErr(e.message());
    return 1;
  }
}
