// The publisher's commands: keygen, make-source-json and update-catalog.
#include "cli/publish_commands.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "common/base64.hpp"
#include "common/errors.hpp"
#include "common/json.hpp"
#include "crypto/ed25519.hpp"
#include "crypto/sha3.hpp"
#include "crypto/sha3_batch.hpp"
#include "formats/keypair_file.hpp"
#include "formats/source_descriptor.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/test_keys.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::fileExists;
using testing_support::readFile;
using testing_support::ScopedEnvironmentVariable;
using testing_support::ScopedWorkingDirectory;
using testing_support::TempDir;
using testing_support::writeFile;

constexpr const char* kKey0 = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

std::string makeSourceJson(const std::string& url) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::makeSourceJsonCommand(url), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Created updater-source.json\n");
  return readFile("updater-source.json");
}

// update-catalog in a published tree (the working directory), HOME holding the key file.
class UpdateCatalogCommand : public ::testing::Test {
 protected:
  struct Run {
    int result = 0;
    std::string out;
    std::string err;
  };

  static Run runCommand() {
    Run run;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run.result = cli::updateCatalogCommand("", crypto::widestLaneWidth());
    run.out = testing::internal::GetCapturedStdout();
    run.err = testing::internal::GetCapturedStderr();
    return run;
  }

  static std::string line(const std::string& content, const std::string& path) {
    return crypto::sha3Hex(content) + " *" + path;
  }

  TempDir tree_;
  TempDir home_;
  ScopedEnvironmentVariable homeVariable_{"HOME", home_.path()};
  ScopedWorkingDirectory cwd_{tree_.path()};
};

TEST(KeygenCommand, KeygenCreatesAPrivateFileOnceOnly) {
  const TempDir home;
  const ScopedEnvironmentVariable homeVariable("HOME", home.path());
  const std::string path = home / ".tolvex-signer-keypair";

  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::keygenCommand(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Created " + path + "\n");

  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600U);
  const std::string text = readFile(path);
  EXPECT_EQ(text.size(), 166U);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  const crypto::SignerKeypair keypair = formats::loadKeypair(path);
  EXPECT_EQ(formats::keypairFileText(keypair), text);
  // The halves belong together: a signature verifies under the stored public key.
  const std::array<std::uint8_t, 3> message{1, 2, 3};
  EXPECT_TRUE(
      crypto::verifySignature(message, crypto::signMessage(message, keypair), keypair.publicKey));

  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::keygenCommand(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), path + " already exists. Aborting.\n");
  EXPECT_EQ(readFile(path), text);
}

TEST(KeygenCommand, KeygenTreatsALinkToAFileAsExistingAndADirectoryAsAnError) {
  const TempDir home;
  const ScopedEnvironmentVariable homeVariable("HOME", home.path());
  const std::string path = home / ".tolvex-signer-keypair";

  writeFile(home / "elsewhere", "kept");
  ASSERT_EQ(::symlink((home / "elsewhere").c_str(), path.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::keygenCommand(), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(readFile(home / "elsewhere"), "kept");

  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  try {
    cli::keygenCommand();
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& e) {
    EXPECT_EQ(e.message(), "cannot open: " + path);
  }
}

TEST(MakeSourceJsonCommand, WritesCompactObjectWithEscapedUrl) {
  const testing_support::PublisherDirectories publisher;
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
    EXPECT_EQ(formats::readSourcePublicKey(), kKey0);
  }
}

TEST(MakeSourceJsonCommand, MissingKeyFileLeavesTheDescriptorAlone) {
  const testing_support::PublisherDirectories publisher;
  writeFile("updater-source.json", "old");
  try {
    cli::makeSourceJsonCommand("http://h/");
    ADD_FAILURE() << "no error";
  } catch (const common::IOError& e) {
    EXPECT_EQ(e.message(), "cannot open: " + (publisher.home / ".tolvex-signer-keypair"));
  }
  EXPECT_EQ(readFile("updater-source.json"), "old");
}

TEST_F(UpdateCatalogCommand, CommandSignsTheCatalogDigestText) {
  writeFile(tree_ / "a.txt", "abc");
  writeFile(tree_ / "docs/readme", "read me");
  testing_support::writeTestKeyFile(home_.path(), 0);

  const Run run = runCommand();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.err,
            "Created catalog file: updater-catalog.sha3 with 2 files.\n"
            "Signed catalog file: updater-catalog.sig\n");
  const std::string catalogText = readFile(tree_ / "updater-catalog.sha3");
  const std::vector<std::uint8_t> signature =
      common::base64Decode(readFile(tree_ / "updater-catalog.sig"));
  const std::string digestText = crypto::sha3Hex(catalogText);
  const auto bytes = [](const std::string& text) {
    return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  const crypto::PublicKey publicKey = testing_support::testKeypair(0).publicKey;
  EXPECT_TRUE(crypto::verifySignature(bytes(digestText), signature, publicKey));
  EXPECT_FALSE(crypto::verifySignature(bytes(catalogText), signature, publicKey));

  const std::string firstSignature = readFile(tree_ / "updater-catalog.sig");
  const Run again = runCommand();
  EXPECT_EQ(again.result, 0);
  EXPECT_EQ(again.out, run.out);
  EXPECT_EQ(readFile(tree_ / "updater-catalog.sha3"), catalogText);
  EXPECT_EQ(readFile(tree_ / "updater-catalog.sig"), firstSignature);
}

TEST_F(UpdateCatalogCommand, CommandCountsZeroFilesInTheSummary) {
  testing_support::writeTestKeyFile(home_.path(), 1);
  const Run run = runCommand();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "Created catalog file: updater-catalog.sha3 with 0 files.\n"
            "Signed catalog file: updater-catalog.sig\n");
  EXPECT_EQ(readFile(tree_ / "updater-catalog.sha3"), "");
}

