#include "http/transfer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>
#include <limits>

#include "common/errors.hpp"
#include "common/file.hpp"
#include "http/transfer_session.hpp"

namespace http {
namespace {

constexpr const char* kCaBundleFile = "curl-ca-bundle.crt";
// Together: abort a transfer that stays below 10 bytes per second for 1024 seconds.
constexpr long kLowSpeedTimeSeconds = 1024;
constexpr long kLowSpeedLimitBytes = 10;
// libcurl's 16 KiB default spends a large download's time in read calls; 256 KiB
// per transfer is cheap (bench/README.md, download_bench.sh).
constexpr long kReceiveBufferBytes = 256L * 1024;
// Redirects followed per request. libcurl 7.88 follows any number, so a loop
// would run until the run is stopped; 30 is the limit later libcurl releases
// chose, far above the few hops that mirrors and CDNs make.
constexpr long kMaxRedirects = 30;

long responseCode(const CurlApi& curl, CURL* handle) {
  long status = 0;
  curl.easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

common::CurlError httpCodeError(long status) {
  return common::CurlError("http code " + std::to_string(status));
}

// A byte count that libcurl gives as a double, as a count: negative or unknown
// gives 0, and anything past the largest count gives that.
std::int64_t countOf(double bytes) {
  constexpr double kBeyondLargest = 9223372036854775808.0;  // 2^63
  if (!(bytes > 0)) {
    return 0;
  }
  return bytes < kBeyondLargest ? static_cast<std::int64_t>(bytes)
                                : std::numeric_limits<std::int64_t>::max();
}

// The local port of `socket`, an IPv4 or IPv6 one; -1 for anything else.
long localPortOf(curl_socket_t socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

int recordSocket(void* userData, curl_socket_t socket, curlsocktype) {
  const auto* context = static_cast<RequestContext*>(userData);
  if (context->sockets != nullptr) {
    context->sockets->insert(socket);
  }
  return CURL_SOCKOPT_OK;
}

// While an answer arrives, the kernel is asked to acknowledge it at once. A
// server that writes an answer in pieces (nginx with tcp_nopush, answering
// several ranges) holds its last piece back until the first is acknowledged,
// and on a connection that has carried a request before, the kernel delays that
// acknowledgement by 40 ms, which most delta updates of a library paid
// (bench/README.md). The kernel forgets the
// request as it goes on, so it is made again at each piece read. libcurl
// names the connection only by its local port; its socket is found by that
// among those libcurl made. Best effort: at worst an answer waits.
void acknowledgeAtOnce(RequestContext& context) {
  long localPort = -1;
  if (context.sockets == nullptr ||
      context.curl->easyGetinfo(context.handle, CURLINFO_LOCAL_PORT, &localPort) != CURLE_OK) {
    return;
  }
  if (localPort != context.socketPort) {
    context.socketPort = localPort;
    context.socket = CURL_SOCKET_BAD;
    for (const curl_socket_t socket : *context.sockets) {
      if (localPortOf(socket) == localPort) {
        context.socket = socket;
      }
    }
  }
  const int on = 1;
  if (context.socket != CURL_SOCKET_BAD) {
    ::setsockopt(context.socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  }
}

// Body, header and progress callbacks: each stores any error in the context and
// returns libcurl's abort value.

std::size_t curlWriteFunction(char* data, std::size_t size, std::size_t count, void* userData) {
  auto* context = static_cast<RequestContext*>(userData);
  if (context == nullptr || !context->onChunk) {
    return 0;
  }
  acknowledgeAtOnce(*context);
  try {
    if (size != 1) {
      throw common::CurlError("Unexpected curl write callback size");
    }
    const long status = responseCode(*context->curl, context->handle);
    if (status != 200 && status != 206) {
      // No error of ours: the status itself is the outcome.
      context->refusedStatus = true;
      return 0;
    }
    context->onChunk(std::string_view(data, count));
    return count;
  } catch (...) {  // recovery point: raised again once libcurl has returned
    context->error = std::current_exception();
    return 0;
  }
}

std::size_t curlHeaderFunction(char* data, std::size_t size, std::size_t count, void* userData) {
  auto* context = static_cast<RequestContext*>(userData);
  if (context == nullptr) {
    return 0;
  }
  if (std::string_view(data, count).starts_with("HTTP/")) {
    acknowledgeAtOnce(*context);  // the status line of an answer
  }
  try {
    if (size != 1) {
      throw common::CurlError("OPT_HEADERFUNCTION: Unexpected curl write callback size: " +
                              std::to_string(size));
    }
    if (context->headers.addLine(std::string_view(data, count)) && context->onHeadersDone) {
      context->onHeadersDone(context->headers.headers());
    }
    return count;
  } catch (...) {  // recovery point: raised again once libcurl has returned
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
    context->onProgress(countOf(downloaded), countOf(downloadTotal));
    return 0;
  } catch (...) {  // recovery point: raised again once libcurl has returned
    context->error = std::current_exception();
    return 1;
  }
}

// Redirects lead to HTTP and HTTPS only (libcurl's default also allows FTP).
// The text form of the option came with libcurl 7.85; an older library that
// loads at run time only knows the bit mask.
void limitRedirectProtocols(const CurlApi& curl, CURL* handle) {
  if (curl.easySetopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK) {
    return;
  }
  const long protocols = CURLPROTO_HTTP | CURLPROTO_HTTPS;
  if (curl.easySetopt(handle, CURLOPT_REDIR_PROTOCOLS, protocols) != CURLE_OK) {
    throw common::CurlError("cannot limit redirects to http and https");
  }
}

HeaderList buildHeaderList(const CurlApi& curl, const HeaderMap& requestHeaders) {
  HeaderList list(nullptr, HeaderListFree{&curl});
  for (const auto& [name, value] : requestHeaders) {
    std::string line = name;
    line += ": ";
    line += value;
    curl_slist* extended = curl.slistAppend(list.get(), line.c_str());
    if (extended == nullptr) {
      throw common::CurlError("slist_append() failed");
    }
    static_cast<void>(list.release());
    list.reset(extended);
  }
  return list;
}

// The CA bundle of a request made now: a regular file "curl-ca-bundle.crt" in
// the working directory, looked for at each request, else the one that the
// environment names; "" for libcurl's default store.
std::string caBundleFor(const std::string& environmentCaBundle) {
  return common::isRegularFile(kCaBundleFile) ? kCaBundleFile : environmentCaBundle;
}

// What libcurl reports when the server's certificate cannot be verified against
// the CA bundle, or the bundle cannot be read.
bool isUntrustedCertificate(CURLcode code) {
  return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE;
}

// The transfer options, in the order libcurl receives them.
void setOptions(RequestContext& context, const std::string& url, const HeaderList& headerList,
                const std::string& caBundle, void* owner) {
  const auto set = [&curl = *context.curl, handle = context.handle](CURLoption option, auto value) {
    curl.easySetopt(handle, option, value);
  };
  if (context.headOnly) {
    set(CURLOPT_NOBODY, 1L);
  }
  set(CURLOPT_URL, url.c_str());
  if (!caBundle.empty()) {
    set(CURLOPT_CAINFO, caBundle.c_str());
  }
  if (headerList) {
    set(CURLOPT_HTTPHEADER, headerList.get());
  }
  set(CURLOPT_ACCEPT_ENCODING, "");
  set(CURLOPT_TIMEOUT, 0L);
  set(CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds);
  set(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytes);
  set(CURLOPT_WRITEFUNCTION, &curlWriteFunction);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&context));
  set(CURLOPT_HEADERFUNCTION, &curlHeaderFunction);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&context));
  set(CURLOPT_SOCKOPTFUNCTION, &recordSocket);
  set(CURLOPT_SOCKOPTDATA, static_cast<void*>(&context));
  if (context.onProgress) {
    set(CURLOPT_PROGRESSFUNCTION, &curlProgressFunction);
    set(CURLOPT_PROGRESSDATA, static_cast<void*>(&context));
    set(CURLOPT_NOPROGRESS, 0L);
  }
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
  limitRedirectProtocols(*context.curl, context.handle);
  set(CURLOPT_VERBOSE, 0L);
  set(CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  // HTTP/2 where TLS negotiates it, so that the transfers of a run share one
  // connection. Waiting for a connection still being set up, to learn whether
  // it multiplexes, pays only over TLS: in clear text HTTP/2 is never chosen,
  // and libcurl would hold the transfers that start meanwhile back until the
  // first one has ended.
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  if (url.starts_with("https:")) {
    set(CURLOPT_PIPEWAIT, 1L);
  }
  set(CURLOPT_PRIVATE, owner);
}

}  // namespace

void EasyHandleCleanup::operator()(CURL* handle) const noexcept { curl->easyCleanup(handle); }

void HeaderListFree::operator()(curl_slist* list) const noexcept { curl->slistFreeAll(list); }

Transfer::Transfer(const CurlApi& curl, std::string_view httpMethod, const common::Uri& url,
                   ChunkCallback onChunk, const HeaderMap& requestHeaders,
                   HeadersDoneCallback onHeadersDone, ProgressCallback onProgress,
                   const std::string& environmentCaBundle)
    : curl_(curl) {
  handle_ = EasyHandle(curl.easyInit(), EasyHandleCleanup{&curl});
  context_.curl = &curl;
  requestUrl_ = escapedRequestUrl(url);
  context_.handle = handle_.get();
  context_.onChunk = std::move(onChunk);
  context_.onHeadersDone = std::move(onHeadersDone);
  context_.onProgress = std::move(onProgress);
  TOLVEX_CHECK(httpMethod == "GET" || httpMethod == "HEAD", "only GET and HEAD supported");
  if (!handle_) {
    throw common::CurlError("easy_init() failed");
  }
  context_.headOnly = httpMethod == "HEAD";
  headerList_ = buildHeaderList(curl, requestHeaders);
  setOptions(context_, requestUrl_, headerList_, caBundleFor(environmentCaBundle), this);
}

Transfer::~Transfer() {
  if (session_ != nullptr) {
    session_->remove(*this);
  }
}

bool TransferOutcome::endedByStatus(bool headOnly) const {
  if (callbackError) {
    return false;
  }
  // An error status without a body never reached the body callback's check.
  return refusedStatus || (code == CURLE_OK && !headOnly && status != 200 && status != 206);
}

void Transfer::complete(CURLcode code) {
  done_ = true;
  outcome_ = {code, responseCode(curl_, handle_.get()), context_.error, context_.refusedStatus};
}

std::optional<long> Transfer::endingStatus() const {
  TOLVEX_CHECK(done_, "the transfer has not ended");
  if (outcome_.endedByStatus(context_.headOnly)) {
    return outcome_.status;
  }
  return std::nullopt;
}

void Transfer::rethrowFailure() const {
  TOLVEX_CHECK(done_, "the transfer has not ended");
  if (outcome_.callbackError) {
    std::rethrow_exception(outcome_.callbackError);
  }
  if (const std::optional<long> status = endingStatus()) {
    throw httpCodeError(*status);
  }
  if (outcome_.code != CURLE_OK) {
    const CURLcode code = outcome_.code;
    throw common::CurlError(curl_.easyStrerror(code),
                            isUntrustedCertificate(code)
                                ? common::CurlError::Cause::kUntrustedCertificate
                                : common::CurlError::Cause::kOther);
  }
}

}  // namespace http
