// The update command end to end: the test client (which trusts test keys 0 and 1)
// runs in its own HOME and working directory against a loopback HTTP server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client_process_fixture.hpp"
#include "common/base64.hpp"
#include "crypto/sha3.hpp"
#include "published_tree.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_http_server.hpp"
#include "support/test_keys.hpp"

namespace {

using process_testing::kUpToDate;
using testing_support::fileExists;
using testing_support::ProcessResult;
using testing_support::readFile;
using testing_support::writeFile;
using updater_testing::binaryContent;
using updater_testing::PublishedFile;

// Relative paths of every file below `root` (links included, directories not).
std::vector<std::string> filesBelow(const std::string& root) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_directory()) {
      files.push_back(std::filesystem::relative(entry.path(), root).string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Runs `update` of the test client in `dir` with standard output and error on a
// pseudo-terminal `columns` wide, and returns what the terminal received.
std::string updateOnTerminal(const std::string& dir, const std::string& home,
                             unsigned short columns) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  EXPECT_EQ(::grantpt(master), 0);
  EXPECT_EQ(::unlockpt(master), 0);
  const std::string slaveName = ::ptsname(master);
  winsize size{};
  size.ws_col = columns;
  size.ws_row = 24;
  EXPECT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);
  std::string program = TOLVEX_TEST_CLIENT;
  std::string command = "update";
  std::string homeVariable = "HOME=" + home;
  char* argv[] = {program.data(), command.data(), nullptr};
  char* envp[] = {homeVariable.data(), nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int slave = ::open(slaveName.c_str(), O_RDWR);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    if (::chdir(dir.c_str()) == 0) {
      ::execve(argv[0], argv, envp);
    }
    ::_exit(127);
  }
  std::string output;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(master, buffer, sizeof buffer);
    if (count > 0) {
      output.append(buffer, static_cast<std::size_t>(count));
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO: the child has closed the terminal
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  return output;
}

class UpdateProcess : public process_testing::ClientProcessFixture {
 protected:
  // Publishes the files as a publisher does: the tree is written and the test
  // client's own update-catalog signs it with test key 0.
  void publishWithClient(const std::vector<PublishedFile>& files,
                         const std::vector<std::string>& options = {}) const {
    testing_support::writeTestKeyFile(publisherHome_.path(), 0);
    for (const auto& file : files) {
      writeFile(published_ / file.path, file.content);
    }
    std::vector<std::string> argv = {TOLVEX_TEST_CLIENT, "update-catalog"};
    argv.insert(argv.end(), options.begin(), options.end());
    const ProcessResult result = testing_support::runProcess(
        argv, {published_.path(), {{"HOME", publisherHome_.path()}}, ""});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
  }

  // Every published file (the tool's own aside) is in the client with equal content.
  void expectClientMatchesPublished(const std::vector<PublishedFile>& files) const {
    for (const auto& file : files) {
      SCOPED_TRACE(file.path);
      EXPECT_EQ(readFile(client_ / file.path), file.content);
    }
  }

  void expectNoStagedFiles() const {
    for (const auto& path : filesBelow(client_.path())) {
      EXPECT_FALSE(path.ends_with(".tolvex-pending")) << path;
    }
  }

  testing_support::TempDir publisherHome_;
};

TEST_F(UpdateProcess, FreshClientReceivesTheWholeTreeAndThenStaysQuiet) {
  const std::vector<PublishedFile> files = {
      {"readme.txt", "hello\n"},
      {"bin/tool", binaryContent(100000, 1)},
      {"share/doc/deep/notes.md", "# notes\n"},
      {".hidden", "dot file"},
      {"empty", ""},
  };
  publishWithClient(files);
  const ProcessResult first = update();
  EXPECT_EQ(first.exitStatus, 0);
  EXPECT_EQ(first.out, "");
  EXPECT_EQ(first.err, kUpToDate);
  expectClientMatchesPublished(files);
  EXPECT_EQ(filesBelow(client_.path()),
            (std::vector<std::string>{".hidden", ".tolvex-lock", "bin/tool", "empty", "readme.txt",
                                      "share/doc/deep/notes.md", "updater-source.json"}));

  server_.clearRequests();
  const ProcessResult second = update();
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, kUpToDate);
  EXPECT_EQ(server_.requests().size(), 2U);  // the catalog and its signature only
}

