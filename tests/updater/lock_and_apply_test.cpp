#include "updater/apply/lock_and_apply.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "captured_output.hpp"
#include "common/errors.hpp"
#include "common/file.hpp"
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

// `path` with its staged file verified as it is now.
updater::StagedFile verifiedNow(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(formats::pendingPathOf(path).c_str(), &status), 0) << path;
  return {path, {status.st_dev, status.st_ino}};
}

// applyStagedFiles on `paths` whose staged files were verified as they are now.
bool applyVerified(const std::vector<std::string>& paths, mode_t newFileMode = 0644) {
  std::vector<updater::StagedFile> files;
  files.reserve(paths.size());
  for (const auto& path : paths) {
    files.push_back(verifiedNow(path));
  }
  return updater::applyStagedFiles(files, newFileMode);
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
  applyVerified({"tool"});
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
    applyVerified(paths);
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
  const std::vector<Case> cases = {
      {"tool", 0755, 0755},
      {"secret", 0600, 0600},
      {"fresh", 0, 0664},
  };
  std::vector<std::string> paths;
  for (const auto& c : cases) {
    writeFile(formats::pendingPathOf(c.path), "new");
    ASSERT_EQ(::chmod(formats::pendingPathOf(c.path).c_str(), 0600), 0);
    if (c.targetMode != 0) {
      writeFile(c.path, "old");
      ASSERT_EQ(::chmod(c.path, c.targetMode), 0);
    }
    paths.emplace_back(c.path);
  }
  EXPECT_TRUE(applyVerified(paths, 0664));
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
  applyVerified({"t"});
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
    applyVerified({"a", "c", "b"});
    ADD_FAILURE() << "no error";
  } catch (const common::OSError& error) {
    EXPECT_EQ(error.message(), "Is a directory\nAdditional info: c.tolvex-pending -> c");
  }
  EXPECT_EQ(readFile("a"), "new a");
  EXPECT_EQ(readFile("b"), "old b");
  EXPECT_EQ(readFile("b.tolvex-pending"), "new b");
}

TEST(LockAndApply, RefusesWhatIsNotTheVerifiedFileAndMovesTheOthers) {
  struct Case {
    const char* name;
    std::string path;
    std::function<void(const std::string& outside)> change;  // after verification
    std::string expectedErr;
    bool stagedKept;
  };
  const std::vector<Case> cases = {
      {"staged file replaced", "a",
       [](const std::string&) {
         writeFile("other", "changed");
         std::filesystem::rename("other", "a.tolvex-pending");
       },
       "\nerror: not updating a: a.tolvex-pending changed after it was verified (deleted)\n",
       false},
      {"directory now another user's link", "lib/a",
       [](const std::string& outside) {
         std::filesystem::rename("lib/a.tolvex-pending", outside + "/a.tolvex-pending");
         std::filesystem::remove_all("lib");
         std::filesystem::create_symlink(outside, "lib");
         ASSERT_EQ(::lchown("lib", 65534, 65534), 0);
       },
       "\nerror: not updating lib/a: lib is a link owned by another user (uid 65534)\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir dir;
    const TempDir outside;
    const ScopedWorkingDirectory cwd(dir.path());
    writeFile(c.path, "old");
    writeFile(outside / "a", "old");
    writeFile(formats::pendingPathOf(c.path), "new");
    writeFile("b.tolvex-pending", "new b");
    const std::vector<updater::StagedFile> files = {verifiedNow(c.path), verifiedNow("b")};
    c.change(outside.path());
    CapturedOutput capture;
    EXPECT_FALSE(updater::applyStagedFiles(files, 0644));
    EXPECT_EQ(capture.finish().err, c.expectedErr);
    EXPECT_EQ(readFile("b"), "new b");
    EXPECT_EQ(readFile(c.path), "old");
    EXPECT_EQ(fileExists(formats::pendingPathOf(c.path)), c.stagedKept);
  }
}

TEST(LockAndApply, CrossDeviceCopyReplacesTheTargetWithANewFile) {
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
                         {"longer old target is replaced", std::string(30000, 'o'), 20000},
                         {"exactly one block", "old", 8000},
                         {"empty", "old", 0}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("to");
    std::filesystem::remove("old");
    if (!c.target.empty()) {
      writeFile("to", c.target);
      // Whoever holds the old file keeps it whole: it is replaced, not rewritten.
      std::filesystem::create_hard_link("to", "old");
    }
    writeFile("from", content.substr(0, c.size));
    ASSERT_EQ(::chmod("from", 0750), 0);
    const common::FileDescriptor staged(::open("from", O_RDONLY));
    updater::copyAcrossDevices(AT_FDCWD, staged.get(), "from", "to");
    EXPECT_EQ(readFile("to"), content.substr(0, c.size));
    EXPECT_EQ(modeOf("to") & 07777, 0750U);
    EXPECT_FALSE(fileExists("from"));
    EXPECT_FALSE(fileExists(formats::copyPathOf("to")));
    if (!c.target.empty()) {
      EXPECT_EQ(readFile("old"), c.target);
    }
  }
}

TEST(LockAndApply, CrossDeviceCopyThatCannotReadLeavesTheTargetAndNoCopy) {
  const TempDir dir;
  const ScopedWorkingDirectory cwd(dir.path());
  writeFile("to", "old");
  writeFile("from", "new");
  const common::FileDescriptor unreadable(::open("from", O_WRONLY));
  EXPECT_THROW(updater::copyAcrossDevices(AT_FDCWD, unreadable.get(), "from", "to"),
               common::IOError);
  EXPECT_EQ(readFile("to"), "old");
  EXPECT_EQ(readFile("from"), "new");
  EXPECT_FALSE(fileExists(formats::copyPathOf("to")));
}

}  // namespace
