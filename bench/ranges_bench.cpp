// Fetches many small ranges of one file through a DownloadSet, several ranges
// per request and several requests at once, for bench/ranges_bench.sh; checks
// every range against a local copy of the file. Prints "SECONDS REQUESTS".
// Usage: tolvex_ranges_bench URL FILE PER_REQUEST IN_FLIGHT [RANGES [RANGE_BYTES]]
// The RANGES ranges (default 446) of RANGE_BYTES (default 16384) lie at fixed
// pseudo-random places spread over the file, as a delta of a changed file asks.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/output.hpp"
#include "common/uri.hpp"
#include "http/connection_pool.hpp"
#include "http/curl_library.hpp"
#include "http/resumable_download.hpp"

namespace {

std::vector<http::ByteRange> spreadRanges(std::int64_t fileBytes, std::size_t count,
                                          std::int64_t rangeBytes) {
  const std::int64_t slot = fileBytes / static_cast<std::int64_t>(count);
  if (slot < rangeBytes * 2) {
    throw common::ValueError("the file is too small for that many ranges");
  }
  std::mt19937_64 random(20240521);
  std::vector<http::ByteRange> ranges;
  for (std::size_t i = 0; i < count; ++i) {
    // Sizes vary by a half either way around RANGE_BYTES, as blocks of a plan merge.
    const std::int64_t length = rangeBytes / 2 + static_cast<std::int64_t>(random() % rangeBytes);
    const std::int64_t offset = static_cast<std::int64_t>(random() % (slot - length));
    ranges.push_back({static_cast<std::int64_t>(i) * slot + offset, length});
  }
  return ranges;
}

std::string fileBytes(const std::string& path, const http::ByteRange& range) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(range.first);
  std::string bytes(static_cast<std::size_t>(range.length), '\0');
  in.read(bytes.data(), range.length);
  return bytes;
}

int run(const common::Uri& url, const std::string& path, std::size_t perRequest,
        std::size_t inFlight, std::size_t count, std::int64_t rangeBytes) {
  if (perRequest == 0 || inFlight == 0) {
    throw common::ValueError("PER_REQUEST and IN_FLIGHT must be at least 1");
  }
  std::ifstream probe(path, std::ios::binary | std::ios::ate);
  const std::vector<http::ByteRange> ranges =
      spreadRanges(static_cast<std::int64_t>(probe.tellg()), count, rangeBytes);
  std::vector<std::string> arrived(ranges.size());
  const auto start = std::chrono::steady_clock::now();
  http::ConnectionPool pool(http::loadCurlLibrary());
  http::DownloadSet downloads(pool);
  std::size_t nextRange = 0;
  std::size_t requests = 0;
  const auto startMore = [&] {
    while (downloads.running() < inFlight && nextRange < ranges.size()) {
      const std::size_t end = std::min(ranges.size(), nextRange + perRequest);
      downloads.fetchRanges(nextRange, url, {&ranges[nextRange], &ranges[end - 1] + 1}, {});
      nextRange = end;
      ++requests;
    }
  };
  startMore();
  while (downloads.running() > 0) {
    for (auto& end : downloads.wait(1000)) {
      if (end.result != http::DownloadSet::Finished::Result::kComplete || !end.message.empty()) {
        common::printErr("range fetch from " + std::to_string(end.id) + ": " + end.message);
        return 1;
      }
      for (std::size_t i = 0; i < end.ranges.size(); ++i) {
        arrived[end.id + i] = std::move(end.ranges[i]);
      }
    }
    startMore();
  }
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (arrived[i] != fileBytes(path, ranges[i])) {
      common::printErr("range " + std::to_string(i) + " differs from the file");
      return 1;
    }
  }
  std::printf("%.3f %zu\n", seconds.count(), requests);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 7) {
    common::printErr(
        "usage: tolvex_ranges_bench URL FILE PER_REQUEST IN_FLIGHT [RANGES [RANGE_BYTES]]");
    return 2;
  }
  try {
    return run(common::parseUri(argv[1]), argv[2], std::stoul(argv[3]), std::stoul(argv[4]),
               argc > 5 ? std::stoul(argv[5]) : 446, argc > 6 ? std::stoll(argv[6]) : 16384);
  } catch (const common::Error& error) {
    common::printErr(error.message());
    return 1;
  }
}
