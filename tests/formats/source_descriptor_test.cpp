#include "formats/source_descriptor.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/errors.hpp"
#include "common/json.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace {

using testing_support::readFile;
using testing_support::ScopedEnvironmentVariable;
using testing_support::ScopedWorkingDirectory;
using testing_support::TempDir;
using testing_support::writeFile;

TEST(SourceDescriptor, IsReadAnewAtEachCall) {
  const testing_support::PublisherDirectories publisher;
  writeFile("updater-source.json", R"({"public_key":"one","url":"http://a/"})");
  EXPECT_EQ(formats::readSourcePublicKey(), "one");
  EXPECT_EQ(common::assembleUri(formats::remoteUrl("f")), "http://a/f");
  writeFile("updater-source.json",
            "{\n  \"extra\": [1],\n  \"url\" : \"http://b\",\r\n  \"public_key\" : \"two\"\n}\n");
  EXPECT_EQ(formats::readSourcePublicKey(), "two");
  EXPECT_EQ(common::assembleUri(formats::remoteUrl("f")), "http://b/f");
}

TEST(SourceDescriptor, ReadingFailuresNameTheirCause) {
  const testing_support::PublisherDirectories publisher;
  try {
    formats::remoteUrl("x");
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& e) {
    EXPECT_EQ(e.message(), "cannot open: updater-source.json");
  }
  writeFile("updater-source.json", "{");
  EXPECT_THROW(formats::readSourcePublicKey(), common::JsonParsingError);
  writeFile("updater-source.json", R"(["url"])");
  EXPECT_THROW(formats::remoteUrl("x"), common::AssertionDefect);
  writeFile("updater-source.json", R"({"public_key":"k"})");
  try {
    formats::remoteUrl("x");
    ADD_FAILURE() << "no error";
  } catch (const common::KeyError& e) {
    EXPECT_EQ(e.message(), "key not found: url");
  }
  writeFile("updater-source.json", R"({"url":"http://h/"})");
  EXPECT_THROW(formats::readSourcePublicKey(), common::KeyError);
}

TEST(SourceDescriptor, RemoteUrlAppendsNameWithOneSlash) {
  const testing_support::PublisherDirectories publisher;
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
    EXPECT_EQ(common::assembleUri(formats::remoteUrl(c.name)), c.url);
  }
}

TEST(SourceDescriptor, RemoteUrlKeepsSpecialCharactersOfTheNameInThePath) {
  const testing_support::PublisherDirectories publisher;
  writeFile("updater-source.json", R"({"public_key":"k","url":"http://h/app?v=1"})");
  const common::Uri uri = formats::remoteUrl("odd name?x=1#frag%20.txt");
  EXPECT_EQ(uri.path, "/app/odd name?x=1#frag%20.txt");
  EXPECT_EQ(uri.query, "v=1");
  EXPECT_TRUE(uri.hasQuery);
  EXPECT_FALSE(uri.hasFragment);
  EXPECT_EQ(uri.hostname, "h");
}

}  // namespace
