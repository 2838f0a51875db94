#include "support/test_http_server.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "support/self_signed_certificate.hpp"
#include "support/temp_dir.hpp"

namespace testing_support {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Reports a failed step to the running test; false when it failed.
bool check(bool ok, const char* what) {
  if (!ok) {
    ADD_FAILURE() << "test HTTP server: " << what << " failed";
  }
  return ok;
}

std::string gzipText(const std::string& input) {
  z_stream stream{};
  // 16 + 15 window bits: a gzip wrapper instead of zlib's own.
  if (!check(
          deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) == Z_OK,
          "deflateInit2")) {
    return input;
  }
  std::string output(deflateBound(&stream, input.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = reinterpret_cast<Bytef*>(output.data());
  stream.avail_out = static_cast<uInt>(output.size());
  const int result = deflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  check(result == Z_STREAM_END, "deflate");
  return output;
}

// Reads a regular file whole; false when there is none at `path`.
bool readRegularFile(const std::string& path, std::string& content) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  content = text.str();
  return static_cast<bool>(in);
}

// "bytes=A-" or "bytes=A-B" → {A, B or -1}; false for anything else.
bool parseRange(const std::string& value, long long& first, long long& last) {
  if (value.rfind("bytes=", 0) != 0) {
    return false;
  }
  const std::string bounds = value.substr(6);
  const std::size_t dash = bounds.find('-');
  if (dash == std::string::npos || dash == 0 ||
      bounds.find_first_not_of("0123456789-") != std::string::npos) {
    return false;
  }
  first = std::stoll(bounds.substr(0, dash));
  last = dash + 1 < bounds.size() ? std::stoll(bounds.substr(dash + 1)) : -1;
  return last == -1 || last >= first;
}

struct Failure {
  int count = 0;
  int status = 0;
  std::string body;
};

struct Drop {
  std::size_t bytes = 0;
  int count = 0;
};

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) {
      return value;
    }
  }
  return {};
}

bool RecordedRequest::hasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [name](const auto& entry) { return equalsIgnoringCase(entry.first, name); });
}

struct TestHttpServer::Impl {
  std::string root;
  Transport transport = Transport::kHttp;
  TempDir certificateDir;
  std::string certificatePem;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<int> activeRequests{0};
  std::atomic<int> mostActiveRequests{0};

  mutable std::mutex mutex;
  std::vector<RecordedRequest> requests;
  std::map<std::string, std::pair<int, std::string>> answers;
  std::map<std::string, std::pair<int, std::string>> redirects;
  std::map<std::string, bool> gzipPaths;
  std::map<std::string, Failure> failures;
  std::map<std::string, Drop> drops;
  bool ignoreRange = false;
  bool ignoreRangeLists = false;
  std::string rangeBody = "Range Not Satisfiable";
  std::size_t chunkBytes = std::size_t{64} * 1024;
  std::chrono::milliseconds pause{0};
  std::chrono::milliseconds delay{0};
  // A gate that holds requests for paths starting with `gatherPrefix` until
  // `gatherCount` of them have arrived; 0: open.
  std::string gatherPrefix;
  int gatherCount = 0;
  int gathered = 0;
  std::condition_variable gatherWake;

  // Sleeps in small steps so that the destructor does not wait for a long pause.
  void sleepUnlessStopping(std::chrono::milliseconds duration) const {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!stopping && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::min(duration, std::chrono::milliseconds(5)));
    }
  }

  void record(const httplib::Request& request) {
    RecordedRequest entry{request.method, request.target, {}, request.remote_port};
    for (const auto& header : request.headers) {
      entry.headers.emplace_back(header.first, header.second);
    }
    const std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(std::move(entry));
  }

  void handle(const httplib::Request& request, httplib::Response& response);
  bool answerFromRules(const std::string& path, httplib::Response& response);
  void serveFile(const httplib::Request& request, httplib::Response& response,
                 httplib::Ranges ranges);
  void sendBody(httplib::Response& response, std::string body, std::size_t dropAt);
  std::size_t takeDrop(const std::string& path);
};

void TestHttpServer::Impl::handle(const httplib::Request& request, httplib::Response& response) {
  const int active = ++activeRequests;
  for (int most = mostActiveRequests; active > most;) {
    if (mostActiveRequests.compare_exchange_weak(most, active)) {
      break;
    }
  }
  struct Leave {
    std::atomic<int>& count;
    ~Leave() { --count; }
  } const leave{activeRequests};
  record(request);
  // The library would cut our own range answers a second time: one range is
  // handled here, several are left to the library (multipart/byteranges).
  httplib::Ranges ranges = std::exchange(const_cast<httplib::Request&>(request).ranges, {});
  std::chrono::milliseconds wait{0};
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (gatherCount > 0 && request.path.starts_with(gatherPrefix)) {
      if (++gathered >= gatherCount) {
        gatherCount = 0;
        gatherWake.notify_all();
      } else {
        // Bounded, so that a client that never sends enough at once fails the
        // test's count instead of hanging it.
        gatherWake.wait_for(lock, std::chrono::seconds(20),
                            [this] { return gatherCount == 0 || stopping; });
      }
    }
    wait = delay;
  }
  sleepUnlessStopping(wait);
  if (!answerFromRules(request.path, response)) {
    serveFile(request, response, std::move(ranges));
  }
}

