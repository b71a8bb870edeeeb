// The guards the window's user may run past, in the core's preflight: the target holds
// this archive's projects, an earlier run did not finish, the stored files will not fit.
// Each asks "Run anyway?"; No writes nothing, Yes runs.
#include <filesystem>

#include "engine/base/platform.h"
#include "main/migration_guards.h"
#include "main/target_lock.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/small_disk.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;

class RunGuardsTest : public MigrationFixture {
 protected:
  void SetUp() override {
    MigrationFixture::SetUp();
    WriteGeneratedArchive(source, 10, 3, 1, 5000);
  }
  // Runs with a user who answers "Run anyway?" with `yes`; the texts asked.
  std::vector<std::string> RunAnswering(bool yes) {
    user = TScriptedUser();
    user.runAnyway = yes;
    Run();
    return user.runAnywayAsked;
  }
};

TEST_F(RunGuardsTest, AnArchiveMigratedBeforeAsksAndNoWritesNothing) {
  ASSERT_TRUE(RunAnswering(false).empty());
  ASSERT_FALSE(report.Failed());
  const auto before = FolderBytes(target);
  std::vector<std::string> asked = RunAnswering(false);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].rfind("The target already holds projects of this archive: ", 0), 0u) << asked[0];
  EXPECT_TRUE(report.preflightFailed);
  EXPECT_NE(report.preflightMessage.find("Nothing was written."), std::string::npos);
  // The question showed the cause: No brings no second box with the same text.
  EXPECT_TRUE(user.errors.empty()) << user.errors.front();
  EXPECT_EQ(FolderBytes(target), before);
  // Yes: the archive goes in a second time, as the user chose.
  EXPECT_EQ(RunAnswering(true).size(), 1u);
  EXPECT_FALSE(report.preflightFailed);
  EXPECT_FALSE(report.Failed());
}

TEST_F(RunGuardsTest, AnUnfinishedRunAndStoredFilesThatWillNotFitAskToo) {
  ASSERT_TRUE(TUnfinishedRun::Write(target + "/", "a run from x stopped at step 10"));
  std::string blb = ovrin::Platform().ResolveExisting(target + "/blobs.BLB");
  ASSERT_FALSE(blb.empty());
  fs::resize_file(blb, 2000000000 - 4096);  // sparse: about 4 KB of room left
  // The blob file is sparse and 2 GB long: the snapshot skips its hole.
  const auto before = FolderDigest(target);
  std::vector<std::string> asked = RunAnswering(false);
  ASSERT_EQ(asked.size(), 1u);  // No to the first stops the preflight
  EXPECT_EQ(asked[0].rfind("An earlier run into " + target + " did not finish (a run from x stopped at step 10)", 0), 0u)
      << asked[0];
  EXPECT_EQ(FolderDigest(target), before);
  // Past the first, the room for the stored files asks.
  user = TScriptedUser();
  user.runAnyway = false;
  TMigration m(user, "windows-1252");
  m.SetSourceDir(source);
  m.SetTargetDir(target);
  m.SetFormatSettings(settings);
  m.SetAllowDuplicates(true);
  m.Import();
  ASSERT_EQ(user.runAnywayAsked.size(), 1u);
  EXPECT_NE(user.runAnywayAsked[0].find("would not fit, and the revisions step would fail part way."), std::string::npos)
      << user.runAnywayAsked[0];
  EXPECT_TRUE(m.Report().preflightFailed);
  EXPECT_EQ(FolderDigest(target), before);
}

