// Publishing as a publisher meets it: the real binary in a fresh HOME and tree,
// its exact output and status, and its files checked by independent tools.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/base64.hpp"
#include "compress/zstd_codec.hpp"
#include "crypto/sha3.hpp"
#include "formats/file_description.hpp"
#include "formats/release_description.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"
#include "support/test_keys.hpp"

namespace {

using testing_support::ProcessResult;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

constexpr const char* kSummary =
    "Created catalog file: updater-catalog.sha3 with 1 files.\n"
    "Signed catalog file: updater-catalog.sig\n";

class Publish : public ::testing::Test {
 protected:
  ProcessResult run(const std::vector<std::string>& argv, const std::string& cwd) const {
    testing_support::ProcessOptions options;
    options.workingDirectory = cwd;
    options.environment.emplace("HOME", home_.path());
    return testing_support::runProcess(argv, options);
  }
  ProcessResult updateCatalog() const {
    return run({TOLVEX_BINARY, "update-catalog"}, tree_.path());
  }

  TempDir home_;
  TempDir tree_;
};

std::string hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

std::string python() {
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

TEST_F(Publish, PrintsEveryFileAndTheSummary) {
  testing_support::writeTestKeyFile(home_.path(), 0);
  writeFile(tree_ / "a.txt", "abc");
  writeFile(tree_ / "sub/trace.log", "log");
  writeFile(tree_ / "tolvex", "the program itself");
  writeFile(tree_ / ".tolvexignore", "**/*.log\r\n");
  const ProcessResult result = updateCatalog();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "Added   : a.txt\nIgnored : sub/trace.log\n");
  EXPECT_EQ(result.err, kSummary);
  EXPECT_EQ(readFile(tree_ / "updater-catalog.sha3"), crypto::sha3Hex("abc") + " *a.txt\n");
}

TEST_F(Publish, WithoutKeyFileNamesTheKeygenCommand) {
  writeFile(tree_ / "a.txt", "abc");
  const ProcessResult result = updateCatalog();
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "ERROR: " + home_.path() + "/.tolvex-signer-keypair does not exist\n" +
                            "Run 'tolvex keygen' to generate a keypair\n");
  EXPECT_FALSE(testing_support::fileExists(tree_ / "updater-catalog.sha3"));
}

TEST_F(Publish, BadPatternEndsTheRunAtTheFirstCandidate) {
  struct Case {
    std::string pattern;
    std::string error;
  };
  const Case cases[] = {
      {"[a-]",
       "Error: unhandled exception: Invalid range\n\n  [a-]\n    ^\n\n [GlobSyntaxError]\n"},
      {"{,a}",
       "Error: unhandled exception: empty group is not allowed at offset 4 in "
       "'^(?:(?:)|(?:a))$' [RegexError]\n"},
  };
  testing_support::writeTestKeyFile(home_.path(), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    const TempDir tree;
    writeFile(tree / ".tolvexignore", c.pattern);
    writeFile(tree / "a.txt", "abc");
    const ProcessResult result = run({TOLVEX_BINARY, "update-catalog"}, tree.path());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.error);
    EXPECT_FALSE(testing_support::fileExists(tree / "updater-catalog.sha3"));
  }
}

TEST_F(Publish, SignatureVerifiesWithAnIndependentVerifier) {
  const ProcessResult probe = run({python(), "-c", "import cryptography"}, tree_.path());
  if (probe.exitStatus != 0) {
    GTEST_SKIP() << "Python's cryptography package is not installed";
  }
  testing_support::writeTestKeyFile(home_.path(), 1);
  writeFile(tree_ / "a.txt", "abc");
  writeFile(tree_ / "d/e/f", std::string(20000, 'x'));
  ASSERT_EQ(updateCatalog().exitStatus, 0);

  const std::string catalogText = readFile(tree_ / "updater-catalog.sha3");
  const std::vector<std::uint8_t> signature =
      common::base64Decode(readFile(tree_ / "updater-catalog.sig"));
  const crypto::PublicKey publicKey = testing_support::testKeypair(1).publicKey;
  const std::string script =
      "import sys\n"
      "from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey\n"
      "key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(sys.argv[1]))\n"
      "key.verify(bytes.fromhex(sys.argv[2]), sys.argv[3].encode())\n";
  const auto verify = [&](const std::string& message) {
    return run({python(), "-c", script, hex({publicKey.begin(), publicKey.end()}),
                hex({signature.begin(), signature.end()}), message},
               tree_.path())
        .exitStatus;
  };
  EXPECT_EQ(verify(crypto::sha3Hex(catalogText)), 0);
  EXPECT_NE(verify(catalogText), 0);
}

