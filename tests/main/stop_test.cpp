// Stopping a run: a stop asked for at any moment ends the run between two records, with
// every record whole, every table sound, no later step run and the step named; and the
// guards of the target that stop a run before it writes.
#include <filesystem>
#include <map>
#include <new>
#include <set>

#include "engine/data/checker.h"
#include "main/migration_guards.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/file_bytes.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;

class StopTest : public MigrationFixture {
 protected:
  void SetUp() override {
    MigrationFixture::SetUp();
    options.revisions = 60;
    options.modules = 16;
    options.projects = 3;
    options.blobBytes = 4000;
    WriteSourceArchive(source, PlanSourceArchive(options), options);
  }
  // Every target table passes the consistency checker.
  void ExpectTablesSound(const std::string& when) {
    for (const std::string& name : TargetTableNames()) {
      ovrin::TCheckReport check = ovrin::CheckTable(target + "/" + name);
      EXPECT_TRUE(check.Ok()) << when << ": " << name << (check.problems.empty() ? "" : ": " + check.problems[0]);
    }
  }
  // Blob records per revision identifier.
  std::map<std::string, int> BlobsPerRevision() {
    std::map<std::string, int> n;
    for (auto& r : Records(target, "blobs")) ++n[r.at("REVISIONID")];
    return n;
  }
  TSourceOptions options;
};

TEST_F(StopTest, AStopAtAnyMomentEndsTheRunBetweenTwoRecordsWithEveryTableSound) {
  Run();
  ASSERT_FALSE(report.Failed());
  ASSERT_FALSE(report.Stopped());
  const std::vector<std::string> fullLog = user.log;
  const auto fullBlobs = BlobsPerRevision();
  const auto fullRevisions = Records(target, "revision");
  ASSERT_GT(fullLog.size(), 100u);

  std::set<int> stepsStoppedIn;
  // Stop points spread over the whole run, the first ones before any step wrote.
  for (size_t at = 1; at < fullLog.size(); at += std::max<size_t>(1, fullLog.size() / 40)) {
    ResetTarget();
    user.stopAfterLogLines = static_cast<int>(at);
    Run();
    const std::string when = "stopped after log line " + std::to_string(at) + " (" + fullLog[at - 1] + ")";
    ASSERT_TRUE(report.Stopped()) << when;
    EXPECT_FALSE(report.Failed()) << when;
    EXPECT_TRUE(user.errors.empty()) << when << ": " << user.errors.front();
    stepsStoppedIn.insert(report.stoppedAtStep);
    EXPECT_EQ(user.log.back(), "Stopped at step " + std::to_string(report.stoppedAtStep) + ".") << when;
    EXPECT_FALSE(user.Logged("Success. Process ready.")) << when;
    // No step after the one stopped in ran; that one is marked stopped (or, stopped
    // between two steps, the next did not start).
    if (report.steps.empty()) {
      EXPECT_EQ(report.stoppedAtStep, 1) << when;
      ExpectTablesSound(when);
      continue;
    }
    const TStepOutcome& last = report.steps.back();
    if (last.stopped) {
      EXPECT_GE(report.stoppedAtStep, last.firstStep) << when;
      EXPECT_LE(report.stoppedAtStep, last.lastStep) << when;
    } else {
      EXPECT_EQ(report.stoppedAtStep, last.lastStep + 1) << when;
    }
    for (size_t i = 0; i + 1 < report.steps.size(); ++i) EXPECT_TRUE(report.steps[i].succeeded) << when;
    ExpectTablesSound(when);
    // Every revision written has all its stored files, and revisions were written in
    // the order of a whole run.
    auto revisions = Records(target, "revision");
    ASSERT_LE(revisions.size(), fullRevisions.size()) << when;
    auto blobs = BlobsPerRevision();
    for (size_t i = 0; i < revisions.size(); ++i) {
      const std::string id = revisions[i].at("REVISIONID");
      EXPECT_EQ(revisions[i], fullRevisions[i]) << when;
      EXPECT_EQ(blobs[id], fullBlobs.count(id) ? fullBlobs.at(id) : 0) << when << ", revision " << id;
    }
  }
  // The sweep stopped the run in the record loops of the steps, not only between them.
  std::string seen;
  for (int step : stepsStoppedIn) seen += " " + std::to_string(step);
  for (int step : {1, 5, 10, 16}) EXPECT_TRUE(stepsStoppedIn.count(step)) << "never stopped in step " << step << ":" << seen;
  EXPECT_GE(stepsStoppedIn.size(), 6u) << seen;
}