// The window's run leaves the mark of a run that has not finished as the terminal run
// does: a window run that failed, stopped or was killed left nothing, and the next run
// was warned only when the projects it had written were found again.
TEST_F(RunGuardsTest, TheWindowsRunLeavesItsMarkUntilItSucceeds) {
  markUnfinished = true;
  EXPECT_TRUE(RunAnswering(false).empty());
  EXPECT_FALSE(report.Failed());
  EXPECT_EQ(TUnfinishedRun::Read(target + "/"), "");
  // Forced past a missing project table: step 3 fails, and the mark says so.
  fs::remove(source + "/hollardp.db");
  force = true;
  RunAnswering(true);
  EXPECT_TRUE(report.Failed());
  EXPECT_EQ(TUnfinishedRun::Read(target + "/"),
            "a run from " + fs::absolute(source).lexically_normal().string() + "/ failed in step 3 (ConvertProjects)");
  // The next run asks about it first.
  const std::vector<std::string> asked = RunAnswering(false);
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked[0].rfind("An earlier run into " + target + " did not finish (a run from ", 0), 0u) << asked[0];

  // A disk too full for the mark: the run does not start.
  const std::string copy = target;
  const std::string result = ovrin::test::OnSmallDisk(dir / "disk", 1 << 20, [&](const std::string& disk) {
    target = disk + "/new";
    fs::create_directories(target);
    CreateNewLayoutArchive(target);
    {
      std::ofstream filler(disk + "/filler", std::ios::binary);
      const std::string block(4096, 'x');
      while (filler.write(block.data(), block.size())) {
      }
    }
    const auto before = FolderBytes(target);
    RunAnswering(true);
    std::string wrong;
    if (!report.preflightFailed ||
        report.preflightMessage.find("(the mark of a run that has not finished): No space left on device. The disk "
                                     "that holds " + target + " is full.") == std::string::npos)
      wrong += "said: " + report.preflightMessage + "\n";
    if (FolderBytes(target) != before) wrong += "the target changed\n";
    return wrong;
  });
  target = copy;
  if (result != ovrin::test::kNoSmallDisk) {
    EXPECT_EQ(result, "");
  }
}

// The room the run is said to need, against what it takes: never less (a run let
// through failed in its steps for want of the room of its records: each line of a long
// log or ToDo list is a record with a memo block), and not so much more that runs that
// fit are refused.
TEST_F(RunGuardsTest, TheRoomCountedBeforeTheRunHoldsWhatTheRunWrites) {
  // Lines ending in CR alone were counted as one (the run reads CR, LF and CR LF), and
  // files of the folder that the run does not read counted as if it did.
  for (const char* ending : {"", "\r\n", "\r"}) {
    SCOPED_TRACE(std::string("3000 log and ToDo lines added, ending ") + (*ending ? ending : "(none added)"));
    ResetTarget();
    if (*ending) {
      std::string log, todo;
      for (int i = 0; i < 3000; ++i) {
        log += "01.03.1999 10:" + std::to_string(10 + i % 50) + ":00 > [ada on PC0] Main.dpr - \\src\\a" +
               std::to_string(i) + ".pas - checked in: revision 1." + std::to_string(i % 9 + 1) + ending;
        todo += "1|01.03.2001 10:00:00|item " + std::to_string(i) + " " + std::string(size_t(i % 700), 'x') + "|open||" +
                ending;
      }
      std::ofstream(source + "/hollardm.log", std::ios::binary | std::ios::app) << log;
      for (const auto& e : fs::directory_iterator(source))
        if (e.path().extension() == ".tdo") std::ofstream(e.path(), std::ios::binary | std::ios::app) << todo;
      std::ofstream(source + "/install.log", std::ios::binary) << log << log << log;
      std::ofstream(source + "/Retired.tdo", std::ios::binary) << todo << todo;
    }
    auto bytes = [&] {
      int64_t total = 0;
      for (const auto& e : fs::directory_iterator(target)) total += static_cast<int64_t>(fs::file_size(e.path()));
      return total;
    };
    const TBlobSpace space = BlobSpaceNeeded(source + "/", target + "/");
    const int64_t before = bytes();
    RunAnswering(true);
    ASSERT_FALSE(report.Failed());
    const int64_t grown = bytes() - before, counted = space.needed + space.records;
    EXPECT_GE(counted, grown);
    EXPECT_LE(counted, grown * 2 + (int64_t(1) << 20));
  }
}

// A killed run may leave a table damaged as well as its mark: the message leads with
// the mark, since putting the run's backup back mends both, where a repair alone would
// leave the half-migrated archive in the target.
TEST_F(RunGuardsTest, AnUnfinishedRunIsNamedBeforeTheDamageItLeft) {
  ASSERT_TRUE(TUnfinishedRun::Write(target + "/", "a run from x did not end"));
  const std::string dat = ovrin::Platform().ResolveExisting(target + "/vcslog.DAT");
  ASSERT_FALSE(dat.empty());
  fs::resize_file(dat, fs::file_size(dat) + 10);  // bytes after the last record
  const auto before = FolderBytes(target);
  EXPECT_TRUE(RunAnswering(true).empty());
  EXPECT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage.rfind("An earlier run into " + target + " did not finish (a run from x did not end)", 0),
            0u)
      << report.preflightMessage;
  EXPECT_NE(report.preflightMessage.find("vcslog"), std::string::npos) << report.preflightMessage;
  EXPECT_EQ(FolderBytes(target), before);
}

}  // namespace
}  // namespace hollard::test
