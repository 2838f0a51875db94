#include "http/http_request.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "http/connection_pool.hpp"
#include "http/curl_library.hpp"
#include "support/self_signed_certificate.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"

namespace {

using testing_support::ScopedWorkingDirectory;
using testing_support::TempDir;
using testing_support::TestHttpServer;
using testing_support::writeFile;

// A loopback socket in a given state, for connection failures without a server.
class LoopbackSocket {
 public:
  // Bound but not listening: connections are refused at once. Listening with a
  // full backlog: connection attempts go unanswered.
  explicit LoopbackSocket(bool listening) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
    if (listening) {
      EXPECT_EQ(::listen(fd_, 0), 0);
      for (int& filler : fillers_) {
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        // Non-blocking: the attempt goes on in the background and fills the backlog.
        static_cast<void>(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address));
      }
    }
  }
  ~LoopbackSocket() {
    for (const int filler : fillers_) {
      ::close(filler);
    }
    ::close(fd_);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/x"; }

 private:
  int fd_;
  int port_ = 0;
  int fillers_[3] = {-1, -1, -1};
};

struct Answer {
  std::vector<std::string> chunks;
  std::string body() const {
    std::string all;
    for (const auto& chunk : chunks) {
      all += chunk;
    }
    return all;
  }
};

// A GET of `url` that collects the body; rethrows whatever curlRequest raises.
Answer get(const std::string& url, const http::HeaderMap& headers = {},
           const http::HeadersDoneCallback& onHeadersDone = {}) {
  Answer answer;
  http::ConnectionPool pool(http::loadCurlLibrary());
  http::curlRequest(pool, "GET", common::parseUri(url),
                    [&answer](std::string_view chunk) { answer.chunks.emplace_back(chunk); },
                    headers, onHeadersDone, {});
  return answer;
}

// The message of the CurlError that `action` raises ("" when it raises none).
template <typename Action>
std::string curlErrorOf(Action action) {
  try {
    action();
  } catch (const common::CurlError& error) {
    return error.message();
  }
  return "";
}

class HttpRequest : public testing::Test {
 protected:
  HttpRequest() {
    writeFile(root_ / "file.bin", kContent);
    writeFile(root_ / "a?b#c d.txt", "odd name");
  }
  const std::string kContent = std::string(3000, 'a') + std::string(3000, 'b');
  TempDir root_;
  TestHttpServer server_{root_.path()};
  http::ConnectionPool pool_{http::loadCurlLibrary()};
};

TEST(EscapedRequestUrl, EscapesEachPathSegmentOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://h/files/my file.txt", "http://h/files/my%20file.txt"},
      {"http://h/%41", "http://h/%2541"},
      {"http://h//x/", "http://h//x/"},
      {"http://h/a b?c d#e f", "http://h/a%20b?c d#e f"},
      {"http://u:p@h:81/\xc3\xa9-._~", "http://u:p@h:81/%C3%A9-._~"},
      {"http://h", "http://h"},
  };
  for (const auto& [url, expected] : cases) {
    SCOPED_TRACE(url);
    EXPECT_EQ(http::escapedRequestUrl(common::parseUri(url)), expected);
  }
}

TEST_F(HttpRequest, DeliversBodyOfOkAndPartialAnswersAlike) {
  EXPECT_EQ(get(server_.url("/file.bin")).body(), kContent);
  EXPECT_EQ(get(server_.url("/file.bin"), {{"Range", "bytes=100-"}}).body(), kContent.substr(100));
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_FALSE(requests[0].hasHeader("Range"));
  EXPECT_EQ(requests[1].header("Range"), "bytes=100-");
}

TEST_F(HttpRequest, EncodesQuestionMarkAndHashInsideThePath) {
  common::Uri uri = common::parseUri(server_.url("/"));
  uri.path = "/a?b#c d.txt";
  std::string body;
  http::curlRequest(pool_, "GET", uri, [&body](std::string_view chunk) { body += chunk; }, {}, {},
                    {});
  EXPECT_EQ(body, "odd name");
  ASSERT_EQ(server_.requests().size(), 1U);
  EXPECT_EQ(server_.requests()[0].path, "/a%3Fb%23c%20d.txt");
}