TEST_F(UpdateProcess, OnlyTheChangedFileTravelsAndKeepsItsMode) {
  std::vector<PublishedFile> files = {{"a.txt", "a"}, {"bin/run.sh", "#!/bin/sh\necho 1\n"}};
  updater_testing::publishTree(published_.path(), files);
  ASSERT_EQ(update().exitStatus, 0);
  ASSERT_EQ(::chmod((client_ / "bin/run.sh").c_str(), 0750), 0);

  files[1].content = "#!/bin/sh\necho 2\n";
  updater_testing::publishTree(published_.path(), files);
  server_.clearRequests();
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kUpToDate);
  expectClientMatchesPublished(files);
  EXPECT_EQ(server_.requestsFor("/a.txt").size(), 0U);
  EXPECT_EQ(server_.requestsFor("/bin/run.sh").size(), 1U);
  struct stat status {};
  ASSERT_EQ(::stat((client_ / "bin/run.sh").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0750U);
}

// A release that renames its folder: each file comes from the one the client
// holds under the old name, by its patch or copied when unchanged; the first
// ones by their own descriptions, the others by the release description.
TEST_F(UpdateProcess, ARenamedFolderComesFromTheFilesUnderItsOldName) {
  // Text, whose copies pay: a patch starts from the copy of its old version.
  std::vector<PublishedFile> files;
  for (int i = 0; i < 24; ++i) {
    std::string text;
    for (int line = 0; line < 2000; ++line) {
      text += std::to_string(line * 7919 % 10007 + i) + '\n';
    }
    files.push_back({"app-1.0/f" + std::to_string(i), text});
  }
  publishWithClient(files);
  ASSERT_EQ(update().exitStatus, 0);

  std::filesystem::remove_all(published_ / "app-1.0");
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i].path.replace(0, 7, "app-1.1");
    if (i % 2 == 0) {
      files[i].content.replace(5000, 10, "changed\n\n\n");
    }
  }
  publishWithClient(files);
  server_.clearRequests();
  const ProcessResult result = update({"-v"});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  expectClientMatchesPublished(files);
  EXPECT_TRUE(fileExists(client_ / "app-1.0/f0"));
  expectNoStagedFiles();
  const std::string release = crypto::sha3Hex(readFile(published_ / "updater-catalog.sha3"));
  EXPECT_EQ(server_.requestsFor("/.tolvex-index/" + release + ".release.zst").size(), 1U);
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].path);
    EXPECT_EQ(server_.requestsFor("/" + files[i].path).size(), 0U);
    const std::string way = i % 2 == 0 ? "Patch: " + files[i].path + ": fetched "
                                       : "Copy: " + files[i].path + ": from app-1.0/f" +
                                             std::to_string(i) + ", no bytes fetched";
    EXPECT_NE(result.out.find(way), std::string::npos) << result.out;
  }
}

TEST_F(UpdateProcess, PartialStagedFileIsResumedFromItsSize) {
  const std::string content = binaryContent(300000, 2);
  updater_testing::publishTree(published_.path(), {{"data/big.bin", content}});
  writeFile(client_ / "data/big.bin.tolvex-pending", content.substr(0, 123456));
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kUpToDate);
  EXPECT_EQ(readFile(client_ / "data/big.bin"), content);
  const auto requests = server_.requestsFor("/data/big.bin");
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].header("Range"), "bytes=123456-");
  expectNoStagedFiles();
}

TEST_F(UpdateProcess, StagedFileOfAnEarlierRunIsAppliedWithoutNetwork) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "new a"}, {"b.txt", "b"}});
  writeFile(client_ / "a.txt", "old a");
  writeFile(client_ / "a.txt.tolvex-pending", "new a");
  writeFile(client_ / "b.txt", "b");
  const ProcessResult result = update({"--verbose"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "Checking update at " + server_.url("/updater-catalog.sha3") +
                            "\nAlready downloaded: a.txt\n");
  EXPECT_EQ(result.err, "\nAll files are up to date.\n");
  EXPECT_EQ(readFile(client_ / "a.txt"), "new a");
  EXPECT_TRUE(server_.requestsFor("/a.txt").empty());
  expectNoStagedFiles();
}

