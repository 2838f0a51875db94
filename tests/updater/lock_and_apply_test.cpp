#include "updater/lock_and_apply.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "captured_output.hpp"
#include "common/errors.hpp"
#include "common/system.hpp"
#include "formats/tool_files.hpp"
#include "support/temp_dir.hpp"

namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::ScopedWorkingDirectory;
using testing_support::TempDir;
using testing_support::writeFile;
using updater_testing::CapturedOutput;

mode_t modeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode;
}

TEST(LockAndApply, ListNotationEscapesLikeCStrings) {
  struct Case {
    std::vector<std::string> paths;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, "@[]"},
      {{"bin/tool", "data/a b.txt"}, R"(@["bin/tool", "data/a b.txt"])"},
      {{"say \"hi\"", "it's", "a\\b"}, R"(@["say \"hi\"", "it\'s", "a\\b"])"},
      {{"\a\b\t\n\v\f\r\x1b"}, R"(@["\a\b\t\n\v\f\r\e"])"},
      {{std::string("\x01\x1f\x7f", 3), std::string(1, '\0')}, R"(@["\x01\x1F\x7F", "\x00"])"},
      {{"caf\xc3\xa9"}, "@[\"caf\xc3\xa9\"]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(updater::formatPathList(c.paths), c.expected);
  }
}

TEST(LockAndApply, ProbeTellsReplaceableTargetsFromLockedOnes) {
  struct Case {
    const char* name;
    const char* target;
    std::function<void()> setUp;
    bool locked;
  };
  const std::vector<Case> cases = {
      {"existing writable file", "t", [] { writeFile("t", "old"); }, false},
      {"missing file in a directory", "d/t", [] { std::filesystem::create_directory("d"); }, false},
      {"missing file in the working directory", "t", [] {}, false},
      {"directory", "t", [] { std::filesystem::create_directories("t"); }, true},
      {"file below a missing directory", "missing/t", [] {}, true},
      {"named pipe without a reader", "t", [] { ASSERT_EQ(::mkfifo("t", 0666), 0); }, true},
      {"dangling symbolic link", "t", [] { std::filesystem::create_symlink("nowhere/x", "t"); },
       false},
      {"link to a writable file", "t",
       [] {
         writeFile("real", "x");
         std::filesystem::create_symlink("real", "t");
       },
       false},
      {"symbolic link loop", "t", [] { std::filesystem::create_symlink("t", "t"); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir dir;
    const ScopedWorkingDirectory cwd(dir.path());
    c.setUp();
    const bool existedBefore = fileExists(c.target);
    EXPECT_EQ(!updater::findLockedFiles({c.target}).empty(), c.locked);
    // The probe never creates anything.
    EXPECT_EQ(fileExists(c.target), existedBefore);
  }
}

TEST(LockAndApply, ProbeDoesNotWriteThroughADanglingLink) {
  const TempDir client;
  const TempDir outside;
  const ScopedWorkingDirectory cwd(client.path());
  const std::string victim = outside / "created-by-probe";
  std::filesystem::create_symlink(victim, "tool");
  writeFile("tool.tolvex-pending", "new");
  EXPECT_TRUE(updater::findLockedFiles({"tool"}).empty());
  EXPECT_FALSE(fileExists(victim));
  updater::applyStagedFiles({"tool"});
  EXPECT_TRUE(S_ISREG(modeOf("tool")));
  EXPECT_EQ(readFile("tool"), "new");
  EXPECT_FALSE(fileExists(victim));
}

TEST(LockAndApply, ProbeListsLockedTargetsInListOrder) {
  const TempDir dir;
  const ScopedWorkingDirectory cwd(dir.path());
  std::filesystem::create_directories("b");
  std::filesystem::create_directories("d");
  writeFile("a", "");
  EXPECT_EQ(updater::findLockedFiles({"d", "a", "b", "c"}), (std::vector<std::string>{"d", "b"}));
}

TEST(LockAndApply, WaitingReportsEveryLockedPassAndPauses) {
  struct Case {
    const char* name;
    int passesLocked;  // the directory in the way is removed after this many pauses
    bool expected;
    int expectedPauses;
  };
  const std::vector<Case> cases = {
      {"free at once", 0, true, 0},
      {"locked once", 1, true, 1},
      {"free at the twelfth pass", 11, true, 11},
      {"locked for good", 1000, false, 12},
  };
  const std::string report = "\nlocked files: @[\"x\"]\n   retring in 5 seconds\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir dir;
    const ScopedWorkingDirectory cwd(dir.path());
    if (c.passesLocked > 0) {
      std::filesystem::create_directory("x");
    }
    std::vector<std::int64_t> pauses;
    const common::ScopedSleepOverride noWait([&](std::int64_t ms) {
      pauses.push_back(ms);
      if (static_cast<int>(pauses.size()) == c.passesLocked) {
        std::filesystem::remove("x");
      }
    });
    CapturedOutput capture;
    const bool free = updater::waitForUnlockedFiles({"x"});
    const auto output = capture.finish();
    EXPECT_EQ(free, c.expected);
    EXPECT_EQ(pauses, std::vector<std::int64_t>(static_cast<std::size_t>(c.expectedPauses), 5000));
    std::string expectedErr;
    for (int i = 0; i < c.expectedPauses; ++i) {
      expectedErr += report;
    }
    EXPECT_EQ(output.err, expectedErr);
    EXPECT_FALSE(fileExists("x") && c.expected);
  }
}

TEST(LockAndApply, ApplyMovesEveryStagedFileInPlace) {
  // Below and above the count from which the whole file system is synced at once.
  for (const std::size_t count : {std::size_t{3}, updater::kWholeFileSystemSyncThreshold + 4}) {
    SCOPED_TRACE(count);
    const TempDir dir;
    const ScopedWorkingDirectory cwd(dir.path());
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string path = std::string("d") + std::to_string(i % 3) + "/f" + std::to_string(i);
      if (i % 2 == 0) {
        writeFile(path, "old");
      }
      writeFile(formats::pendingPathOf(path), "new " + path);
      paths.push_back(path);
    }
    updater::applyStagedFiles(paths);
    for (const auto& path : paths) {
      EXPECT_EQ(readFile(path), "new " + path);
      EXPECT_FALSE(fileExists(formats::pendingPathOf(path)));
    }
  }
}

