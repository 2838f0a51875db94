#include "http/resumable_download.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/errors.hpp"
#include "common/file.hpp"

namespace http {
namespace {

constexpr std::size_t kWriteBufferBytes = std::size_t{1} << 20;

// The bytes already at `path` (0 when it is not a regular file).
std::int64_t existingSize(const std::string& path) {
  if (!common::isRegularFile(path)) {
    return 0;
  }
  const common::FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    throw common::osError(errno, path);
  }
  if (::fseeko(file.get(), 0, SEEK_END) != 0) {
    throw common::osError(errno, path);
  }
  return ::ftello(file.get());
}

bool hasHeader(const HeaderMap& headers, std::string_view name) {
  for (const auto& entry : headers) {
    if (entry.first == name) {
      return true;
    }
  }
  return false;
}

void truncateToEmpty(common::OutputFile& file, const std::string& path) {
  if (std::fflush(file.get()) != 0 || ::ftruncate(::fileno(file.get()), 0) != 0) {
    throw common::osError(errno, path);
  }
}

}  // namespace

void ncurlDownload(const common::Uri& url, const std::string& path,
                   const ProgressCallback& onProgress) {
  const std::int64_t offset = existingSize(path);
  // libcurl hands over what each socket read returned, often a few KiB; gathering
  // it saves most write calls. Declared before the file, so that it outlives the
  // stream's final flush. Left uninitialised: most downloads are small files that
  // never touch most of it.
  const auto writeBuffer = std::make_unique_for_overwrite<char[]>(kWriteBufferBytes);
  common::OutputFile file(path, "abe");
  std::setvbuf(file.get(), writeBuffer.get(), _IOFBF, kWriteBufferBytes);
  HeaderMap requestHeaders;
  if (offset > 0) {
    requestHeaders.emplace_back("Range", "bytes=" + std::to_string(offset) + "-");
  }
  // A partial answer names its range; an answer without one to a ranged request is
  // the whole file (the server ignored "Range"), so the file starts over instead of
  // getting a second copy appended. Decided per header block: redirects come first.
  bool wholeFileAnswer = false;
  bool startedOver = false;
  const HeadersDoneCallback onHeadersDone = [&](const HeaderMap& headers) {
    wholeFileAnswer = offset > 0 && !hasHeader(headers, "content-range");
  };
  const ChunkCallback onChunk = [&](std::string_view chunk) {
    if (wholeFileAnswer && !startedOver) {
      truncateToEmpty(file, path);
      startedOver = true;
    }
    file.write(chunk);
  };
  try {
    curlRequest("GET", url, onChunk, requestHeaders, onHeadersDone, onProgress);
  } catch (const common::CurlError& error) {
    // recovery point: a range past the end means the file is already complete;
    // every other failure gets the URL in front.
    if (error.message() == "http code 416") {
      file.close();
      return;
    }
    throw common::CurlError(common::assembleUri(url) + ": " + error.message());
  }
  file.close();
}

}  // namespace http