bool TestHttpServer::Impl::answerFromRules(const std::string& path, httplib::Response& response) {
  std::unique_lock<std::mutex> lock(mutex);
  std::pair<int, std::string> answer;
  if (auto failure = failures.find(path); failure != failures.end() && failure->second.count > 0) {
    --failure->second.count;
    answer = {failure->second.status, failure->second.body};
  } else if (auto fixed = answers.find(path); fixed != answers.end()) {
    answer = fixed->second;
  } else if (auto redirect = redirects.find(path); redirect != redirects.end()) {
    response.set_redirect(redirect->second.second, redirect->second.first);
    return true;
  } else {
    return false;
  }
  lock.unlock();
  response.status = answer.first;
  sendBody(response, std::move(answer.second), std::string::npos);
  return true;
}

std::size_t TestHttpServer::Impl::takeDrop(const std::string& path) {
  const std::lock_guard<std::mutex> lock(mutex);
  auto drop = drops.find(path);
  if (drop == drops.end() || drop->second.count <= 0) {
    return std::string::npos;
  }
  --drop->second.count;
  return drop->second.bytes;
}

void TestHttpServer::Impl::serveFile(const httplib::Request& request, httplib::Response& response,
                                     httplib::Ranges ranges) {
  std::string body;
  if (request.path.find("..") != std::string::npos || !readRegularFile(root + request.path, body)) {
    response.status = 404;
    sendBody(response, "Not Found", std::string::npos);
    return;
  }
  bool ignoreRanges = false;
  bool ignoreLists = false;
  std::string notSatisfiableBody;
  {
    const std::lock_guard<std::mutex> lock(mutex);
    if (gzipPaths.count(request.path) != 0) {
      body = gzipText(body);
      response.set_header("Content-Encoding", "gzip");
    }
    ignoreRanges = ignoreRange;
    ignoreLists = ignoreRangeLists;
    notSatisfiableBody = rangeBody;
  }
  if (!ignoreRanges && !ignoreLists && ranges.size() > 1) {
    // Whole, not through a content provider: for one of those, cpp-httplib
    // 0.11 gives each part's Content-Range a complete length of 0.
    const_cast<httplib::Request&>(request).ranges = std::move(ranges);
    response.set_content(body, "application/octet-stream");
    return;
  }
  long long first = 0;
  long long last = -1;
  const auto size = static_cast<long long>(body.size());
  if (ignoreRanges || !parseRange(request.get_header_value("Range"), first, last)) {
    response.status = 200;
  } else if (first >= size) {
    response.status = 416;
    response.set_header("Content-Range", "bytes */" + std::to_string(size));
    body = notSatisfiableBody;
  } else {
    last = last < 0 || last >= size ? size - 1 : last;
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                             std::to_string(last) + "/" + std::to_string(size));
    body = body.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first + 1));
  }
  sendBody(response, std::move(body), takeDrop(request.path));
}

void TestHttpServer::Impl::sendBody(httplib::Response& response, std::string body,
                                    std::size_t dropAt) {
  if (body.empty()) {
    response.set_header("Content-Length", "0");
    return;
  }
  std::size_t chunk = 0;
  std::chrono::milliseconds chunkPause{0};
  {
    const std::lock_guard<std::mutex> lock(mutex);
    chunk = chunkBytes;
    chunkPause = pause;
  }
  auto content = std::make_shared<std::string>(std::move(body));
  const std::size_t length = content->size();
  response.set_content_provider(
      length, "application/octet-stream",
      [this, content, dropAt, chunk, chunkPause](std::size_t offset, std::size_t remaining,
                                                 httplib::DataSink& sink) {
        if (dropAt != std::string::npos && offset >= dropAt) {
          return false;  // closes the connection short of the announced length
        }
        std::size_t count = std::min(remaining, chunk);
        if (dropAt != std::string::npos) {
          count = std::min(count, dropAt - offset);
        }
        sleepUnlessStopping(chunkPause);
        return !stopping && sink.write(content->data() + offset, count);
      });
}