TEST_F(HttpRequest, FailsOnErrorStatusWithOrWithoutBody) {
  server_.setAnswer("/empty404", 404, "");
  server_.setAnswer("/teapot", 418, "short and stout");
  server_.setAnswer("/nocontent", 204, "");
  const std::pair<const char*, const char*> cases[] = {
      {"/missing", "http code 404"},
      {"/empty404", "http code 404"},
      {"/teapot", "http code 418"},
      {"/nocontent", "http code 204"},
  };
  for (const auto& [path, expected] : cases) {
    SCOPED_TRACE(path);
    bool delivered = false;
    const std::string message = curlErrorOf([&, path = path] {
      http::curlRequest(pool_, "GET", common::parseUri(server_.url(path)),
                        [&delivered](std::string_view) { delivered = true; }, {}, {}, {});
    });
    EXPECT_EQ(message, expected);
    EXPECT_FALSE(delivered);
  }
}

TEST_F(HttpRequest, HeadSendsNoBodyRequestAndIgnoresStatus) {
  for (const char* path : {"/file.bin", "/missing"}) {
    SCOPED_TRACE(path);
    bool delivered = false;
    http::curlRequest(pool_, "HEAD", common::parseUri(server_.url(path)),
                      [&delivered](std::string_view) { delivered = true; }, {}, {}, {});
    EXPECT_FALSE(delivered);
  }
  for (const auto& request : server_.requests()) {
    EXPECT_EQ(request.method, "HEAD");
  }
}

