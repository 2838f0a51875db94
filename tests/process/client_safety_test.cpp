// The client in a directory that others can write to or fill: a second run, links
// and pipes at staged paths, colliding names, a full disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client_process_fixture.hpp"
#include "published_tree.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace {

using process_testing::kUpToDate;
using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;
using updater_testing::binaryContent;

const std::string kWaitLine = "Waiting for another update of this directory to finish...\n";

class ClientSafety : public process_testing::ClientProcessFixture {
 protected:
  testing_support::ProcessResult updateAsNobody() const {
    return testing_support::runProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups", TOLVEX_TEST_CLIENT, "update"},
                                       clientOptions());
  }
};

TEST_F(ClientSafety, ASecondRunWaitsForTheFirstThenFindsEverythingUpToDate) {
  const std::string content = binaryContent(300000, 3);
  updater_testing::publishTree(published_.path(), {{"big.bin", content}});
  server_.holdRequests("/big.bin");
  testing_support::Process first({TOLVEX_TEST_CLIENT, "update"}, clientOptions());
  // Once the first run asks for the file, it holds the directory.
  ASSERT_TRUE(eventually([&] { return !server_.requestsFor("/big.bin").empty(); }));
  testing_support::Process second({TOLVEX_TEST_CLIENT, "update"}, clientOptions());
  ASSERT_TRUE(eventually([&] { return second.errSoFar() == kWaitLine; })) << second.errSoFar();
  server_.releaseHeldRequests();
  EXPECT_EQ(first.wait().exitStatus, 0);
  const testing_support::ProcessResult result = second.wait();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kWaitLine + kUpToDate);
  EXPECT_EQ(readFile(clientFile("big.bin")), content);
  EXPECT_EQ(server_.requestsFor("/big.bin").size(), 1U);
}

TEST_F(ClientSafety, OnlyThoseWhoMayWriteTheDirectoryCanHoldItsUpdate) {
  const char* const setpriv = "/usr/bin/setpriv";
  if (::geteuid() != 0 || ::access(setpriv, X_OK) != 0) {
    GTEST_SKIP() << "needs root and setpriv to act as another user";
  }
  updater_testing::publishTree(published_.path(), {{"a.txt", "new a"}});
  ASSERT_EQ(::chmod(client_.path().c_str(), 0755), 0);
  ASSERT_EQ(update().exitStatus, 0);
  struct stat lock {};
  ASSERT_EQ(::lstat(clientFile(".tolvex-lock").c_str(), &lock), 0);
  EXPECT_EQ(lock.st_mode, S_IFREG | 0600U);

  // Another user takes every lock it can: the lock file's, and the directory's.
  const std::string takeLocks =
      "flock -n .tolvex-lock true 2>/dev/null && echo took the lock file >&2; "
      "exec 9<. && flock -n 9 && echo held >&2 && exec sleep 600";
  testing_support::Process holder(
      {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", takeLocks},
      clientOptions());
  ASSERT_TRUE(eventually([&] { return holder.errSoFar().ends_with("held\n"); }));
  EXPECT_EQ(holder.errSoFar(), "held\n");

  updater_testing::publishTree(published_.path(), {{"a.txt", "newer a"}});
  testing_support::Process run({TOLVEX_TEST_CLIENT, "update"}, clientOptions());
  ASSERT_TRUE(eventually([&] {
    const std::string err = run.errSoFar();
    return err.find(kWaitLine) != std::string::npos || err.ends_with("up to date.\n");
  }));
  holder.kill(SIGKILL);
  EXPECT_EQ(run.wait().err, kUpToDate);
  EXPECT_EQ(readFile(clientFile("a.txt")), "newer a");

  // Nothing but a regular file is taken for the lock file.
  const testing_support::TempDir outside;
  std::filesystem::remove(clientFile(".tolvex-lock"));
  std::filesystem::create_symlink(outside / "lock", clientFile(".tolvex-lock"));
  const testing_support::ProcessResult linked = update();
  EXPECT_EQ(linked.exitStatus, 1);
  EXPECT_EQ(linked.err,
            "Error: unhandled exception: lock file is a symbolic link, not followed: "
            ".tolvex-lock [IOError]\n");
  EXPECT_FALSE(fileExists(outside / "lock"));
}

TEST_F(ClientSafety, StagedFilesArePrivateUntilTheyAreMovedIntoPlace) {
  // A umask that lets the group write what the update creates.
  struct RestoreUmask {
    mode_t before = ::umask(002);
    ~RestoreUmask() { ::umask(before); }
  } const umask;
  const std::string resumed = binaryContent(100000, 2);
  updater_testing::publishTree(published_.path(), {{"held/new.bin", binaryContent(100000, 1)},
                                                   {"held/resumed.bin", resumed},
                                                   {"theirs.txt", "theirs"}});
  // Left by an earlier version: a partial file that the group may write; and
  // (with root to give it away) a complete one that another user owns.
  writeFile(clientFile("held/resumed.bin.tolvex-pending"), resumed.substr(0, 1000));
  ASSERT_EQ(::chmod(clientFile("held/resumed.bin.tolvex-pending").c_str(), 0664), 0);
  writeFile(clientFile("theirs.txt.tolvex-pending"), "theirs");
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(clientFile("theirs.txt.tolvex-pending").c_str(), 65534, 65534), 0);
  }

  server_.holdRequests("/held/");
  testing_support::Process run({TOLVEX_TEST_CLIENT, "update"}, clientOptions());
  ASSERT_TRUE(eventually([&] {
    return !server_.requestsFor("/held/new.bin").empty() &&
           !server_.requestsFor("/held/resumed.bin").empty();
  }));
  for (const char* staged : {"held/new.bin.tolvex-pending", "held/resumed.bin.tolvex-pending"}) {
    struct stat status {};
    ASSERT_EQ(::stat(clientFile(staged).c_str(), &status), 0) << staged;
    EXPECT_EQ(status.st_mode & 07777, 0600U) << staged;
  }
  server_.releaseHeldRequests();
  EXPECT_EQ(run.wait().exitStatus, 0);
  EXPECT_EQ(server_.requestsFor("/held/resumed.bin").front().header("Range"), "bytes=1000-");
  EXPECT_EQ(server_.requestsFor("/theirs.txt").size(), root ? 1U : 0U);
  struct stat status {};
  ASSERT_EQ(::stat(clientFile("theirs.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, ::geteuid());
  // A new file gets the mode that the umask gives.
  ASSERT_EQ(::stat(clientFile("held/new.bin").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0664U);
}

TEST_F(ClientSafety, OnlyLinksOfThisUserOrRootAreFollowedToATarget) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a link to another user";
  }
  const testing_support::TempDir outside;
  writeFile(outside / "lib/tool.sh", "theirs");
  writeFile(outside / "share/data", "old data");
  updater_testing::publishTree(published_.path(),
                               {{"lib/tool.sh", "new tool"}, {"share/data", "new data"}});
  std::filesystem::create_symlink(outside / "lib", clientFile("lib"));
  ASSERT_EQ(::lchown(clientFile("lib").c_str(), 65534, 65534), 0);
  std::filesystem::create_symlink(outside / "share", clientFile("share"));
  const testing_support::ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.err,
            "Checking updates...\n\nerror: not updating lib/tool.sh: lib is a link owned by "
            "another user (uid 65534)\n\nEvery other file is up to date.\n");
  EXPECT_EQ(readFile(outside / "lib/tool.sh"), "theirs");
  EXPECT_TRUE(server_.requestsFor("/lib/tool.sh").empty());
  EXPECT_EQ(readFile(outside / "share/data"), "new data");
}