TestHttpServer::TestHttpServer(std::string documentRoot, Transport transport)
    : impl_(std::make_unique<Impl>()) {
  impl_->root = std::move(documentRoot);
  impl_->transport = transport;
  if (transport == Transport::kHttps) {
    auto [certificate, key] = makeSelfSignedCertificate();
    impl_->certificatePem = certificate;
    writeFile(impl_->certificateDir / "cert.pem", certificate);
    writeFile(impl_->certificateDir / "key.pem", key);
    impl_->server = std::make_unique<httplib::SSLServer>(
        (impl_->certificateDir / "cert.pem").c_str(), (impl_->certificateDir / "key.pem").c_str());
  } else {
    impl_->server = std::make_unique<httplib::Server>();
  }
  const auto handler = [impl = impl_.get()](const httplib::Request& request,
                                            httplib::Response& response) {
    impl->handle(request, response);
  };
  impl_->server->Get(".*", handler);
  // The default of 5 would hide whether a client reuses its connections.
  impl_->server->set_keep_alive_max_count(100);
  // Longer than the client's 5 s retry pause, so that connections idle during
  // a pause are still there after it, whatever the machine's load; by default
  // the two raced.
  impl_->server->set_keep_alive_timeout(10);
  int listening = -1;
  impl_->server->set_socket_options([&listening](socket_t socket) {
    httplib::default_socket_options(socket);
    listening = socket;
  });
  impl_->port = impl_->server->bind_to_any_port("127.0.0.1");
  if (!check(impl_->server->is_valid() && impl_->port > 0, "listening on 127.0.0.1")) {
    return;
  }
  // The library listens with a backlog of 5: a client that opens eight
  // connections at once would have some of them dropped and tried again a
  // second later. Listening again only changes the backlog.
  check(listening >= 0 && ::listen(listening, 128) == 0, "widening the listen backlog");
  // The socket is listening already; connections wait in its backlog until the loop runs.
  impl_->thread = std::thread([server = impl_->server.get()] { server->listen_after_bind(); });
  // stop() does nothing to a loop that has not begun, which would then wait in
  // accept() for ever: a test that sends no request would hang on destruction.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!impl_->server->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  check(impl_->server->is_running(), "starting the accept loop");
}

TestHttpServer::~TestHttpServer() {
  {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->gatherWake.notify_all();
  impl_->server->stop();
  if (impl_->thread.joinable()) {
    impl_->thread.join();
  }
}

int TestHttpServer::port() const { return impl_->port; }

std::string TestHttpServer::url(std::string_view path) const {
  const char* scheme = impl_->transport == Transport::kHttps ? "https" : "http";
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(impl_->port) + std::string(path);
}

const std::string& TestHttpServer::certificatePem() const { return impl_->certificatePem; }

std::vector<RecordedRequest> TestHttpServer::requests() const {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

std::vector<RecordedRequest> TestHttpServer::requestsFor(std::string_view path) const {
  std::vector<RecordedRequest> matching;
  for (auto& request : requests()) {
    if (httplib::detail::decode_url(request.path.substr(0, request.path.find('?')), false) ==
        path) {
      matching.push_back(std::move(request));
    }
  }
  return matching;
}

void TestHttpServer::clearRequests() {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->requests.clear();
}

void TestHttpServer::setAnswer(const std::string& path, int status, std::string body) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->answers[path] = {status, std::move(body)};
}

void TestHttpServer::setRedirect(const std::string& path, const std::string& location, int status) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->redirects[path] = {status, location};
}

void TestHttpServer::setGzip(const std::string& path) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->gzipPaths[path] = true;
}

void TestHttpServer::failNext(const std::string& path, int count, int status, std::string body) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->failures[path] = {count, status, std::move(body)};
}

void TestHttpServer::dropAfter(const std::string& path, std::size_t bytes, int count) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->drops[path] = {bytes, count};
}

void TestHttpServer::setIgnoreRange(bool ignore) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->ignoreRange = ignore;
}

void TestHttpServer::setIgnoreRangeLists(bool ignore) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->ignoreRangeLists = ignore;
}

void TestHttpServer::setRangeNotSatisfiableBody(std::string body) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->rangeBody = std::move(body);
}

void TestHttpServer::setThrottle(std::size_t chunkBytes, std::chrono::milliseconds pause) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->chunkBytes = std::max<std::size_t>(chunkBytes, 1);
  impl_->pause = pause;
}

int TestHttpServer::maxConcurrentRequests() const { return impl_->mostActiveRequests; }

void TestHttpServer::setResponseDelay(std::chrono::milliseconds delay) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->delay = delay;
}

void TestHttpServer::gatherRequests(std::string pathPrefix, int count) {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->gatherPrefix = std::move(pathPrefix);
  impl_->gatherCount = count;
  impl_->gathered = 0;
}

void TestHttpServer::holdRequests(std::string pathPrefix) {
  gatherRequests(std::move(pathPrefix), std::numeric_limits<int>::max());
}

void TestHttpServer::releaseHeldRequests() {
  {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->gatherCount = 0;
  }
  impl_->gatherWake.notify_all();
}

}  // namespace testing_support
