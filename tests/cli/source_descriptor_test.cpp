#include "cli/source_descriptor.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/errors.hpp"
#include "common/json.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/test_keys.hpp"

namespace {

using testing_support::readFile;
using testing_support::ScopedEnvironmentVariable;
using testing_support::ScopedWorkingDirectory;
using testing_support::TempDir;
using testing_support::writeFile;

constexpr const char* kKey0 = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

// A publisher's home with test key 0 and an empty working directory.
struct Publisher {
  TempDir home;
  TempDir work;
  ScopedEnvironmentVariable homeVariable{"HOME", home.path()};
  ScopedWorkingDirectory cwd{work.path()};
};

std::string makeSourceJson(const std::string& url) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::makeSourceJsonCommand(url), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Created updater-source.json\n");
  return readFile("updater-source.json");
}

TEST(SourceDescriptor, WritesCompactObjectWithEscapedUrl) {
  const Publisher publisher;
  testing_support::writeTestKeyFile(publisher.home.path(), 0);
  const struct {
    std::string url;
    std::string escaped;
  } cases[] = {
      {"http://127.0.0.1:8080/app", "http://127.0.0.1:8080/app"},
      {"", ""},
      {"a\"b\\c\b\t\n\f\r\v", R"(a\"b\\c\b\t\n\f\r\u000b)"},
      {std::string("x\x00\x07\x0e\x1f\x7f", 6), "x\\u0000\\u0007\\u000E\\u001F\x7f"},
      {"http://h/\xc3\xa9t\xc3\xa9/", "http://h/\xc3\xa9t\xc3\xa9/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.escaped);
    const std::string text = makeSourceJson(c.url);
    EXPECT_EQ(text, std::string(R"({"public_key":")") + kKey0 + R"(","url":")" + c.escaped + "\"}");
    EXPECT_EQ(text.size(), 70 + c.escaped.size());
    EXPECT_EQ(common::JsonObject::parse(text).stringMember("url"), c.url);
    EXPECT_EQ(cli::readSourcePublicKey(), kKey0);
  }
}

TEST(SourceDescriptor, MissingKeyFileLeavesTheDescriptorAlone) {
  const Publisher publisher;
  writeFile("updater-source.json", "old");
  try {
    cli::makeSourceJsonCommand("http://h/");
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& e) {
    EXPECT_EQ(e.message(), "cannot open: " + (publisher.home / ".tolvex-signer-keypair"));
  }
  EXPECT_EQ(readFile("updater-source.json"), "old");
}

TEST(SourceDescriptor, IsReadAnewAtEachCall) {
  const Publisher publisher;
  writeFile("updater-source.json", R"({"public_key":"one","url":"http://a/"})");
  EXPECT_EQ(cli::readSourcePublicKey(), "one");
  EXPECT_EQ(common::assembleUri(cli::remoteUrl("f")), "http://a/f");
  writeFile("updater-source.json",
            "{\n  \"extra\": [1],\n  \"url\" : \"http://b\",\r\n  \"public_key\" : \"two\"\n}\n");
  EXPECT_EQ(cli::readSourcePublicKey(), "two");
  EXPECT_EQ(common::assembleUri(cli::remoteUrl("f")), "http://b/f");
}

TEST(SourceDescriptor, ReadingFailuresNameTheirCause) {
  const Publisher publisher;
  try {
    cli::remoteUrl("x");
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& e) {
    EXPECT_EQ(e.message(), "cannot open: updater-source.json");
  }
  writeFile("updater-source.json", "{");
  EXPECT_THROW(cli::readSourcePublicKey(), common::JsonParsingError);
  writeFile("updater-source.json", R"(["url"])");
  EXPECT_THROW(cli::remoteUrl("x"), common::AssertionDefect);
  writeFile("updater-source.json", R"({"public_key":"k"})");
  try {
    cli::remoteUrl("x");
    ADD_FAILURE() << "no error";
  } catch (const common::KeyError& e) {
    EXPECT_EQ(e.message(), "key not found: url");
  }
  writeFile("updater-source.json", R"({"url":"http://h/"})");
  EXPECT_THROW(cli::readSourcePublicKey(), common::KeyError);
}

TEST(SourceDescriptor, RemoteUrlAppendsNameWithOneSlash) {
  const Publisher publisher;
  const struct {
    const char* base;
    const char* name;
    const char* url;
  } cases[] = {
      {"http://h/app", "updater-catalog.sha3", "http://h/app/updater-catalog.sha3"},
      {"http://h/app/", "updater-catalog.sha3", "http://h/app/updater-catalog.sha3"},
      {"http://h/app", "/a/b", "http://h/app/a/b"},
      {"http://h/app/", "/a/b", "http://h/app/a/b"},
      {"http://h", "updater-catalog.sig", "http://h/updater-catalog.sig"},
      {"http://h", "/x", "http://h/x"},
      {"http://h:8080//", "x", "http://h:8080//x"},
      {"https://u:pw@h:8443/a?token=1&b=2#top", "dir/f.txt",
       "https://u:pw@h:8443/a/dir/f.txt?token=1&b=2#top"},
      {"http://h/a?", "f", "http://h/a/f?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.name);
    writeFile("updater-source.json", std::string(R"({"public_key":"k","url":")") + c.base + "\"}");
    EXPECT_EQ(common::assembleUri(cli::remoteUrl(c.name)), c.url);
  }
}

TEST(SourceDescriptor, RemoteUrlKeepsSpecialCharactersOfTheNameInThePath) {
  const Publisher publisher;
  writeFile("updater-source.json", R"({"public_key":"k","url":"http://h/app?v=1"})");
  const common::Uri uri = cli::remoteUrl("odd name?x=1#frag%20.txt");
  EXPECT_EQ(uri.path, "/app/odd name?x=1#frag%20.txt");
  EXPECT_EQ(uri.query, "v=1");
  EXPECT_TRUE(uri.hasQuery);
  EXPECT_FALSE(uri.hasFragment);
  EXPECT_EQ(uri.hostname, "h");
}

}  // namespace
