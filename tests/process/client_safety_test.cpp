// The client in a directory that others can write to or fill: a second run, links
// and pipes at staged paths, colliding names, a full disk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

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

class ClientSafety : public process_testing::ClientProcessFixture {};

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

}  // namespace
