#include "http/http_request.hpp"

#include <algorithm>
#include <exception>
#include <memory>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "http/curl_api.hpp"

namespace http {
namespace {

constexpr const char* kCaBundleFile = "curl-ca-bundle.crt";
constexpr long kConnectTimeoutSeconds = 10;
// Together: abort a transfer that stays below 10 bytes per second for 1024 seconds.
constexpr long kLowSpeedTimeSeconds = 1024;
constexpr long kLowSpeedLimitBytes = 10;
// libcurl's 16 KiB default costs a large download about a fifth of its speed in
// read calls; 256 KiB per transfer is cheap.
constexpr long kReceiveBufferBytes = 256L * 1024;

struct EasyHandleCleanup {
  void operator()(CURL* handle) const noexcept { curlApi().easyCleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleCleanup>;

struct HeaderListFree {
  void operator()(curl_slist* list) const noexcept { curlApi().slistFreeAll(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

struct CurlTextFree {
  void operator()(char* text) const noexcept { curlApi().free(text); }
};

// One request's state; its address is the user data of all three callbacks.
struct RequestContext {
  CURL* handle = nullptr;
  std::string statusLine;
  HeaderMap headers;
  const ChunkCallback* onChunk = nullptr;
  const HeadersDoneCallback* onHeadersDone = nullptr;
  const ProgressCallback* onProgress = nullptr;
  // An error raised inside a callback, raised again once libcurl has returned:
  // it must not unwind through libcurl's C frames.
  std::exception_ptr error;
};

long responseCode(CURL* handle) {
  long status = 0;
  curlApi().easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

[[noreturn]] void throwHttpCode(long status) {
  throw common::CurlError("http code " + std::to_string(status));
}

std::string escapeSegment(std::string_view segment) {
  const EasyHandle handle(curlApi().easyInit());
  if (!handle) {
    throw common::CurlError("easy_init() failed");
  }
  const std::unique_ptr<char, CurlTextFree> escaped(
      curlApi().easyEscape(handle.get(), segment.data(), static_cast<int>(segment.size())));
  if (!escaped) {
    throw common::CurlError("escape failed");
  }
  return std::string(escaped.get());
}

// `path` with every non-empty segment percent-encoded; empty segments stay empty.
std::string escapePath(std::string_view path) {
  std::string escaped;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view segment = path.substr(start, slash - start);
    if (!segment.empty()) {
      escaped += escapeSegment(segment);
    }
    if (slash == std::string_view::npos) {
      return escaped;
    }
    escaped += '/';
    start = slash + 1;
  }
}

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return lower;
}

void storeHeader(HeaderMap& headers, std::string name, std::string value) {
  const auto found = std::find_if(headers.begin(), headers.end(),
                                  [&name](const auto& entry) { return entry.first == name; });
  if (found != headers.end()) {
    found->second = std::move(value);
  } else {
    headers.emplace_back(std::move(name), std::move(value));
  }
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\v\f\r";
  const std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

void handleHeaderLine(RequestContext& context, std::string_view line) {
  if (line.empty()) {
    if (context.onHeadersDone != nullptr && *context.onHeadersDone) {
      (*context.onHeadersDone)(context.headers);
    }
    return;
  }
  const std::size_t separator = line.find(": ");
  if (context.statusLine.empty() || separator == std::string_view::npos) {
    // The status line of the next answer after a redirect or a 1xx answer:
    // what follows belongs to that answer only.
    context.statusLine = line;
    context.headers.clear();
    return;
  }
  storeHeader(context.headers, asciiLower(line.substr(0, separator)),
              std::string(line.substr(separator + 2)));
}

// Body, header and progress callbacks: each stores any error in the context and
// returns libcurl's abort value.

std::size_t curlWriteFunction(char* data, std::size_t size, std::size_t count, void* userData) {
  auto* context = static_cast<RequestContext*>(userData);
  if (context == nullptr || context->onChunk == nullptr || !*context->onChunk) {
    return 0;
  }
  try {
    if (size != 1) {
      throw common::CurlError("Unexpected curl write callback size");
    }
    const long status = responseCode(context->handle);
    if (status != 200 && status != 206) {
      throwHttpCode(status);
    }
    (*context->onChunk)(std::string_view(data, count));
    return count;
  } catch (...) {  // recovery point: raised again after curl_easy_perform returns
    context->error = std::current_exception();
    return 0;
  }
}

std::size_t curlHeaderFunction(char* data, std::size_t size, std::size_t count, void* userData) {
  auto* context = static_cast<RequestContext*>(userData);
  if (context == nullptr) {
    return 0;
  }
  try {
    if (size != 1) {
      throw common::CurlError("OPT_HEADERFUNCTION: Unexpected curl write callback size: " +
                              std::to_string(size));
    }
    handleHeaderLine(*context, trimmed(std::string_view(data, count)));
    return count;
  } catch (...) {  // recovery point: raised again after curl_easy_perform returns
    context->error = std::current_exception();
    return 0;
  }
}

int curlProgressFunction(void* userData, double downloadTotal, double downloaded,
                         double /*uploadTotal*/, double /*uploaded*/) {
  auto* context = static_cast<RequestContext*>(userData);
  if (context == nullptr) {
    return 0;
  }
  try {
    (*context->onProgress)(static_cast<std::int64_t>(downloaded),
                           static_cast<std::int64_t>(downloadTotal));
    return 0;
  } catch (...) {  // recovery point: raised again after curl_easy_perform returns
    context->error = std::current_exception();
    return 1;
  }
}

HeaderList buildHeaderList(const HeaderMap& requestHeaders) {
  HeaderList list;
  for (const auto& [name, value] : requestHeaders) {
    std::string line = name;
    line += ": ";
    line += value;
    curl_slist* extended = curlApi().slistAppend(list.get(), line.c_str());
    if (extended == nullptr) {
      throw common::CurlError("slist_append() failed");
    }
    static_cast<void>(list.release());
    list.reset(extended);
  }
  return list;
}

// The transfer options, in the order libcurl receives them.
void setOptions(RequestContext& context, bool headOnly, const std::string& url,
                const HeaderList& headerList) {
  const auto set = [handle = context.handle](CURLoption option, auto value) {
    curlApi().easySetopt(handle, option, value);
  };
  if (headOnly) {
    set(CURLOPT_NOBODY, 1L);
  }
  set(CURLOPT_URL, url.c_str());
  if (common::isRegularFile(kCaBundleFile)) {
    set(CURLOPT_CAINFO, kCaBundleFile);
  }
  if (headerList) {
    set(CURLOPT_HTTPHEADER, headerList.get());
  }
  set(CURLOPT_ACCEPT_ENCODING, "");
  set(CURLOPT_TIMEOUT, 0L);
  set(CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  set(CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds);
  set(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytes);
  set(CURLOPT_WRITEFUNCTION, &curlWriteFunction);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&context));
  set(CURLOPT_HEADERFUNCTION, &curlHeaderFunction);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&context));
  if (context.onProgress != nullptr && *context.onProgress) {
    set(CURLOPT_PROGRESSFUNCTION, &curlProgressFunction);
    set(CURLOPT_PROGRESSDATA, static_cast<void*>(&context));
    set(CURLOPT_NOPROGRESS, 0L);
  }
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_VERBOSE, 0L);
  set(CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
}

}  // namespace

std::string escapeUrlPath(std::string_view url) {
  common::Uri uri = common::parseUri(url);
  uri.path = escapePath(uri.path);
  return common::assembleUri(uri);
}

void curlRequest(std::string_view httpMethod, const common::Uri& url, const ChunkCallback& onChunk,
                 const HeaderMap& requestHeaders, const HeadersDoneCallback& onHeadersDone,
                 const ProgressCallback& onProgress) {
  const EasyHandle handle(curlApi().easyInit());
  common::Uri escaped = url;
  escaped.path = escapePath(url.path);
  const std::string requestUrl = common::assembleUri(escaped);
  RequestContext context{handle.get(), {}, {}, &onChunk, &onHeadersDone, &onProgress, {}};
  TOLVEX_CHECK(httpMethod == "GET" || httpMethod == "HEAD", "only GET and HEAD supported");
  if (!handle) {
    throw common::CurlError("easy_init() failed");
  }
  const bool headOnly = httpMethod == "HEAD";
  HeaderList headerList = buildHeaderList(requestHeaders);
  setOptions(context, headOnly, requestUrl, headerList);
  const CURLcode code = curlApi().easyPerform(handle.get());
  headerList.reset();
  if (context.error) {
    std::rethrow_exception(context.error);
  }
  if (code != CURLE_OK) {
    throw common::CurlError(curlApi().easyStrerror(code));
  }
  // An error status without a body never reached the body callback's check.
  const long status = responseCode(handle.get());
  if (!headOnly && status != 200 && status != 206) {
    throwHttpCode(status);
  }
}

std::string ncurlGet(const common::Uri& url, std::size_t maxBytes) {
  std::string body;
  const ChunkCallback append = [&body, maxBytes](std::string_view chunk) {
    if (chunk.size() > maxBytes - body.size()) {
      throw common::CurlError("answer too large: more than " + std::to_string(maxBytes) + " bytes");
    }
    body += chunk;
  };
  curlRequest("GET", url, append, {}, {}, {});
  return body;
}

}  // namespace http