TEST_F(ClientSafety, ADirectorySwappedForALinkAfterTheCheckIsNotWrittenThrough) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a link to another user";
  }
  const testing_support::TempDir victim;
  updater_testing::publishTree(published_.path(), {{"shared/inner/x.bin", "new x"}});
  std::filesystem::create_directories(clientFile("shared/inner"));
  // The first attempt is held, then fails: its retry comes after the swap.
  server_.holdRequests("/shared/inner/x.bin");
  server_.failNext("/shared/inner/x.bin", 1, 503);
  testing_support::Process run({TOLVEX_TEST_CLIENT, "update"}, clientOptions());
  ASSERT_TRUE(eventually([&] { return !server_.requestsFor("/shared/inner/x.bin").empty(); }));
  std::filesystem::rename(clientFile("shared/inner"), clientFile("shared/old"));
  std::filesystem::create_symlink(victim.path(), clientFile("shared/inner"));
  ASSERT_EQ(::lchown(clientFile("shared/inner").c_str(), 65534, 65534), 0);
  server_.releaseHeldRequests();
  const testing_support::ProcessResult result = run.wait();
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_NE(result.err.find("\nerror: not updating shared/inner/x.bin: shared/inner is a link "
                            "owned by another user (uid 65534)\n"),
            std::string::npos)
      << result.err;
  EXPECT_TRUE(std::filesystem::is_empty(victim.path()));
}

TEST_F(ClientSafety, WhatLiesAtAStagedPathIsNeverFollowedNorWaitedFor) {
  updater_testing::publishTree(published_.path(), {{"a.txt", "new a"}, {"b.txt", "new b"}});
  // A link to a file outside the directory, and a pipe that nobody reads.
  const testing_support::TempDir outside;
  writeFile(outside / "precious", "precious");
  ASSERT_EQ(::symlink((outside / "precious").c_str(), clientFile("a.txt.tolvex-pending").c_str()),
            0);
  ASSERT_EQ(::mkfifo(clientFile("b.txt.tolvex-pending").c_str(), 0600), 0);
  const testing_support::ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kUpToDate);
  EXPECT_EQ(readFile(outside / "precious"), "precious");
  EXPECT_FALSE(std::filesystem::is_symlink(clientFile("a.txt")));
  EXPECT_EQ(readFile(clientFile("a.txt")), "new a");
  EXPECT_EQ(readFile(clientFile("b.txt")), "new b");

  // A directory there fails that entry and is left as it is.
  updater_testing::publishTree(published_.path(), {{"c.txt", "new c"}});
  writeFile(clientFile("c.txt.tolvex-pending/inside"), "mine");
  const testing_support::ProcessResult blocked = update();
  EXPECT_EQ(blocked.exitStatus, 1);
  EXPECT_EQ(blocked.err,
            "Checking updates...\nError: unhandled exception: staged path is a "
            "directory: c.txt.tolvex-pending [IOError]\n");
  EXPECT_EQ(readFile(clientFile("c.txt.tolvex-pending/inside")), "mine");
  EXPECT_FALSE(fileExists(clientFile("c.txt")));
}