TEST_F(Publish, RhashAcceptsTheCatalog) {
  if (::access("/usr/bin/rhash", X_OK) != 0) {
    GTEST_SKIP() << "rhash is not installed";
  }
  testing_support::writeTestKeyFile(home_.path(), 0);
  writeFile(tree_ / "a.txt", "abc");
  writeFile(tree_ / "empty", "");
  writeFile(tree_ / "with space/b c.bin", std::string(8192, '\x01'));
  writeFile(tree_ / "x/y/z/deep.txt", std::string(8193, 'z'));
  const auto expectChecked = [&] {
    const ProcessResult check =
        run({"/usr/bin/rhash", "--sha3-256", "-c", "updater-catalog.sha3"}, tree_.path());
    EXPECT_EQ(check.exitStatus, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("Everything OK"), std::string::npos) << check.out;
  };
  ASSERT_EQ(updateCatalog().exitStatus, 0);
  expectChecked();
  // The release number grows past the served one, even one ahead of the clock.
  writeFile(tree_ / "updater-catalog.sha3", "; tolvex-release 9000000000\n");
  const ProcessResult released =
      run({TOLVEX_BINARY, "update-catalog", "--expires", "30"}, tree_.path());
  ASSERT_EQ(released.exitStatus, 0) << released.err;
  EXPECT_TRUE(released.err.find("\nRelease: 9000000001 (expires ") != std::string::npos);
  EXPECT_TRUE(
      readFile(tree_ / "updater-catalog.sha3").starts_with("; tolvex-release 9000000001 expires "));
  expectChecked();
}

TEST_F(Publish, ClientReceivesThePublishedTree) {
  testing_support::writeTestKeyFile(home_.path(), 0);
  const std::map<std::string, std::string> files = {
      {"a.txt", "abc"}, {"docs/readme.md", "read me"}, {"bin/tool", std::string(70000, 't')}};
  for (const auto& [path, content] : files) {
    writeFile(tree_ / path, content);
  }
  writeFile(tree_ / "draft.tmp", "not published");
  writeFile(tree_ / ".tolvexignore", "*.tmp");
  ASSERT_EQ(updateCatalog().exitStatus, 0);

  const testing_support::TestHttpServer server(tree_.path());
  const TempDir client;
  ASSERT_EQ(
      run({TOLVEX_TEST_CLIENT, "make-source-json", server.url("/")}, client.path()).exitStatus, 0);
  const ProcessResult update = run({TOLVEX_TEST_CLIENT, "update"}, client.path());
  EXPECT_EQ(update.exitStatus, 0) << update.err;
  for (const auto& [path, content] : files) {
    EXPECT_EQ(readFile(client / path), content) << path;
  }
  EXPECT_FALSE(testing_support::fileExists(client / "draft.tmp"));
}

// Version `n` of a text file that compresses and whose versions differ in a line.
std::string textVersion(int n) {
  std::mt19937 random(7);
  std::string text;
  for (int line = 0; line < 2000; ++line) {
    text += line == 1000 ? "version " + std::to_string(n) : std::to_string(random() % 100000);
    text += '\n';
  }
  return text;
}

