#include "http/resumable_download.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/errors.hpp"
#include "download_one.hpp"
#include "http/connection_pool.hpp"
#include "http/curl_library.hpp"
#include "support/raw_http_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"

namespace {

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::TestHttpServer;
using testing_support::writeFile;

class ResumableDownload : public testing::Test {
 protected:
  ResumableDownload() { writeFile(root_ / "dir/remote file.bin", kRemote); }

  common::Uri remoteUri() const { return common::parseUri(server_.url("/dir/remote file.bin")); }
  std::string remoteUrl() const { return server_.url("/dir/remote file.bin"); }
  void download() { http_testing::downloadOne(pool_, remoteUri(), local_); }
  // The message of the CurlError the download raises ("" when it completes).
  std::string downloadError() {
    try {
      download();
    } catch (const common::CurlError& error) {
      return error.message();
    }
    return "";
  }
  std::vector<testing_support::RecordedRequest> requests() const {
    return server_.requestsFor("/dir/remote file.bin");
  }

  const std::string kRemote = [] {
    std::string text;
    for (int i = 0; text.size() < 5000; ++i) {
      text += std::to_string(i) + ",";
    }
    return text;
  }();
  TempDir root_;
  TempDir work_;
  const std::string local_ = work_ / "local.tolvex-pending";
  TestHttpServer server_{root_.path()};
  // After the server, so that its kept-alive connections are closed first: the
  // server's stop would otherwise wait out its keep-alive time-out.
  http::ConnectionPool pool_{http::loadCurlLibrary()};
};

TEST_F(ResumableDownload, RequestsOnlyTheMissingTail) {
  struct Case {
    const char* name;
    std::size_t existingBytes;  // npos: no file
    const char* expectedRange;  // "": no Range header
  };
  const Case cases[] = {
      {"no file", std::string::npos, ""},
      {"empty file", 0, ""},
      {"partial file", 1000, "bytes=1000-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(local_.c_str());
    server_.clearRequests();
    if (c.existingBytes != std::string::npos) {
      writeFile(local_, kRemote.substr(0, c.existingBytes));
    }
    download();
    EXPECT_EQ(readFile(local_), kRemote);
    ASSERT_EQ(requests().size(), 1U);
    EXPECT_EQ(requests()[0].header("Range"), c.expectedRange);
    EXPECT_EQ(requests()[0].hasHeader("Range"), *c.expectedRange != '\0');
  }
}

TEST_F(ResumableDownload, CompleteFileCountsAsDoneWithOrWithoutBodyOn416) {
  for (const char* body : {"Range Not Satisfiable", ""}) {
    SCOPED_TRACE(body);
    server_.setRangeNotSatisfiableBody(body);
    writeFile(local_, kRemote);
    EXPECT_EQ(downloadError(), "");
    EXPECT_EQ(readFile(local_), kRemote);
  }
}

TEST_F(ResumableDownload, PutsTheGivenUrlInFrontOfFailures) {
  server_.setAnswer("/dir/remote file.bin", 404, "gone");
  writeFile(local_, "kept");
  EXPECT_EQ(downloadError(), remoteUrl() + ": http code 404");
  EXPECT_EQ(readFile(local_), "kept");

  server_.setAnswer("/dir/remote file.bin", 404, "");
  EXPECT_EQ(downloadError(), remoteUrl() + ": http code 404");
  EXPECT_EQ(readFile(local_), "kept");
}

TEST_F(ResumableDownload, ContinuesAfterAnInterruptedTransfer) {
  server_.dropAfter("/dir/remote file.bin", 1234);
  EXPECT_EQ(downloadError(), remoteUrl() + ": Transferred a partial file");
  EXPECT_EQ(readFile(local_), kRemote.substr(0, 1234));
  download();
  EXPECT_EQ(readFile(local_), kRemote);
  EXPECT_EQ(requests().back().header("Range"), "bytes=1234-");
}

TEST_F(ResumableDownload, StartsOverWhenTheServerIgnoresTheRange) {
  server_.setIgnoreRange(true);
  writeFile(local_, kRemote.substr(0, 1000));
  download();
  EXPECT_EQ(readFile(local_), kRemote);
  EXPECT_EQ(requests()[0].header("Range"), "bytes=1000-");
}

TEST_F(ResumableDownload, StopsAtItsBoundEvenWhenTheServerIgnoresTheRange) {
  server_.setIgnoreRange(true);
  writeFile(local_, kRemote.substr(0, 1000));
  http_testing::downloadOne(pool_, remoteUri(), local_, {}, 3000);
  EXPECT_EQ(readFile(local_), kRemote.substr(0, 3000));
  EXPECT_EQ(requests()[0].header("Range"), "bytes=1000-2999");
}

TEST_F(ResumableDownload, KeepsThePartialFileWhenAWholeFileAnswerFails) {
  server_.setIgnoreRange(true);
  server_.dropAfter("/dir/remote file.bin", 0);
  writeFile(local_, kRemote.substr(0, 1000));
  EXPECT_EQ(downloadError(), remoteUrl() + ": Transferred a partial file");
  EXPECT_EQ(readFile(local_), kRemote.substr(0, 1000));
}

TEST_F(ResumableDownload, ProgressCountsTheMissingTailOnly) {
  writeFile(local_, kRemote.substr(0, 1000));
  std::int64_t lastDownloaded = -1;
  std::int64_t lastTotal = -1;
  http_testing::downloadOne(pool_, remoteUri(), local_,
                            [&](std::int64_t downloaded, std::int64_t total) {
                              lastDownloaded = downloaded;
                              lastTotal = total;
                            });
  const auto tail = static_cast<std::int64_t>(kRemote.size() - 1000);
  EXPECT_EQ(lastDownloaded, tail);
  EXPECT_EQ(lastTotal, tail);
}

TEST_F(ResumableDownload, FileErrorsKeepTheirKind) {
  const std::string noDirectory = work_ / "missing/file";
  try {
    http_testing::downloadOne(pool_, remoteUri(), noDirectory);
    FAIL() << "no error";
  } catch (const common::CurlError&) {
    FAIL() << "a file error became a transfer error";
  } catch (const common::IOError& error) {
    EXPECT_EQ(error.message(), "cannot open: " + noDirectory);
  }
  // A device is never written to, not even one that would take the bytes.
  for (const char* device : {"/dev/full", "/dev/null"}) {
    try {
      http_testing::downloadOne(pool_, remoteUri(), device);
      FAIL() << "no error";
    } catch (const common::CurlError&) {
      FAIL() << "a file error became a transfer error";
    } catch (const common::IOError& error) {
      EXPECT_EQ(error.message(), std::string("not a regular file: ") + device);
    }
  }
}

TEST_F(ResumableDownload, UnreadableExistingFileIsAnOsError) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root reads every file";
  }
  writeFile(local_, "partial");
  ::chmod(local_.c_str(), 0200);
  try {
    download();
    FAIL() << "no error";
  } catch (const common::OSError& error) {
    EXPECT_EQ(error.message(), "Permission denied\nAdditional info: " + local_);
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST(ResumableDownloadRanges, AppendsOnlyARangeThatStartsWhereTheFileEnds) {
  struct Case {
    const char* name;
    const char* fields;  // the header lines after the status line
    const char* body;
    const char* expectedFile;
    const char* error;  // "": none
  };
  const Case cases[] = {
      {"no blank after the colon", "Content-Range:bytes 5-11/12\r\n", ", world", "hello, world",
       ""},
      {"later lines without \": \"",
       "content-range: \tbytes 5-11/12 \r\nX-Empty:\r\nnot a: field\r\n", ", world", "hello, world",
       ""},
      {"starts at 0", "Content-Range: bytes 0-11/12\r\n", "hello, world", "hello, world", ""},
      {"starts elsewhere", "Content-Range: bytes 3-11/12\r\n", "lo, world", "hello",
       "partial answer starts at byte 3 instead of 5"},
      {"unreadable range", "Content-Range: bytes 5-11/5\r\n", ", world", "hello",
       "partial answer without a readable Content-Range"},
      {"no range", "", ", world", "hello", "partial answer without a readable Content-Range"},
  };
  TempDir work;
  http::ConnectionPool pool(http::loadCurlLibrary());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body = c.body;
    testing_support::RawHttpServer server([&c, &body](const std::string&) {
      return "HTTP/1.1 206 Partial Content\r\nConnection: close\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\n" + c.fields + "\r\n" + body;
    });
    writeFile(work / "file", "hello");
    std::string error;
    try {
      http_testing::downloadOne(pool, common::parseUri(server.url("/file")), work / "file");
    } catch (const common::CurlError& failure) {
      error = failure.message();
    }
    EXPECT_EQ(error, *c.error == '\0' ? "" : server.url("/file") + ": " + c.error);
    EXPECT_EQ(readFile(work / "file"), c.expectedFile);
  }
}

}  // namespace