TEST_F(UpdateCatalogCommand, CommandWithoutKeyFileWritesNothing) {
  writeFile(tree_ / "a.txt", "abc");
  for (const bool catalogExists : {false, true}) {
    SCOPED_TRACE(catalogExists ? "existing catalog" : "no catalog");
    if (catalogExists) {
      writeFile(tree_ / "updater-catalog.sha3", "old");
    }
    const Run run = runCommand();
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "ERROR: " + home_.path() + "/.tolvex-signer-keypair does not exist\n" +
                           "Run 'cli_tests keygen' to generate a keypair\n");
    EXPECT_EQ(fileExists(tree_ / "updater-catalog.sha3"), catalogExists);
    if (catalogExists) {
      EXPECT_EQ(readFile(tree_ / "updater-catalog.sha3"), "old");
    }
    EXPECT_FALSE(fileExists(tree_ / "updater-catalog.sig"));
  }
  // A directory at the key path is not a key file either.
  fs::create_directory(home_ / ".tolvex-signer-keypair");
  EXPECT_EQ(runCommand().result, -1);
}

TEST_F(UpdateCatalogCommand, MalformedKeyFileStopsBeforeTheCatalog) {
  writeFile(tree_ / "a.txt", "abc");
  writeFile(home_ / ".tolvex-signer-keypair", "{}");
  EXPECT_THROW(cli::updateCatalogCommand("", crypto::widestLaneWidth()), common::KeyError);
  EXPECT_FALSE(fileExists(tree_ / "updater-catalog.sha3"));
}

TEST_F(UpdateCatalogCommand, BadPatternStopsAtTheFirstCandidateThatMeetsIt) {
  testing_support::writeTestKeyFile(home_.path(), 0);
  writeFile(tree_ / "a.txt", "abc");
  writeFile(tree_ / "sub/b.dat", "b");
  // "a.txt" is settled by the include line; the bad line is first tried for "sub/b.dat".
  writeFile(tree_ / ".tolvexignore", "!*.txt\n[a-]\n");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    cli::updateCatalogCommand("", crypto::widestLaneWidth());
    ADD_FAILURE() << "no error";
  } catch (const common::GlobSyntaxError& error) {
    EXPECT_EQ(error.message(), "Invalid range\n\n  [a-]\n    ^\n\n");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Added   : a.txt\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // Nothing is published, nor left behind, before the walk is through: the
  // tree holds a.txt, sub and .tolvexignore only.
  EXPECT_EQ(std::distance(fs::directory_iterator(tree_.path()), fs::directory_iterator()), 3);
}

TEST_F(UpdateCatalogCommand, BadPatternIsHarmlessWithoutCandidates) {
  testing_support::writeTestKeyFile(home_.path(), 0);
  writeFile(tree_ / ".tolvexignore", "{}\n");
  fs::create_directory(tree_ / "empty");
  EXPECT_EQ(runCommand().result, 0);
}

TEST_F(UpdateCatalogCommand, UnwritableCatalogOrSignatureIsReported) {
  testing_support::writeTestKeyFile(home_.path(), 0);
  for (const std::string name : {"updater-catalog.sha3", "updater-catalog.sig"}) {
    SCOPED_TRACE(name);
    fs::create_directory(tree_ / name);
    try {
      runCommand();
      ADD_FAILURE() << "no error";
    } catch (const common::IOError& error) {
      testing::internal::GetCapturedStdout();
      testing::internal::GetCapturedStderr();
      EXPECT_EQ(error.message(), "cannot open: " + name);
    }
    fs::remove(tree_ / name);
  }
}

}  // namespace