TEST_F(ClientSafety, NamesThatWouldHitAnotherEntryOrBeCutAreSkipped) {
  writeFile(published_ / "f", "genuine f");
  writeFile(published_ / "f.tolvex-pending", "other content");
  writeFile(clientFile("keep.db"), "mine");
  std::string catalog = updater_testing::catalogLine("f", "genuine f") +
                        updater_testing::catalogLine("f.tolvex-pending", "other content");
  catalog += updater_testing::catalogLine(std::string("keep.db\0x", 9), "replacement");
  updater_testing::publishCatalog(published_.path(), catalog);
  const testing_support::ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kUpToDate);
  EXPECT_EQ(readFile(clientFile("f")), "genuine f");
  EXPECT_FALSE(fileExists(clientFile("f.tolvex-pending")));
  EXPECT_EQ(readFile(clientFile("keep.db")), "mine");
  EXPECT_TRUE(server_.requestsFor("/f.tolvex-pending").empty());
}

TEST_F(ClientSafety, AFullDiskFailsTheRunAndLeavesNoStagedFile) {
  // A file system of 256 KiB below the client directory.
  const std::string small = clientFile("small");
  std::filesystem::create_directory(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here (needs root): " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } const unmount{small};
  updater_testing::publishTree(published_.path(),
                               {{"a.txt", "new a"}, {"small/big.bin", binaryContent(1 << 20, 5)}});
  writeFile(clientFile("a.txt"), "old a");
  const testing_support::ProcessResult result = update();
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err,
            "Checking updates...\nError: unhandled exception: disk full: cannot write "
            "small/big.bin.tolvex-pending (deleted) [IOError]\n");
  EXPECT_FALSE(fileExists(clientFile("small/big.bin.tolvex-pending")));
  EXPECT_EQ(readFile(clientFile("a.txt")), "old a");
}

TEST_F(ClientSafety, AFileSizeLimitFailsTheRunAndLeavesNoStagedFile) {
  updater_testing::publishTree(published_.path(), {{"big.bin", binaryContent(1 << 20, 6)}});
  // 256 KiB in the shell's blocks of 512 bytes.
  const testing_support::ProcessResult result = testing_support::runProcess(
      {"/bin/sh", "-c", "ulimit -f 512 && exec \"$0\" update", TOLVEX_TEST_CLIENT},
      clientOptions());
  EXPECT_EQ(result.exitStatus, 1) << "signal " << result.signal;
  EXPECT_EQ(result.err,
            "Checking updates...\nError: unhandled exception: file size limit reached: cannot "
            "write big.bin.tolvex-pending (deleted) [IOError]\n");
  EXPECT_FALSE(fileExists(clientFile("big.bin.tolvex-pending")));
}

TEST_F(ClientSafety, ADirectoryThatMayNotBeWrittenIsCheckedAndLeftAsItIs) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  updater_testing::publishTree(published_.path(), {{"a.txt", "a"}});
  writeFile(clientFile("a.txt"), "a");
  ASSERT_EQ(::chmod(client_.path().c_str(), 0755), 0);
  const testing_support::ProcessResult upToDate = updateAsNobody();
  EXPECT_EQ(upToDate.exitStatus, 0);
  EXPECT_EQ(upToDate.err, kUpToDate);
  updater_testing::publishTree(published_.path(), {{"a.txt", "new a"}});
  const testing_support::ProcessResult due = updateAsNobody();
  EXPECT_EQ(due.exitStatus, 1);
  EXPECT_EQ(due.err, "Checking updates...\n\nerror: an update is due, but " +
                         std::filesystem::canonical(client_.path()).string() +
                         " cannot be written: Permission denied\n");
  // Nothing was written: the descriptor and a.txt are all there is.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(client_.path()), {}), 2);
}

TEST_F(ClientSafety, ADirectoryThatMayBeWrittenButNotListedIsUpdated) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  ASSERT_EQ(::chown(client_.path().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(client_.path().c_str(), 0300), 0);
  // Enough files for the moves to be synced a file system at a time.
  std::string catalog = "; tolvex-release 7\n";
  for (int i = 0; i < 16; ++i) {
    const std::string name = std::string("f").append(std::to_string(i));
    writeFile(published_ / name, "new");
    catalog += updater_testing::catalogLine(name, "new");
  }
  updater_testing::publishCatalog(published_.path(), catalog);
  const testing_support::ProcessResult result = updateAsNobody();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(readFile(clientFile("f15")), "new");
  EXPECT_EQ(readFile(clientFile(".tolvex-release")), "7\n");
}

}  // namespace
