// The command line as a user meets it: the shipped binary, run in a fresh HOME
// and working directory, with its exact output and exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_keys.hpp"

namespace {

using testing_support::ProcessResult;
using testing_support::TempDir;

constexpr const char* kMainHelp =
    "tolvex v1.6: simple http file sync\n\nUsage:\n   [options] COMMAND\n\nCommands:\n\n"
    "  update-catalog   Create updater-catalog.sha3 & updater-catalog.sig\n"
    "  make-source-json Create updater-source.json with pubkey & url.\n"
    "  keygen           Create public & private keys at /home/user/.tolvex-signer-keypair\n"
    "  update           [DEFAULT] Update local files based on updater-source.json\n\n"
    "Options:\n  -h, --help\n";
constexpr const char* kUpdateCatalogHelp =
    "Create updater-catalog.sha3 & updater-catalog.sig\n\nUsage:\n  update-catalog [options] \n\n"
    "Options:\n  -h, --help\n";
constexpr const char* kMakeSourceJsonHelp =
    "Create updater-source.json with pubkey & url.\n\nUsage:\n  make-source-json [options] url\n\n"
    "Arguments:\n  url\n\nOptions:\n  -h, --help\n";
constexpr const char* kKeygenHelp =
    "Create public & private keys at /home/user/.tolvex-signer-keypair\n\nUsage:\n"
    "  keygen [options] \n\nOptions:\n  -h, --help\n";
constexpr const char* kUpdateHelp =
    "[DEFAULT] Update local files based on updater-source.json\n\nUsage:\n  update [options] \n\n"
    "Options:\n  -h, --help\n  -v, --verbose\n";

class Cli : public ::testing::Test {
 protected:
  ProcessResult run(const std::vector<std::string>& args,
                    std::map<std::string, std::string> extraEnvironment = {}) {
    std::vector<std::string> argv{TOLVEX_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    testing_support::ProcessOptions options;
    options.workingDirectory = work_.path();
    options.environment = std::move(extraEnvironment);
    options.environment.emplace("HOME", home_.path());
    return testing_support::runProcess(argv, options);
  }
  std::string keyPath() const { return home_ / ".tolvex-signer-keypair"; }

  TempDir home_;
  TempDir work_;
};

struct Expected {
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

TEST_F(Cli, AnswersHelpAndUsageErrorsExactly) {
  const Expected cases[] = {
      {{"-h"}, kMainHelp, "", 1},
      {{"--help"}, kMainHelp, "", 1},
      {{"-h", "keygen"}, kMainHelp, "", 1},
      {{"unknown", "-h"}, kMainHelp, "", 1},
      {{"update-catalog", "-h"}, kUpdateCatalogHelp, "", 1},
      {{"make-source-json", "--help"}, kMakeSourceJsonHelp, "", 1},
      {{"keygen", "-h"}, kKeygenHelp, "", 1},
      {{"keygen", "-h", "more"}, kKeygenHelp, "", 1},
      {{"update", "-v", "-h"}, kUpdateHelp, "", 1},
      {{"--"}, "", "", 0},
      {{"--", "-h"}, "", "Unknown argument(s): -h\n", 255},
      {{"-v", "update"}, "", "Unknown argument(s): -v\n", 255},
      {{"update", "keygen"}, "", "Unknown argument(s): keygen\n", 255},
      {{"update", "--verbose=1", "-vv"}, "", "Unknown argument(s): --verbose=1, -vv\n", 255},
      {{"make-source-json"}, "", "Missing argument(s): url\n", 255},
      {{"make-source-json", "a", "b"}, "", "Unknown argument(s): b\n", 255},
      {{"a", "make-source-json", "b"}, "", "Unknown argument(s): b\n", 255},
      {{""}, "", "Unknown argument(s): \n", 255},
  };
  for (const Expected& c : cases) {
    std::string trace;
    for (const auto& arg : c.args) {
      trace += "'" + arg + "' ";
    }
    SCOPED_TRACE(trace);
    const ProcessResult result = run(c.args);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitStatus, c.status);
  }
  // A usage error touches nothing.
  EXPECT_TRUE(std::filesystem::is_empty(work_.path()));
  EXPECT_TRUE(std::filesystem::is_empty(home_.path()));
}

TEST_F(Cli, KeygenCreatesAPrivateKeyFileOnceAndKeepsIt) {
  const ProcessResult first = run({"keygen"});
  EXPECT_EQ(first.out, "");
  EXPECT_EQ(first.err, "Created " + keyPath() + "\n");
  EXPECT_EQ(first.exitStatus, 0);
  const std::string key = testing_support::readFile(keyPath());
  EXPECT_EQ(key.size(), 166u);
  EXPECT_TRUE(key.starts_with("{\"public_key\":\""));
  struct stat status {};
  ASSERT_EQ(::stat(keyPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  const ProcessResult second = run({"--", "keygen"});
  EXPECT_EQ(second.err, keyPath() + " already exists. Aborting.\n");
  EXPECT_EQ(second.exitStatus, 255);
  EXPECT_EQ(testing_support::readFile(keyPath()), key);
}

TEST_F(Cli, KeygenNeverWritesThroughALink) {
  // A dangling link is an existing key file too: nothing is created at its far end.
  for (const bool dangling : {true, false}) {
    SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
    const std::string target = home_ / "elsewhere";
    if (!dangling) {
      testing_support::writeFile(target, "kept");
    }
    ASSERT_EQ(::symlink(target.c_str(), keyPath().c_str()), 0);
    const ProcessResult result = run({"keygen"});
    EXPECT_EQ(result.err, keyPath() + " already exists. Aborting.\n");
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(testing_support::fileExists(target), !dangling);
    std::filesystem::remove(keyPath());
  }
}

TEST_F(Cli, KeygenIntoADirectoryIsAnUnhandledError) {
  std::filesystem::create_directory(keyPath());
  const ProcessResult result = run({"keygen"});
  EXPECT_EQ(result.err, "Error: unhandled exception: cannot open: " + keyPath() + " [IOError]\n");
  EXPECT_EQ(result.exitStatus, 1);
}

TEST_F(Cli, MakeSourceJsonWritesTheDescriptor) {
  testing_support::writeTestKeyFile(home_.path(), 0);
  const ProcessResult result = run({"make-source-json", "http://127.0.0.1:8080/app"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Created updater-source.json\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(testing_support::readFile(work_ / "updater-source.json"),
            "{\"public_key\":\"" + testing_support::testPublicKeyText(0) +
                "\",\"url\":\"http://127.0.0.1:8080/app\"}");
}

TEST_F(Cli, MakeSourceJsonWithoutKeyFileReportsItAndWritesNothing) {
  const ProcessResult result = run({"make-source-json", "http://h/"});
  EXPECT_EQ(result.err, "Error: unhandled exception: cannot open: " + keyPath() + " [IOError]\n");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(testing_support::fileExists(work_ / "updater-source.json"));
}

TEST_F(Cli, UnsetHomeUsesTheRootKeyPath) {
  std::vector<std::string> argv{TOLVEX_BINARY, "make-source-json", "u"};
  testing_support::ProcessOptions options;
  options.workingDirectory = work_.path();
  const ProcessResult result = testing_support::runProcess(argv, options);
  EXPECT_EQ(result.err,
            "Error: unhandled exception: cannot open: /.tolvex-signer-keypair [IOError]\n");
  EXPECT_EQ(result.exitStatus, 1);
}

TEST_F(Cli, MalformedKeyFileIsReportedWithItsKind) {
  const std::pair<std::string, std::string> cases[] = {
      {"not json", "[JsonParsingError]\n"},
      {"{\"public_key\":\"x\",\"private_key\":\"SECRET",
       " parse error at line 1, column 40: syntax error while parsing value [JsonParsingError]\n"},
      {"[1]", "[AssertionDefect]\n"},
      {"{\"private_key\":\"\"}",
       "Error: unhandled exception: key not found: public_key [KeyError]\n"},
      {"{\"public_key\":\"\\t\",\"private_key\":\"\"}",
       "Error: unhandled exception: Invalid base64 format character in \"public_key\" at location "
       "0. [ValueError]\n"},
      {"{\"public_key\":\"AAAA\",\"private_key\":\"SECRET\\tSECRET\"}",
       "Error: unhandled exception: Invalid base64 format character in \"private_key\" at location "
       "6. [ValueError]\n"},
  };
  for (const auto& [content, errEnd] : cases) {
    SCOPED_TRACE(content);
    testing_support::writeFile(keyPath(), content);
    const ProcessResult result = run({"make-source-json", "u"});
    EXPECT_TRUE(result.err.starts_with("Error: unhandled exception: ")) << result.err;
    EXPECT_TRUE(result.err.ends_with(errEnd)) << result.err;
    // Nothing of the file is shown: it holds the private key.
    EXPECT_EQ(result.err.find("SECRET"), std::string::npos) << result.err;
    EXPECT_EQ(result.exitStatus, 1);
  }
}

}  // namespace
