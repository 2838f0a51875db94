#include "http/curl_library.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "http/curl_api.hpp"
#include "support/temp_dir.hpp"

namespace {

using testing_support::TempDir;

constexpr const char* kHint =
    "hint: install libcurl; running with LD_DEBUG=libs shows where the loader looked\n";

struct LoadOutcome {
  int exitStatus = 0;  // 0: the load succeeded
  std::string err;
  const http::CurlApi* curl = nullptr;  // the table a successful load gives
};

// Points the loader at "libcurl.so" and "libcurl.so.4" inside `dir`.
LoadOutcome loadFrom(const TempDir& dir) {
  const std::string so = dir / "libcurl.so";
  const std::string so4 = dir / "libcurl.so.4";
  const std::vector<std::string_view> names = {so, so4};
  LoadOutcome outcome;
  testing::internal::CaptureStderr();
  try {
    outcome.curl = &http::loadCurlLibrary(names);
  } catch (const common::ExitRequest& request) {
    outcome.exitStatus = request.status();
  }
  outcome.err = testing::internal::GetCapturedStderr();
  return outcome;
}

void copyLibrary(const char* from, const std::string& to) { std::filesystem::copy_file(from, to); }

class CurlLibrary : public testing::Test {};

TEST_F(CurlLibrary, BindsTheRealLibraryByDefault) {
  testing::internal::CaptureStderr();
  const http::CurlApi& curl = http::loadCurlLibrary();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(curl.easyStrerror(CURLE_COULDNT_CONNECT), "Couldn't connect to server");
}

TEST_F(CurlLibrary, PrefersLibcurlSoAndFallsBackToSo4) {
  struct Case {
    const char* name;
    const char* so;   // copied to libcurl.so; nullptr: absent; "": an unloadable file
    const char* so4;  // copied to libcurl.so.4
    const char* expected;
  };
  const Case cases[] = {
      {"only .so.4", nullptr, FAKE_CURL_A, "fake curl A"},
      {"both", FAKE_CURL_B, FAKE_CURL_A, "fake curl B"},
      {"only .so", FAKE_CURL_B, nullptr, "fake curl B"},
      {".so not a library", "", FAKE_CURL_A, "fake curl A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.so != nullptr && *c.so != '\0') {
      copyLibrary(c.so, dir / "libcurl.so");
    } else if (c.so != nullptr) {
      testing_support::writeFile(dir / "libcurl.so", "not a shared object");
    }
    if (c.so4 != nullptr) {
      copyLibrary(c.so4, dir / "libcurl.so.4");
    }
    const LoadOutcome outcome = loadFrom(dir);
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.err, "");
    ASSERT_NE(outcome.curl, nullptr);
    EXPECT_STREQ(outcome.curl->easyStrerror(CURLE_OK), c.expected);
  }
}

TEST_F(CurlLibrary, MissingLibraryEndsWithStatusOne) {
  TempDir dir;
  const LoadOutcome outcome = loadFrom(dir);
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_EQ(outcome.err, "could not load: " + dir.path() + "/libcurl.so(|.4)\n" + kHint);
}

TEST_F(CurlLibrary, MissingSymbolEndsWithStatusOneAndNoTable) {
  TempDir dir;
  copyLibrary(FAKE_CURL_NO_STRERROR, dir / "libcurl.so");
  copyLibrary(FAKE_CURL_A, dir / "libcurl.so.4");
  const LoadOutcome outcome = loadFrom(dir);
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_EQ(outcome.err, "could not import: curl_easy_strerror\n");
  // A failed load gives no half-bound table.
  EXPECT_EQ(outcome.curl, nullptr);
}

TEST_F(CurlLibrary, MissingMultiFunctionIsNamedLikeTheOthers) {
  // The multi interface is looked up after the easy one: a library without
  // curl_multi_wakeup (older than 7.68) still has every easy function.
  TempDir dir;
  copyLibrary(FAKE_CURL_NO_WAKEUP, dir / "libcurl.so");
  const LoadOutcome outcome = loadFrom(dir);
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_EQ(outcome.err, "could not import: curl_multi_wakeup\n");
  EXPECT_EQ(outcome.curl, nullptr);
}

TEST(LibraryNamePattern, JoinsTheEndingsAfterTheCommonPrefix) {
  struct Case {
    std::vector<std::string_view> names;
    std::string expected;
  };
  const Case cases[] = {
      {{http::kCurlLibraryNames.begin(), http::kCurlLibraryNames.end()}, "libcurl.so(|.4)"},
      {{"/d/libcurl.so", "/d/libcurl.so.4", "/d/libcurl.so.3"}, "/d/libcurl.so(|.4|.3)"},
      {{"x.so"}, "x.so"},
      {{"a", "b"}, "(a|b)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(http::libraryNamePattern(c.names), c.expected);
  }
}

}  // namespace
