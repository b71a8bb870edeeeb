// One run per target: a second hollard-migrate into the same target is refused at once
// while the first holds the target's lock, and two runs started together migrate the
// archive once.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "main/target_lock.h"
#include "tests/cli/generated_archive_fixture.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

namespace hollard {
namespace {

namespace fs = std::filesystem;

// Starts hollard-migrate with its output in files; answers the process.
pid_t Start(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  return test::StartProgram(HOLLARD_MIGRATE_TOOL, args, out, err);
}

using test::WaitForExit;

class SingleRunTest : public test::GeneratedArchiveTest {
 protected:
  SingleRunTest() : GeneratedArchiveTest(300, 40, 4, 20000) {}
  std::map<std::string, std::string> TableFiles() {
    auto files = ovrin::test::FolderBytes(target);
    files.erase(TTargetLock::kFileName);
    return files;
  }
};

TEST(TargetLockTest, ASecondHolderIsRefusedAndNamedUntilTheFirstLetsGo) {
  ovrin::test::TempDir dir;
  const std::string folder = dir.Path() + "/";
  TTargetLock first, second;
  std::string detail;
  ASSERT_EQ(first.Acquire(folder, &detail), TTargetLock::TResult::Taken) << detail;
  EXPECT_EQ(second.Acquire(folder, &detail), TTargetLock::TResult::HeldByAnother);
  EXPECT_EQ(detail.rfind("process " + std::to_string(::getpid()) + " on ", 0), 0u) << detail;
  first.Release();
  EXPECT_EQ(second.Acquire(folder, &detail), TTargetLock::TResult::Taken) << detail;
  // What holds it, for messages: a run, a repair that names itself, or a holder that has
  // not written its name yet.
  EXPECT_EQ(TTargetLock::HolderKind(detail, "A"), "a migration into A");
  EXPECT_EQ(TTargetLock::HolderKind(detail + ", repairing users", "A"), "a repair in A");
  EXPECT_EQ(TTargetLock::HolderKind("another run", "A"), "a migration or repair in A");
  // A folder where no lock file can be made is a failure to lock, with its reason.
  TTargetLock third;
  EXPECT_EQ(third.Acquire(dir / "missing/", &detail), TTargetLock::TResult::Failed);
  EXPECT_NE(detail.find("cannot make the lock file"), std::string::npos) << detail;
}

TEST_F(SingleRunTest, ARunIntoATargetAnotherRunHoldsIsRefusedAtOnce) {
  TTargetLock held;
  std::string detail;
  ASSERT_EQ(held.Acquire(target + "/", &detail), TTargetLock::TResult::Taken);
  const auto before = TableFiles();
  const std::string out = dir / "out", err = dir / "err";
  int code = WaitForExit(Start({source, target}, out, err));
  EXPECT_EQ(code, 3);
  std::string message = ovrin::test::FileBytes(err);
  EXPECT_NE(message.find("another migration into " + target + " is running (process " + std::to_string(::getpid())),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("Nothing was written"), std::string::npos) << message;
  EXPECT_EQ(TableFiles(), before);
  // A repair holds it (it names what it does): the message says a repair runs.
  held.Release();
  ASSERT_EQ(held.Acquire(target + "/", &detail, "repairing users"), TTargetLock::TResult::Taken);
  EXPECT_EQ(WaitForExit(Start({source, target}, out, err)), 3);
  message = ovrin::test::FileBytes(err);
  EXPECT_NE(message.find("a repair in " + target + " is running (process " + std::to_string(::getpid()) + " on "),
            std::string::npos)
      << message;
  EXPECT_NE(message.find(", repairing users)."), std::string::npos) << message;
  EXPECT_EQ(TableFiles(), before);
  held.Release();
  EXPECT_EQ(WaitForExit(Start({source, target}, out, err)), 0) << ovrin::test::FileBytes(err);
}

TEST_F(SingleRunTest, TwoRunsStartedTogetherMigrateTheArchiveOnce) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fs::remove_all(target);
    fs::create_directories(target);
    CreateNewLayoutArchive(target);
    pid_t a = Start({source, target}, dir / "outa", dir / "erra");
    pid_t b = Start({source, target}, dir / "outb", dir / "errb");
    int ca = WaitForExit(a), cb = WaitForExit(b);
    // One migrates; the other is refused, by the lock while the first runs or by the
    // guard against a second migration once it has ended.
    EXPECT_EQ(std::min(ca, cb), 0) << ovrin::test::FileBytes(dir / "erra") << ovrin::test::FileBytes(dir / "errb");
    EXPECT_EQ(std::max(ca, cb), 3) << ovrin::test::FileBytes(dir / "erra") << ovrin::test::FileBytes(dir / "errb");
  }
}

}  // namespace
}  // namespace hollard