TEST_F(StopTest, AStopAskedForBeforeTheRunWritesNothing) {
  const auto before = ovrin::test::FolderBytes(target);
  TMigration m(user, "windows-1252");
  m.SetSourceDir(source);
  m.SetTargetDir(target);
  m.SetFormatSettings(settings);
  m.RequestStop();
  m.Import();
  EXPECT_EQ(m.Report().stoppedAtStep, 1);
  EXPECT_TRUE(m.Report().steps.empty());
  EXPECT_FALSE(m.Report().Failed());
  EXPECT_EQ(ovrin::test::FolderBytes(target), before);
}

// A user whose log line throws what a failed allocation throws.
class TOutOfMemoryUser : public TScriptedUser {
 public:
  void AddLogLine(const std::string& text, bool scroll) override {
    if (text.rfind("Converting users", 0) == 0 && !thrown) {
      thrown = true;
      throw std::bad_alloc();
    }
    TScriptedUser::AddLogLine(text, scroll);
  }
  bool thrown = false;
};

TEST_F(StopTest, MemoryRunningOutInAStepIsTheEnginesError11016) {
  TOutOfMemoryUser oom;
  TMigration m(oom, "windows-1252");
  m.SetSourceDir(source);
  m.SetTargetDir(target);
  m.SetFormatSettings(settings);
  m.Import();
  ASSERT_TRUE(oom.thrown);
  ASSERT_FALSE(oom.errors.empty());
  EXPECT_EQ(oom.errors[0],
            "Ovrin Engine Error # 11016 There is insufficient operating system memory available for the current "
            "operation");
  EXPECT_TRUE(m.Report().Failed());
}

// ------------------------------------------------------------------ the target's guards

TEST_F(StopTest, AMissingTargetTableStopsThePreflightBeforeAnyStepWrites) {
  // With vcslog missing, fifteen steps wrote before the last one failed.
  fs::remove(target + "/vcslog.DAT");
  const auto before = ovrin::test::FolderBytes(target);
  Run();
  EXPECT_TRUE(report.preflightFailed);
  ASSERT_EQ(user.errors.size(), 1u);
  EXPECT_NE(user.errors[0].find("The target table vcslog is missing: there is no " + target + "/vcslog.DAT."),
            std::string::npos)
      << user.errors[0];
  EXPECT_EQ(ovrin::test::FolderBytes(target), before);
}

TEST_F(StopTest, ADamagedTargetTableStopsThePreflightNamingItAndTheRepairUnlessForced) {
  // An index that no longer matches its data: a key of the users' index overwritten.
  DamageUsersIndex(target);
  ASSERT_FALSE(ovrin::CheckTable(target + "/users").Ok());

  const auto before = ovrin::test::FolderBytes(target);
  Run();
  EXPECT_TRUE(report.preflightFailed);
  ASSERT_EQ(user.errors.size(), 1u);
  const std::string& message = user.errors[0];
  EXPECT_EQ(message.rfind("The target table users is damaged:\n  ", 0), 0u) << message;
  EXPECT_NE(message.find("Run 'hollard-archive check " + target + "' for the details and 'hollard-archive repair " +
                         target + " users' to mend it."),
            std::string::npos)
      << message;
  EXPECT_EQ(ovrin::test::FolderBytes(target), before);

  // Forced, the run writes (the checker is not run at all).
  user = TScriptedUser();
  force = true;
  Run();
  EXPECT_FALSE(report.preflightFailed);
}

}  // namespace
}  // namespace hollard::test
