#include "common/uri.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Uri, SplitsGenericComponents) {
  const common::Uri uri = common::parseUri("https://ann:pw@example.org:8443/a/b?x=1#frag");
  EXPECT_EQ(uri.scheme, "https");
  EXPECT_EQ(uri.username, "ann");
  EXPECT_EQ(uri.password, "pw");
  EXPECT_EQ(uri.hostname, "example.org");
  EXPECT_EQ(uri.port, "8443");
  EXPECT_EQ(uri.path, "/a/b");
  EXPECT_EQ(uri.query, "x=1");
  EXPECT_EQ(uri.fragment, "frag");
}

TEST(Uri, ReassemblesWhatItSplit) {
  const char* cases[] = {
      "http://127.0.0.1:8080/app/",
      "http://host",
      "http://host/a?",
      "http://u@host/p#",
      "http://u:@host/p",
      "http://[::1]:80/x?q=1#f",
      "https://h//x/",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(common::assembleUri(common::parseUri(text)), text);
  }
}

TEST(Uri, KeepsIpv6HostWithoutPort) {
  const common::Uri uri = common::parseUri("http://[::1]/x");
  EXPECT_EQ(uri.hostname, "[::1]");
  EXPECT_EQ(uri.port, "");
}

}  // namespace