TEST_F(UpdateProcess, TamperedCatalogIsRefusedBeforeAnythingIsTouched) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}});
  std::string catalog = readFile(published_ / "updater-catalog.sha3");
  catalog.back() = ' ';  // one byte: the final line feed
  writeFile(published_ / "updater-catalog.sha3", catalog);
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Checking updates...\n" + server_.url("/updater-catalog.sha3") +
                            " signature verification failed\n");
  EXPECT_EQ(filesBelow(client_.path()),
            (std::vector<std::string>{".tolvex-lock", "updater-source.json"}));
}

TEST_F(UpdateProcess, SignedCatalogsThatGoBackOrExpiredAreRefused) {
  publishWithClient({{"a.txt", "v1"}}, {"--expires", "30"});
  const std::string head = readFile(published_ / "updater-catalog.sha3");
  const std::string number = head.substr(17, head.find(" expires") - 17);
  for (int run = 0; run < 2; ++run) {  // the second is a no-op
    const ProcessResult result = update();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, kUpToDate);
  }
  const std::string applied = "release " + number + " is applied here already";
  const struct {
    std::string releaseLine;
    std::string error;
  } cases[] = {
      {"; tolvex-release 100\n", "refusing release 100 of the catalog: " + applied},
      {"", "refusing a catalog without release number: " + applied},
      {"; tolvex-release 9000000000 expires 1000000000\n",
       "refusing release 9000000000 of the catalog: it expired on 2001-09-09 01:46:40 UTC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.releaseLine);
    writeFile(published_ / "a.txt", "v2");
    updater_testing::publishCatalog(published_.path(),
                                    c.releaseLine + updater_testing::catalogLine("a.txt", "v2"));
    const ProcessResult result = update();
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.err, "Checking updates...\nerror: " + c.error + "\n");
    EXPECT_EQ(readFile(clientFile("a.txt")), "v1");
    EXPECT_EQ(readFile(clientFile(".tolvex-release")), number + "\n");
  }
}

TEST_F(UpdateProcess, TamperedFileIsReportedDeletedAndNotApplied) {
  const std::vector<PublishedFile> files = {{"a.txt", "a"}, {"b.txt", "genuine"}};
  updater_testing::publishTree(published_.path(), files);
  writeFile(published_ / "b.txt", "forged!");
  writeFile(client_ / "a.txt", "old a");
  writeFile(client_ / "b.txt", "old b");
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Checking updates...\n\nHash mismatch for b.txt\n  remote catalog: " +
                            crypto::sha3Hex("genuine") +
                            "\n  downloaded    : " + crypto::sha3Hex("forged!") + "\n");
  EXPECT_FALSE(fileExists(client_ / "b.txt.tolvex-pending"));
  EXPECT_EQ(readFile(client_ / "a.txt"), "old a");
  EXPECT_EQ(readFile(client_ / "b.txt"), "old b");
  // The verified staged file stays for the next run.
  EXPECT_EQ(readFile(client_ / "a.txt.tolvex-pending"), "a");
}

TEST_F(UpdateProcess, UnsafeCatalogPathsAndUnlistedLocalFilesAreLeftAlone) {
  // The client lives one level down, so that an escape would land in a place we own.
  const std::string client = client_ / "inner";
  updater_testing::writeSourceDescriptor(client, server_.url("/"));
  writeFile(published_ / "escape.txt", "out");
  updater_testing::publishCatalog(published_.path(),
                                  updater_testing::catalogLine("../escape.txt", "out") +
                                      updater_testing::catalogLine("/tmp/abs.txt", "out") +
                                      updater_testing::catalogLine("ok.txt", "ok"));
  writeFile(published_ / "ok.txt", "ok");
  writeFile(client + "/mine.txt", "mine");
  writeFile(client + "/sub/mine.txt", "mine too");
  const ProcessResult result = testing_support::runProcess({TOLVEX_TEST_CLIENT, "update"},
                                                           {client, {{"HOME", home_.path()}}, ""});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kUpToDate);
  EXPECT_EQ(filesBelow(client_.path()),
            (std::vector<std::string>{"inner/.tolvex-lock", "inner/mine.txt", "inner/ok.txt",
                                      "inner/sub/mine.txt", "inner/updater-source.json",
                                      "updater-source.json"}));
  EXPECT_EQ(readFile(client + "/mine.txt"), "mine");
  EXPECT_EQ(readFile(client + "/sub/mine.txt"), "mine too");
  EXPECT_TRUE(server_.requestsFor("/escape.txt").empty());
}