TEST_F(HttpRequest, RejectsMethodsOtherThanGetAndHead) {
  try {
    http::curlRequest(pool_, "POST", common::parseUri(server_.url("/file.bin")), {}, {}, {}, {});
    FAIL() << "no error";
  } catch (const common::AssertionDefect& defect) {
    EXPECT_TRUE(defect.message().ends_with("only GET and HEAD supported")) << defect.message();
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(HttpRequest, DecodesGzipAnswers) {
  server_.setGzip("/file.bin");
  EXPECT_EQ(get(server_.url("/file.bin")).body(), kContent);
  EXPECT_NE(server_.requests()[0].header("Accept-Encoding").find("gzip"), std::string::npos);
}

TEST_F(HttpRequest, FollowsRedirectsAndReportsEachHeaderBlock) {
  server_.setRedirect("/old", "/file.bin?x: y");
  std::vector<http::ResponseHeaders> blocks;
  const Answer answer =
      get(server_.url("/old"), {},
          [&blocks](const http::ResponseHeaders& headers) { blocks.push_back(headers); });
  EXPECT_EQ(answer.body(), kContent);
  ASSERT_EQ(blocks.size(), 2U);
  const auto find = [](const http::ResponseHeaders& headers, std::string_view name) {
    return std::string(headers.find(name).value_or("<absent>"));
  };
  // Names compare without case; a value keeps every ": " after the first.
  EXPECT_EQ(blocks[0].status(), 302);
  EXPECT_EQ(find(blocks[0], "Location"), "/file.bin?x: y");
  EXPECT_EQ(find(blocks[1], "location"), "<absent>");
  EXPECT_EQ(find(blocks[1], "content-length"), std::to_string(kContent.size()));
}

TEST_F(HttpRequest, EndsRedirectLoopsAndRedirectsToOtherProtocols) {
  server_.setRedirect("/loop", "/loop");
  server_.setRedirect("/ftp", "ftp://127.0.0.1:1/file.bin");
  const std::pair<const char*, const char*> cases[] = {
      {"/loop", "Number of redirects hit maximum amount"},
      {"/ftp", "Unsupported protocol"},
  };
  for (const auto& [path, expected] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(curlErrorOf([&] { get(server_.url(path)); }), expected);
  }
  // The first request and 30 redirects.
  EXPECT_EQ(server_.requestsFor("/loop").size(), 31U);
}

TEST_F(HttpRequest, CallbackErrorsReachTheCallerUnchanged) {
  const auto failingChunk = [](std::string_view) { throw common::ValueError("chunk refused"); };
  const auto failingProgress = [](std::int64_t, std::int64_t) {
    throw common::KeyError("progress refused");
  };
  const common::Uri uri = common::parseUri(server_.url("/file.bin"));
  try {
    http::curlRequest(pool_, "GET", uri, failingChunk, {}, {}, {});
    FAIL() << "no error";
  } catch (const common::ValueError& error) {
    EXPECT_EQ(error.message(), "chunk refused");
  }
  try {
    http::curlRequest(
        pool_, "GET", uri, [](std::string_view) {}, {}, {}, failingProgress);
    FAIL() << "no error";
  } catch (const common::KeyError& error) {
    EXPECT_EQ(error.message(), "progress refused");
  }
}

TEST_F(HttpRequest, ReportsProgressOfTheCurrentAnswer) {
  std::int64_t lastDownloaded = -1;
  std::int64_t lastTotal = -1;
  http::curlRequest(
      pool_, "GET", common::parseUri(server_.url("/file.bin")), [](std::string_view) {},
      {{"Range", "bytes=1000-"}}, {},
      [&](std::int64_t downloaded, std::int64_t total) {
        EXPECT_GE(downloaded, lastDownloaded);
        lastDownloaded = downloaded;
        lastTotal = total;
      });
  EXPECT_EQ(lastDownloaded, 5000);
  EXPECT_EQ(lastTotal, 5000);
}

TEST_F(HttpRequest, ReportsLibcurlMessageForTransferFailures) {
  server_.dropAfter("/file.bin", 100);
  EXPECT_EQ(curlErrorOf([&] { get(server_.url("/file.bin")); }), "Transferred a partial file");
  const LoopbackSocket refusing(false);
  EXPECT_EQ(curlErrorOf([&] { get(refusing.url()); }), "Couldn't connect to server");
}

TEST_F(HttpRequest, GivesUpConnectingWhenTheConnectTimeoutEnds) {
  const LoopbackSocket unanswered(true);
  constexpr auto kTimeout = std::chrono::milliseconds(300);
  http::ConnectionPool pool(http::loadCurlLibrary(), {}, kTimeout);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(curlErrorOf([&] {
              http::curlRequest(pool, "GET", common::parseUri(unanswered.url()),
                                [](std::string_view) {}, {}, {}, {});
            }),
            "Timeout was reached");
  const auto waited = std::chrono::steady_clock::now() - start;
  // libcurl's timers may fire a little early: half the time-out shows a wait.
  EXPECT_GE(waited, kTimeout / 2);
  // The pool's own time-out, not the default one.
  EXPECT_LT(waited, http::ConnectionPool::kConnectTimeout);
}

TEST(HttpRequestTls, TrustsTheWorkingDirectorysBundleThenTheEnvironmentsThenTheSystems) {
  TempDir root;
  writeFile(root / "f.txt", "secret");
  TestHttpServer server(root.path(), TestHttpServer::Transport::kHttps);
  TempDir work;
  const ScopedWorkingDirectory inWork(work.path());
  const std::string bundle = work / "curl-ca-bundle.crt";
  const std::string trusted = work / "server.pem";
  writeFile(trusted, server.certificatePem());
  const std::string untrusted = "SSL peer certificate or SSH remote key was not OK";
  // The working directory's bundle ("" none, "/" a directory), the environment's, the outcome.
  const std::string cases[][3] = {
      {"", "", untrusted},
      {"/", "", untrusted},
      {server.certificatePem(), "", "secret"},
      {"", trusted, "secret"},
      {testing_support::makeSelfSignedCertificate().first, trusted, untrusted},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const auto& [local, environment, expected] = cases[i];
    std::filesystem::remove_all(bundle);
    if (local == "/") {
      std::filesystem::create_directory(bundle);
    } else if (!local.empty()) {
      writeFile(bundle, local);
    }
    http::ConnectionPool pool(http::loadCurlLibrary(), environment);
    std::string outcome;
    try {
      http::curlRequest(pool, "GET", common::parseUri(server.url("/f.txt")),
                        [&outcome](std::string_view chunk) { outcome += chunk; }, {}, {}, {});
    } catch (const common::CurlError& error) {
      outcome = error.message();
      EXPECT_EQ(error.cause(), common::CurlError::Cause::kUntrustedCertificate);
    }
    EXPECT_EQ(outcome, expected);
  }
}

TEST_F(HttpRequest, GetReturnsTheWholeBodyUpToTheLimit) {
  server_.setAnswer("/empty", 200, "");
  const std::pair<std::size_t, std::string> cases[] = {
      {kContent.size(), kContent},
      {kContent.size() - 1, "answer too large: more than 5999 bytes"},
      {0, "answer too large: more than 0 bytes"},
  };
  for (const auto& [limit, expected] : cases) {
    SCOPED_TRACE(limit);
    std::string result;
    try {
      result = http::ncurlGet(pool_, common::parseUri(server_.url("/file.bin")), limit);
    } catch (const common::CurlError& error) {
      result = error.message();
    }
    EXPECT_EQ(result, expected);
  }
  EXPECT_EQ(http::ncurlGet(pool_, common::parseUri(server_.url("/empty")), 0), "");
}

}  // namespace
