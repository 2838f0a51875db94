#include "formats/keypair_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>

#include "common/errors.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/test_keys.hpp"

namespace {

using testing_support::readFile;
using testing_support::ScopedEnvironmentVariable;
using testing_support::TempDir;
using testing_support::writeFile;

// RFC 8032 test 1 key pair, as the key file holds it.
constexpr std::string_view kVector1File =
    R"({"public_key":"11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=",)"
    R"("private_key":"MHyDhk8oM8tCei7xwAoBPP3/J2jZgMCjpSDwBpBN6U+bTwr+KAt0aneGhOdUQlAgV7dHOgPwj5b1o46Sh+Afjw=="})";
TEST(KeypairFile, PathIsHomeJoinedAndNormalised) {
  const struct {
    std::optional<std::string> home;
    const char* path;
  } cases[] = {
      {"/home/ann", "/home/ann/.tolvex-signer-keypair"},
      {"/home/ann/", "/home/ann/.tolvex-signer-keypair"},
      {"//home//ann//", "/home/ann/.tolvex-signer-keypair"},
      {"/home/./ann/../bob/.", "/home/bob/.tolvex-signer-keypair"},
      {"/..", "/.tolvex-signer-keypair"},
      {"/", "/.tolvex-signer-keypair"},
      {"", "/.tolvex-signer-keypair"},
      {std::nullopt, "/.tolvex-signer-keypair"},
      {"relative/dir", "relative/dir/.tolvex-signer-keypair"},
      {"../up", "../up/.tolvex-signer-keypair"},
      {".", ".tolvex-signer-keypair"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.home.value_or("(unset)"));
    const ScopedEnvironmentVariable home("HOME", c.home);
    EXPECT_EQ(formats::keypairPath(), c.path);
  }
}

TEST(KeypairFile, TextIsTheCompactObjectOfBothHalves) {
  const std::string text = formats::keypairFileText(testing_support::testKeypair(0));
  EXPECT_EQ(text, kVector1File);
  EXPECT_EQ(text.size(), 166U);
}

TEST(KeypairFile, LoadsAnyLayoutOfTheObject) {
  const TempDir dir;
  const crypto::SignerKeypair expected = testing_support::testKeypair(0);
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"as written", std::string(kVector1File)},
      {"spaced and wrapped, reversed, extra member",
       "{ \"comment\": 1,\r\n  \"private_key\" : \"MHyDhk8oM8tCei7xwAoBPP3/J2jZgMCjpSDwBpBN6U+bTwr+"
       "KAt0aneGhOdUQlAgV7dHOgPwj5b1o46Sh+Afjw==\",\n  \"public_key\":"
       "\"11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=\"\n}\n"},
      {"URL-safe alphabet",
       R"({"public_key":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo",)"
       R"("private_key":"MHyDhk8oM8tCei7xwAoBPP3_J2jZgMCjpSDwBpBN6U-bTwr-KAt0aneGhOdUQlAgV7dHOgPwj5b1o46Sh-Afjw"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "key", c.text);
    const crypto::SignerKeypair loaded = formats::loadKeypair(dir / "key");
    EXPECT_EQ(loaded.publicKey, expected.publicKey);
    EXPECT_EQ(loaded.privateKey, expected.privateKey);
  }
}

template <typename Error>
void expectFailure(const std::string& path, const std::string& messageEnd) {
  try {
    formats::loadKeypair(path);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_TRUE(e.message().ends_with(messageEnd)) << e.message();
  }
}

TEST(KeypairFile, LoadFailuresComeInTheirOrder) {
  const TempDir dir;
  const std::string path = dir / "key";
  const std::string pub31 = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==";  // 31 bytes
  const std::string pub32 = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
  const std::string priv63(84, 'A');  // 63 bytes
  const auto file = [&](const std::string& pub, const std::string& priv) {
    writeFile(path, R"({"public_key":")" + pub + R"(","private_key":")" + priv + "\"}");
  };

  expectFailure<common::IOError>(dir / "missing", "cannot open: " + (dir / "missing"));
  writeFile(path, "{\"public_key\":");
  expectFailure<common::JsonParsingError>(path, "");
  writeFile(path, "[1, 2]");
  expectFailure<common::AssertionDefect>(path, "");
  writeFile(path, R"({"private_key":"x"})");
  expectFailure<common::KeyError>(path, "key not found: public_key");
  writeFile(path, "{\"public_key\":\"" + pub32 + "\"}");
  expectFailure<common::KeyError>(path, "key not found: private_key");
  // Both members are decoded before any length is checked.
  file(pub31, "AAAA\\tAAA");  // a JSON-escaped tab
  expectFailure<common::ValueError>(
      path, "Invalid base64 format character in \"private_key\" at location 4.");
  file(pub31, priv63);
  expectFailure<common::AssertionDefect>(
      path, "`publicKey.size() == 32` error in keypair: public key should be 32 bytes");
  file(pub32, priv63);
  expectFailure<common::AssertionDefect>(
      path, "`privateKey.size() == 64` error in keypair: private key should be 64 bytes");
  // A value that is not a string counts as empty, hence zero bytes.
  writeFile(path, R"({"public_key":7,"private_key":"x"})");
  expectFailure<common::AssertionDefect>(path, "public key should be 32 bytes");
}

TEST(KeypairFile, ErrorsNeverShowTheFilesContent) {
  const TempDir dir;
  const std::string path = dir / "key";
  const std::string secret = "MHyDhk8oM8tCei7xwAoBPP3";
  for (const std::string& text : {
           R"({"public_key":"x","private_key":")" + secret,                    // unterminated
           R"({"public_key":"x","private_key":")" + secret + "\"x}",           // bad separator
           R"({"public_key":"x","private_key":")" + secret + "\u0001\"}",      // control byte
           R"({"public_key":"AAAA","private_key":")" + secret + "\\u0001\"}",  // bad Base64
       }) {
    SCOPED_TRACE(text);
    writeFile(path, text);
    try {
      formats::loadKeypair(path);
      ADD_FAILURE() << "no error";
    } catch (const common::Error& e) {
      EXPECT_EQ(e.message().find("MHy"), std::string::npos) << e.message();
      EXPECT_EQ(e.message().find('\x01'), std::string::npos) << e.message();
    }
  }
}
}  // namespace