TEST_F(UpdateProcess, KeyThatIsNotBuiltInIsRefusedAfterAPause) {
  crypto::Seed seed{};
  seed.fill(42);
  const crypto::SignerKeypair stranger = crypto::createKeypair(seed);
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}}, stranger);
  updater_testing::writeSourceDescriptor(client_.path(), server_.url("/"),
                                         common::base64Encode(stranger.publicKey));
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult result = update();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.out, "error: public key mismatch\n");
  EXPECT_EQ(result.err, "Checking updates...\n");
  EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
  EXPECT_FALSE(fileExists(client_ / "a.txt"));
}

TEST_F(UpdateProcess, TransientServerFailureIsRetriedOnce) {
  updater_testing::publishTree(published_.path(), {{"f.txt", "content"}});
  server_.failNext("/f.txt", 1, 503, "busy");
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "Checking updates...\n\nerror: " + server_.url("/f.txt") +
                            ": http code 503. retrying (1/10)\n\nAll files are up to date.\n");
  EXPECT_EQ(readFile(client_ / "f.txt"), "content");
  EXPECT_EQ(server_.requestsFor("/f.txt").size(), 2U);
}

TEST_F(UpdateProcess, UpdateKilledMidDownloadConvergesOnTheNextRun) {
  const std::string content = binaryContent(std::size_t{4} << 20, 3);
  const std::vector<PublishedFile> files = {{"first.txt", "first"}, {"big.bin", content}};
  updater_testing::publishTree(published_.path(), files);
  // About 1.3 s for the whole file; the client writes in blocks of up to 1 MiB.
  server_.setThrottle(65536, std::chrono::milliseconds(20));
  {
    testing_support::Process process({TOLVEX_TEST_CLIENT, "update"}, clientOptions());
    const std::string pending = client_ / "big.bin.tolvex-pending";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline &&
           (!fileExists(pending) || std::filesystem::file_size(pending) == 0)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    process.kill(SIGKILL);
    const ProcessResult killed = process.wait();
    EXPECT_EQ(killed.signal, SIGKILL) << killed.exitStatus << "\n" << killed.err;
    ASSERT_TRUE(fileExists(pending));
    EXPECT_LT(std::filesystem::file_size(pending), content.size());
    // Killed during staging: no target has been touched.
    EXPECT_FALSE(fileExists(client_ / "first.txt"));
  }
  server_.setThrottle(std::size_t{1} << 20, std::chrono::milliseconds(0));
  server_.clearRequests();
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kUpToDate);
  expectClientMatchesPublished(files);
  expectNoStagedFiles();
  const auto requests = server_.requestsFor("/big.bin");
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_TRUE(requests[0].header("Range").starts_with("bytes=")) << requests[0].header("Range");
  EXPECT_TRUE(server_.requestsFor("/first.txt").empty());
}

TEST_F(UpdateProcess, FileNamesWithUrlDelimitersArriveIntact) {
  const std::vector<PublishedFile> files = {
      {"a b.txt", "space"},    {"what?.txt", "question"},        {"tag#1.txt", "hash"},
      {"100%.txt", "percent"}, {"odd dir?#%/x y.txt", "nested"},
  };
  publishWithClient(files);
  const ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kUpToDate);
  expectClientMatchesPublished(files);
  EXPECT_EQ(server_.requestsFor("/odd dir?#%/x y.txt").size(), 1U);
}

TEST_F(UpdateProcess, ProgressLineIsDrawnOnATerminal) {
  updater_testing::publishTree(published_.path(),
                               {{"a.txt", "a"}, {"big.bin", binaryContent(300000, 4)}});
  writeFile(client_ / "a.txt", "a");
  const std::string output = updateOnTerminal(client_.path(), home_.path(), 60);
  // Numbered among all entries; padded to 59 columns and ended by a carriage return.
  const std::string last = "[2 of 2] big.bin 292.97 KB / 292.97 KB";
  EXPECT_NE(output.find(last + std::string(59 - last.size(), ' ') + "\r"), std::string::npos)
      << output;
  // The terminal turns each line feed into a carriage return and a line feed.
  EXPECT_TRUE(output.starts_with("Checking updates...\r\n[2 of 2] big.bin ")) << output;
  EXPECT_TRUE(output.ends_with("\r\r\nAll files are up to date.\r\n")) << output;
  EXPECT_EQ(readFile(client_ / "big.bin").size(), 300000U);
}

}  // namespace