TEST_F(Publish, KeepsCopiesAndPatchesOfTheVersionsOfRecentReleases) {
  testing_support::writeTestKeyFile(home_.path(), 0);
  // Writes the file unless it holds `content` already, and publishes.
  const auto publish = [this](const std::string& content) {
    if (!testing_support::fileExists(tree_ / "f.txt") || readFile(tree_ / "f.txt") != content) {
      writeFile(tree_ / "f.txt", content);
    }
    EXPECT_EQ(run({TOLVEX_BINARY, "update-catalog", "--keep-releases", "1"}, tree_.path()).err,
              kSummary);
    return crypto::sha3Hex(content);
  };
  const std::string folder = tree_ / ".tolvex-index";
  const auto named = [&folder](const std::string& name) { return folder + "/" + name; };
  const std::string v1 = textVersion(1);
  const std::string v2 = textVersion(2);
  const std::string d1 = publish(v1);
  const std::string d2 = publish(v2);

  const std::string patch = readFile(named(d2 + ".from." + d1 + ".zst"));
  std::string made;
  compress::FrameReader reader({reinterpret_cast<const std::uint8_t*>(v1.data()), v1.size()},
                               static_cast<std::int64_t>(v2.size()));
  reader.add({reinterpret_cast<const std::uint8_t*>(patch.data()), patch.size()},
             [&made](std::span<const std::uint8_t> bytes) {
               made.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
             });
  reader.finish();
  EXPECT_EQ(made, v2);
  const std::string description = readFile(named(d2 + ".desc"));
  EXPECT_EQ(description, "tolvex-file 1 " + std::to_string(v2.size()) + " " +
                             std::to_string(readFile(named(d2 + ".zst")).size()) + "\n" +
                             d1.substr(0, 16) + " " + std::to_string(patch.size()) + "\n");
  // The release's pair, named after the catalog, serves the same patch as a range.
  const auto release = [&] {
    const std::string c = crypto::sha3Hex(readFile(tree_ / "updater-catalog.sha3"));
    const std::string frame = readFile(named(c + ".release.zst"));
    return std::pair(c, formats::parseReleaseDescription(compress::decompressCopy(
                            {reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()},
                            formats::kMaximumReleaseDescriptionBytes)));
  };
  const auto [c2, release2] = release();
  const formats::ReleaseDescription::Version* version = release2.find(d2);
  ASSERT_NE(version, nullptr);
  ASSERT_EQ(version->file, formats::parseFileDescription(description));
  const std::string bundle = readFile(named(c2 + ".patches"));
  EXPECT_EQ(release2.bundleBytes, static_cast<std::int64_t>(bundle.size()));
  EXPECT_EQ(bundle.substr(version->patchOffsets.at(0), patch.size()), patch);

  // An unchanged republish writes nothing: each name keeps its file and time.
  const auto state = [&folder] {
    std::map<std::string, std::pair<ino_t, std::int64_t>> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      struct stat status {};
      EXPECT_EQ(::stat(entry.path().c_str(), &status), 0);
      files[entry.path().filename()] = {
          status.st_ino, status.st_mtim.tv_sec * 1000000000 + status.st_mtim.tv_nsec};
    }
    return files;
  };
  const auto before = state();
  publish(v2);
  EXPECT_EQ(state(), before);  // the release's pair among them
  // Nor does it read the descriptions, but one that went missing comes back.
  std::filesystem::remove(named(d2 + ".desc"));
  publish(v2);
  EXPECT_EQ(readFile(named(d2 + ".desc")), description);

  // With one earlier release kept, the next release lets the first version go.
  const std::string d3 = publish(textVersion(3));
  EXPECT_FALSE(testing_support::fileExists(named(d1 + ".zst")));
  EXPECT_FALSE(testing_support::fileExists(named(d2 + ".from." + d1 + ".zst")));
  EXPECT_FALSE(testing_support::fileExists(named(d2 + ".desc")));
  EXPECT_TRUE(testing_support::fileExists(named(d2 + ".zst")));
  EXPECT_TRUE(testing_support::fileExists(named(d3 + ".from." + d2 + ".zst")));
  EXPECT_NE(release().first, c2);
  EXPECT_FALSE(testing_support::fileExists(named(c2 + ".release.zst")));
  EXPECT_FALSE(testing_support::fileExists(named(c2 + ".patches")));
}

}  // namespace