TEST(LockAndApply, ReplacedFileKeepsItsPermissionBits) {
  const TempDir dir;
  const ScopedWorkingDirectory cwd(dir.path());
  struct Case {
    const char* path;
    mode_t targetMode;  // 0: no target yet
    mode_t expected;
  };
  const mode_t umaskNow = ::umask(022);
  ::umask(umaskNow);
  const std::vector<Case> cases = {
      {"tool", 0755, 0755},
      {"secret", 0600, 0600},
      {"fresh", 0, 0666 & ~umaskNow},
  };
  std::vector<std::string> paths;
  for (const auto& c : cases) {
    writeFile(formats::pendingPathOf(c.path), "new");
    ASSERT_EQ(::chmod(formats::pendingPathOf(c.path).c_str(), 0666 & ~umaskNow), 0);
    if (c.targetMode != 0) {
      writeFile(c.path, "old");
      ASSERT_EQ(::chmod(c.path, c.targetMode), 0);
    }
    paths.emplace_back(c.path);
  }
  updater::applyStagedFiles(paths);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(modeOf(c.path) & 07777, c.expected);
    EXPECT_EQ(readFile(c.path), "new");
  }
}

TEST(LockAndApply, ApplyReplacesALinkAndLeavesItsTargetAlone) {
  const TempDir dir;
  const ScopedWorkingDirectory cwd(dir.path());
  writeFile("real", "linked content");
  std::filesystem::create_symlink("real", "t");
  writeFile("t.tolvex-pending", "new");
  updater::applyStagedFiles({"t"});
  EXPECT_TRUE(S_ISREG(modeOf("t")));
  EXPECT_EQ(readFile("t"), "new");
  EXPECT_EQ(readFile("real"), "linked content");
}

TEST(LockAndApply, FailedMoveStopsWithTheSystemErrorAndKeepsEarlierMoves) {
  const TempDir dir;
  const ScopedWorkingDirectory cwd(dir.path());
  writeFile("a.tolvex-pending", "new a");
  writeFile("b", "old b");
  writeFile("b.tolvex-pending", "new b");
  std::filesystem::create_directories("c/inside");  // a non-empty directory cannot be replaced
  writeFile("c.tolvex-pending", "new c");
  try {
    updater::applyStagedFiles({"a", "c", "b"});
    ADD_FAILURE() << "no error";
  } catch (const common::OSError& error) {
    EXPECT_EQ(error.message(), "Is a directory\nAdditional info: c.tolvex-pending -> c");
  }
  EXPECT_EQ(readFile("a"), "new a");
  EXPECT_EQ(readFile("b"), "old b");
  EXPECT_EQ(readFile("b.tolvex-pending"), "new b");
}

TEST(LockAndApply, CrossDeviceCopyReplacesTheTargetInBlocks) {
  const TempDir dir;
  const ScopedWorkingDirectory cwd(dir.path());
  std::string content;
  for (int i = 0; i < 20000; ++i) {
    content += static_cast<char>(i * 7);
  }
  struct Case {
    const char* name;
    std::string target;  // "": none
    std::size_t size;
  };
  for (const auto& c :
       std::vector<Case>{{"new target", "", 20000},
                         {"longer old target is truncated", std::string(30000, 'o'), 20000},
                         {"exactly one block", "old", 8000},
                         {"empty", "old", 0}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("to");
    if (!c.target.empty()) {
      writeFile("to", c.target);
    }
    writeFile("from", content.substr(0, c.size));
    updater::copyAcrossDevices("from", "to");
    EXPECT_EQ(readFile("to"), content.substr(0, c.size));
    EXPECT_FALSE(fileExists("from"));
  }
}

TEST(LockAndApply, CrossDeviceCopyOfAMissingFileFailsWithoutTouchingTheTarget) {
  const TempDir dir;
  const ScopedWorkingDirectory cwd(dir.path());
  writeFile("to", "old");
  EXPECT_THROW(updater::copyAcrossDevices("from", "to"), common::IOError);
  EXPECT_EQ(readFile("to"), "old");
}

}  // namespace
