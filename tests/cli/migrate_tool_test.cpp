// hollard-migrate run in-process on generated archives: answers, exit codes, the
// summary and report, and the guards and options a terminal run offers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/migrate_tool.h"
#include "cli/run_summary.h"
#include "engine/base/platform.h"
#include "engine/table/session.h"
#include "engine/data/table_create.h"
#include "main/migration_guards.h"
#include "main/target_lock.h"
#include "tests/support/file_bytes.h"
#include "tests/support/small_disk.h"
#include "tests/support/unprivileged.h"
#include "tests/cli/migrate_tool_fixture.h"
#include "tests/main/migration_fixture.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;

std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) files[e.path().filename()] = FileBytes(e.path().string());
  return files;
}

class MigrateToolTest : public MigrateToolFixture {};

TEST_F(MigrateToolTest, AnswersFileSharesAndHidesAndTheSummaryCounts) {
  std::string answers = Write("answers.json", R"({"shared": {"\\src\\a.pas": ["Two.dpr"], "\\src\\b.pas": ["One.dpr"]},
                                                  "hidden": {"\\src\\b.pas": ["One.dpr"]}})");
  std::string report = dir / "report.json";
  std::string logFile = dir / "run.log";
  TResult r = Run({source, target, "--answers", answers, "--report", report, "--log", logFile});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("Sharing: \\src\\a.pas -> Two.dpr"), std::string::npos);
  EXPECT_NE(r.out.find("Already assigned: \\src\\b.pas -> One.dpr"), std::string::npos);
  EXPECT_NE(r.out.find("    pjmodule   4\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    users      3\n"), std::string::npos) << r.out;
  // c.pas is hidden but not named: answered with Skip and reported.
  EXPECT_NE(r.out.find("Questions answered with Skip"), std::string::npos);
  EXPECT_NE(r.out.find("    hidden: \\src\\c.pas (not in the answers file)\n"), std::string::npos);
  EXPECT_NE(r.out.find("Result: success"), std::string::npos);
  EXPECT_EQ(Column(target, "pjmodule", "HIDDEN"), (std::vector<std::string>{"0", "1", "0", "0"}));

  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  EXPECT_TRUE(j["succeeded"].get<bool>());
  // The exit code and outcome, as the report of a run refused before its steps has them.
  EXPECT_TRUE(j["started"].get<bool>());
  EXPECT_EQ(j["exitCode"], 0);
  EXPECT_EQ(j["outcome"], "done");
  EXPECT_EQ(j["added"]["pjmodule"], 4);
  EXPECT_EQ(j["changed"]["pjmodule"], 1);
  EXPECT_GE(j["steps"].size(), 6u);
  for (const auto& step : j["steps"]) EXPECT_TRUE(step["succeeded"].get<bool>()) << step["procedure"];
  EXPECT_EQ(j["skippedQuestions"],
            nlohmann::json::parse(R"([{"question": "hidden", "module": "\\src\\c.pas", "why": "not in the answers file"}])"));
  EXPECT_EQ(j["unknownKeys"], nlohmann::json::array());
  std::string log = FileBytes(logFile);
  EXPECT_EQ(log.rfind("Hollard version archive conversion tool\n", 0), 0u);
  EXPECT_NE(log.find("Adding \\src\\a.pas\n"), std::string::npos);
}

TEST_F(MigrateToolTest, AProgressBarOnATerminal) {
  std::istringstream in;
  std::ostringstream out, err;
  ASSERT_EQ(RunMigrateTool({source, target}, TMigrateConsole{in, out, err, true}), 0);
  // A new step text draws the bar at once, whatever the redraw interval holds back.
  EXPECT_NE(err.str().find("\r\033[Kstep 5 of 16: Converting modules...#2 ["), std::string::npos) << err.str();
  // The log stays on standard output, free of the bar's control characters.
  EXPECT_EQ(out.str().find('\r'), std::string::npos);
}

TEST_F(MigrateToolTest, DateFormatAndTimeSeparatorOfTheArchive) {
  TResult r = Run({source, target, "--date-format", "yyyy-mm-dd", "--time-separator", "."});
  ASSERT_EQ(r.code, 0) << r.err;
  size_t at = r.out.find("Process started at ");
  ASSERT_NE(at, std::string::npos);
  std::string stamp = r.out.substr(at + 19, r.out.find('\n', at) - at - 19);
  ASSERT_GE(stamp.size(), 15u) << stamp;
  EXPECT_EQ(stamp[4], '-') << stamp;
  EXPECT_EQ(stamp[7], '-') << stamp;
  EXPECT_NE(stamp.find('.', 10), std::string::npos) << stamp;
  EXPECT_EQ(stamp.find(':'), std::string::npos) << stamp;
  for (const char* bad : {"dd.mm", "ddmmyyyy", "dd.mm-yyyy", "dd.mm.yyyy.dd", "qq.mm.yyyy", "yyyy-dd-mm", "mm.yyyy.dd"}) {
    TResult wrong = Run({source, target, "--date-format", bad});
    EXPECT_EQ(wrong.code, 2) << bad;
    EXPECT_NE(wrong.err.find("expected day, month and year"), std::string::npos) << wrong.err;
  }
  EXPECT_EQ(Run({source, target, "--time-separator", "ab"}).code, 2);
  EXPECT_EQ(Run({source, target, "--date-format", "m/d/yyyy", "--allow-duplicates"}).code, 0);
}

TEST_F(MigrateToolTest, TextsCutToTheirFieldAreCounted) {
  // A path of 255 characters: the old table holds it, the target's PATH holds 250.
  std::string longPath = "\\" + std::string(253, 'p') + "\\";
  WriteRevisions(source, {{longPath, "a.pas", "One.dpr", ""}, {"\\src\\", "b.pas", "One.dpr", ""}});
  std::string report = dir / "report.json";
  TResult r = Run({source, target, "--report", report});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Texts cut to their field's size"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    modules.PATH         1\n"), std::string::npos) << r.out;
  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  EXPECT_EQ(j["cut"], nlohmann::json({{"modules.PATH", 1}}));
  EXPECT_EQ(Column(target, "modules", "PATH")[0], longPath.substr(0, 250));
  // The module's revisions still find it: lookups compare the key as the target keeps it.
  EXPECT_EQ(Column(target, "revision", "MODULEID"), (std::vector<std::string>{"1", "2"}));
}

TEST_F(MigrateToolTest, UsageErrorsAndBadAnswerFilesExitTwo) {
  EXPECT_EQ(Run({}).code, 2);
  EXPECT_EQ(Run({source}).code, 2);
  TResult both = Run({source, target, "--answers", "x.json", "--interactive"});
  EXPECT_EQ(both.code, 2);
  TResult missing = Run({source, target, "--answers", dir / "none.json"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("none.json"), std::string::npos) << missing.err;
  TResult broken = Run({source, target, "--answers", Write("bad.json", "{\"shared\": [")});
  EXPECT_EQ(broken.code, 2);
  EXPECT_NE(broken.err.find("bad.json is not valid JSON"), std::string::npos) << broken.err;
  TResult shape = Run({source, target, "--answers", Write("shape.json", R"({"shared": {"\\a": "One.dpr"}})")});
  EXPECT_EQ(shape.code, 2);
  EXPECT_NE(shape.err.find("must be a list of project names"), std::string::npos) << shape.err;
  TResult section = Run({source, target, "--answers", Write("section.json", R"({"shraed": {}})")});
  EXPECT_EQ(section.code, 2);
  EXPECT_NE(section.err.find("unknown section \"shraed\""), std::string::npos) << section.err;
  TResult codePage = Run({source, target, "--code-page", "no-such-page"});
  EXPECT_EQ(codePage.code, 2);
  EXPECT_NE(codePage.err.find("no-such-page"), std::string::npos);
  // Nothing was written by any of them.
  EXPECT_TRUE(Records(target, "users").empty());
}

TEST_F(MigrateToolTest, PreflightAndStepFailuresExitOne) {
  // A folder that is not there is a wrong command line, named before any work.
  TResult nowhere = Run({source, dir / "nowhere"});
  EXPECT_EQ(nowhere.code, 2);
  EXPECT_NE(nowhere.err.find("target: Directory does not exist: " + (dir / "nowhere")), std::string::npos)
      << nowhere.err;
  fs::create_directories(dir / "empty");
  TResult noTarget = Run({source, dir / "empty"});
  EXPECT_EQ(noTarget.code, 1);
  EXPECT_NE(noTarget.err.find("Target tables not found!"), std::string::npos);
  EXPECT_NE(noTarget.out.find("The run did not start"), std::string::npos);
  EXPECT_NE(noTarget.out.find("(looked for users.DAT in " + (dir / "empty") + "/)"), std::string::npos)
      << noTarget.out;
  // The folders the wrong way round, and the old archive given as both: the message says
  // which layout the folder holds.
  TResult swapped = Run({target, source});
  EXPECT_EQ(swapped.code, 1);
  EXPECT_NE(swapped.err.find("Source tables not found! The folder " + target +
                             "/ holds a new-layout archive (users.DAT): the source is the old archive's folder."),
            std::string::npos)
      << swapped.err;
  TResult same = Run({source, source});
  EXPECT_EQ(same.code, 1);
  EXPECT_NE(same.err.find("Target tables not found! The folder " + source +
                          "/ holds an old-layout archive (hollardm.db): the target is the new archive's folder."),
            std::string::npos)
      << same.err;
  EXPECT_TRUE(Records(target, "users").empty());

  // A missing table stops the preflight (exit 3); forced, its step fails with its own
  // error alone.
  fs::remove(source + "/hollardp.db");
  EXPECT_EQ(Run({source, target}).code, 3);
  TResult step = Run({source, target, "--force"});
  EXPECT_EQ(step.code, 1);
  EXPECT_NE(step.out.find("ConvertProjects"), std::string::npos);
  EXPECT_NE(step.out.find("FAILED\n"), std::string::npos) << step.out;
  EXPECT_NE(step.out.find("Table does not exist: " + source + "/hollardp.DB"), std::string::npos) << step.out;
  EXPECT_EQ(step.out.find("closed dataset"), std::string::npos) << step.out;
  EXPECT_EQ(step.err.find("closed dataset"), std::string::npos) << step.err;
  EXPECT_NE(step.out.find("Result: FAILED"), std::string::npos);
}

// A source folder this user may enter but not list (0711): a table is found there only
// by its exact name, side files not at all. The guards called present tables missing
// ("Table does not exist"), and a forced run wrote what it found and left out the rest.
TEST_F(MigrateToolTest, ASourceFolderThisUserMayNotListStopsTheRunForcedOrNot) {
  if (::geteuid() == 0) ovrin::test::OpenToEveryone(dir.Path());
  ::chmod(source.c_str(), 0711);
  const auto before = Snapshot(target);
  EXPECT_EQ(ovrin::test::AsUnprivileged([&] {
              std::string wrong;
              for (bool forced : {false, true}) {
                TResult r = forced ? Run({source, target, "--force"}) : Run({source, target});
                const std::string expected =
                    "Source tables not found! The folder " + source + "/ cannot be read by this user (Permission denied).";
                if (r.code != 1) wrong += "exit code " + std::to_string(r.code) + "\n";
                if (r.err.find(expected) == std::string::npos || r.err.find("does not exist") != std::string::npos)
                  wrong += "said: " + r.err + "\n";
                if (r.out.find("looked for") != std::string::npos) wrong += "summary: " + r.out + "\n";
              }
              return wrong;
            }),
            "");
  ::chmod(source.c_str(), 0755);
  EXPECT_EQ(Snapshot(target), before);
}

TEST_F(MigrateToolTest, ASecondRunOfTheSameArchiveIsStoppedBeforeItWrites) {
  ASSERT_EQ(Run({source, target}).code, 0);
  auto before = Snapshot(target);
  TResult again = Run({source, target});
  EXPECT_EQ(again.code, 3);
  EXPECT_NE(again.err.find("already holds projects of this archive: One.dpr Two.dpr."), std::string::npos) << again.err;
  EXPECT_NE(again.err.find("--allow-duplicates"), std::string::npos);
  EXPECT_EQ(Snapshot(target), before);
  TResult allowed = Run({source, target, "--allow-duplicates"});
  EXPECT_EQ(allowed.code, 0) << allowed.err;
  EXPECT_EQ(Column(target, "projects", "NAME"), (std::vector<std::string>{"One.dpr", "Two.dpr", "One.dpr", "Two.dpr"}));
}

TEST_F(MigrateToolTest, TheStandardProjectAloneIsNoDuplicate) {
  {
    ovrin::TOvrinTable projects;
    projects.SetDatabaseName(target);
    projects.SetTableName("projects");
    projects.Open();
    projects.Append();
    projects.FieldByName("NAME").SetAsString("_HLRD_std.dpr");
    projects.Post();
  }
  EXPECT_EQ(Run({source, target}).code, 0);
}

TEST_F(MigrateToolTest, StoredFilesThatCannotFitStopTheRunUnlessForced) {
  // Source blobs of 5,000 bytes; a target blob file with only about 4 KB left.
  WriteGeneratedArchive(source, 10, 3, 1, 5000);
  std::string blb = ovrin::Platform().ResolveExisting(target + "/blobs.BLB");
  ASSERT_FALSE(blb.empty());
  fs::resize_file(blb, 2000000000 - 4096);  // sparse
  TBlobSpace space = BlobSpaceNeeded(source + "/", target + "/");
  EXPECT_EQ(space.available, 4096);
  EXPECT_GT(space.needed, space.available);
  auto sizes = [&] {
    std::map<std::string, uintmax_t> out;
    for (const auto& e : fs::directory_iterator(target)) out[e.path().filename()] = e.file_size();
    return out;
  };
  auto before = sizes();
  TResult stopped = Run({source, target});
  EXPECT_EQ(stopped.code, 3);
  EXPECT_NE(stopped.err.find("would not fit"), std::string::npos) << stopped.err;
  EXPECT_NE(stopped.err.find("--force"), std::string::npos);
  EXPECT_EQ(sizes(), before);
  EXPECT_EQ(Records(target, "users").size(), 0u);
  EXPECT_EQ(Run({source, target, "--force", "--date-format", "dd.mm.yyyy"}).code, 0);
}

// A target on a disk that fills up. The run asks the disk before it writes; forced, the
// step that fills it says so; the backup goes back although the disk has no room for a
// second copy of a table; and a disk too full for the run's mark refuses the run, which
// went on without the mark and left the next run unwarned.
TEST_F(MigrateToolTest, ATargetDiskThatFillsUpIsNamedAndItsBackupStillGoesBack) {
  WriteGeneratedArchive(source, 60, 12, 2, 120000);
  const std::string result = ovrin::test::OnSmallDisk(dir / "disk", 1 << 20, [&](const std::string& disk) {
    std::string wrong;
    const std::string small = disk + "/new";
    auto fresh = [&] {
      fs::remove_all(small);
      fs::create_directories(small);
      for (const auto& e : fs::directory_iterator(target)) fs::copy_file(e.path(), small + "/" + e.path().filename().string());
    };
    auto expect = [&](bool ok, const std::string& what, const TResult& r) {
      if (!ok) wrong += what + "\n--- out:\n" + r.out + "--- err:\n" + r.err + "\n";
    };
    auto leftovers = [&] {
      std::string found;
      for (const auto& e : fs::directory_iterator(small)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(".hollard-restore-", 0) == 0 || name.find(".new") != std::string::npos) found += name + " ";
      }
      return found;
    };
    fresh();
    const auto before = Snapshot(small);

    TResult asked = Run({source, small});
    expect(asked.code == 3 && asked.err.find("and the disk that holds " + small + " has only ") != std::string::npos &&
               asked.err.find(" free; the run would fail part way when the disk is full.") !=
                   std::string::npos,
           "not refused for the disk", asked);
    if (Snapshot(small) != before) wrong += "the refused run changed the target\n";

    const std::string backup = dir / "backup";
    TResult restored = Run({source, small, "--force", "--backup", backup, "--restore-on-failure"});
    expect(restored.code == 1 && restored.out.find("The disk that holds " + small + " is full (") != std::string::npos &&
               restored.out.find("The backup in " + backup + " was put back") != std::string::npos,
           "the full disk or the restore not said", restored);
    if (Snapshot(small) != before) wrong += "the backup was not put back byte for byte\n";
    if (!leftovers().empty()) wrong += "left beside the tables: " + leftovers() + "\n";

    // A disk with no room left at all: not even the mark of the run fits.
    fresh();
    {
      std::ofstream filler(disk + "/filler", std::ios::binary);
      const std::string block(65536, 'x');
      while (filler.write(block.data(), block.size())) {
      }
    }
    const std::string second = dir / "backup2";
    TResult full = Run({source, small, "--force", "--backup", second});
    expect(full.code == 3 &&
               full.err.find("(the mark of a run that has not finished): No space left on device. The disk that holds " +
                             small + " is full.\nNothing was written to the target (the backup made was removed).") !=
                   std::string::npos,
           "a run without its mark was not refused", full);
    if (Snapshot(small) != before) wrong += "the run refused for its mark changed the target\n";
    if (fs::exists(second) && !fs::is_empty(second)) wrong += "the backup made was kept\n";
    fs::remove(disk + "/filler");

    // Failed without a backup: the summary says what the target now holds.
    TResult failed = Run({source, small, "--force"});
    expect(failed.code == 1 && failed.out.find("The target holds what this run wrote") != std::string::npos &&
               fs::exists(small + "/.hollard-migrate.unfinished"),
           "a failed run's advice or mark missing", failed);
    if (!leftovers().empty()) wrong += "left beside the tables: " + leftovers() + "\n";
    fs::remove_all(small);

    // A dry run writes into a copy in the temporary folder: that is the disk it asks.
    auto fill = [&](uintmax_t leave) {
      {
        std::ofstream filler(disk + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
      }
      fs::resize_file(disk + "/filler", fs::file_size(disk + "/filler") - leave);
    };
    fill(0);
    const char* tmp = ::getenv("TMPDIR");
    const std::string savedTmp = tmp ? tmp : "";
    ::setenv("TMPDIR", disk.c_str(), 1);
    TResult dry = Run({source, target, "--dry-run"});
    // So does the run on a copy that learns the questions.
    TResult questions = Run({source, target, "--list-questions", dir / "questions.json"});
    if (savedTmp.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", savedTmp.c_str(), 1);
    expect(dry.code == 3 && dry.err.find("more, the copy of the target's tables ") != std::string::npos &&
               dry.err.find("the disk that holds " + disk + " (where the dry run copies the target's tables) has only") !=
                   std::string::npos,
           "the dry run asked another disk", dry);
    expect(questions.code == 3 && questions.err.find("the disk that holds " + disk +
                                                     " (where the questions are learnt on a copy of the target's "
                                                     "tables) has only") != std::string::npos,
           "the questions' run asked another disk", questions);

    // A report that the disk cannot take whole is never left cut inside its JSON.
    fs::remove(disk + "/filler");
    fill(4096);  // room for the report made at the start, not for the whole one
    const std::string reportFile = disk + "/run.json";
    // Answers for modules the run does not ask about, each named in the report: a report
    // larger than the room left.
    std::string keys;
    for (int i = 0; i < 200; ++i) keys += std::string(i ? ", " : "") + "\"\\\\none\\\\Unit" + std::to_string(i) + ".pas\": []";
    const std::string answers = Write("answers.json", "{\"shared\": {" + keys + "}}");
    TResult reported = Run({source, target, "--report", reportFile, "--answers", answers});
    expect(reported.code == 1 && reported.err.find("cannot write the report file " + reportFile +
                                                   ": No space left on device") != std::string::npos,
           "the report's failure not said", reported);
    try {
      const nlohmann::json j = nlohmann::json::parse(FileBytes(reportFile));
      if (j.value("exitCode", 0) != 1 || j.value("reportError", "").find("No space left on device") == std::string::npos)
        wrong += "the short report: " + j.dump() + "\n";
    } catch (const std::exception& e) {
      wrong += std::string("the report is no JSON: ") + e.what() + "\n";
    }
    return wrong;
  });
  if (result == ovrin::test::kNoSmallDisk) GTEST_SKIP() << result << " (needs root)";
  EXPECT_EQ(result, "");
}

// A killed run printed no summary: the run refused by its mark gives the command that
// puts its backup back, when the backup holds every table file.
TEST_F(MigrateToolTest, TheMarkOfAKilledRunGivesTheCommandThatPutsItsBackupBack) {
  const std::string backup = dir / "before";
  fs::create_directories(backup);
  for (const auto& e : fs::directory_iterator(target)) fs::copy_file(e.path(), backup + "/" + e.path().filename().string());
  ASSERT_TRUE(TUnfinishedRun::Write(target + "/", TUnfinishedRun::StartedText(source, TUnfinishedRun::BackupNote(backup))));
  TResult r = Run({source, target});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("Nothing was written. This puts that run's backup back (with no other program using the "
                       "target):\n  " +
                       RestoreCommand(backup, target) +
                       "\nThe next run's --backup then needs a new or empty folder: that one holds the copy. To run "
                       "anyway, remove "),
            std::string::npos)
      << r.err;
  // Not whole: no command, the general advice.
  fs::remove(backup + "/users.DAT");
  r = Run({source, target});
  EXPECT_EQ(r.err.find("cp -p"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Nothing was written. A run with --backup that failed or stopped gave the command"),
            std::string::npos)
      << r.err;
}

TEST_F(MigrateToolTest, DryRunLeavesTheTargetAsItWas) {
  auto before = Snapshot(target);
  TResult r = Run({source, target, "--dry-run"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Summary (dry run: the target was not touched)"), std::string::npos);
  EXPECT_NE(r.out.find("Records that would be added:\n"), std::string::npos);
  EXPECT_NE(r.out.find("    modules    3\n"), std::string::npos) << r.out;
  EXPECT_EQ(Snapshot(target), before);
}

TEST_F(MigrateToolTest, BackupCopiesTheTablesBeforeTheFirstWrite) {
  auto before = Snapshot(target);
  std::string backup = dir / "backup";
  fs::remove(source + "/hollardp.db");  // a failing step: the summary says how to undo
  TResult r = Run({source, target, "--backup", backup, "--force"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(Snapshot(backup), before);
  EXPECT_NE(r.out.find("To put " + target + " back as it was before this run (with no other program using it):\n"
                       "    cp -p -- '" + backup + "'/* '" + target + "'/ && rm -f -- '" + target +
                       "'/.hollard-migrate.unfinished\n"),
            std::string::npos)
      << r.out;
  // A second backup into the same folder would overwrite the first: refused before
  // any work.
  TResult again = Run({source, target, "--backup", backup, "--allow-duplicates", "--force"});
  EXPECT_EQ(again.code, 2);
  EXPECT_NE(again.err.find("--backup '" + backup + "': the folder is not empty"), std::string::npos)
      << again.err;
}

TEST_F(MigrateToolTest, InteractiveAnswersOnTheTerminal) {
  // Shared: a.pas -> projects 2, b.pas -> a wrong entry then Skip; hidden: b.pas -> 1, c.pas -> Skip.
  TResult r = Run({source, target, "--interactive"}, "2\n7\n\n1\n\n");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("Module is shared between: \\src\\a.pas\n  1. One.dpr\n  2. Two.dpr\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("'7' is not a number from 1 to 2."), std::string::npos);
  EXPECT_NE(r.out.find("Sharing: \\src\\a.pas -> Two.dpr"), std::string::npos);
  EXPECT_EQ(Column(target, "pjmodule", "HIDDEN"), (std::vector<std::string>{"0", "1", "0", "0"}));
}

TEST_F(MigrateToolTest, AnswersMatchKeysDecodedFromTheCodePage) {
  // A module whose path holds a byte of windows-1252 (0xE9, e with acute accent).
  WriteRevisions(source, {{"\\caf\xE9\\", "a.pas", "One.dpr", "", true, false}});
  std::string answers = Write("answers.json", "{\"shared\": {\"\\\\caf\xC3\xA9\\\\a.pas\": [\"Two.dpr\"]}}");
  TResult r = Run({source, target, "--answers", answers});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Sharing: \\caf\xC3\xA9\\a.pas -> Two.dpr"), std::string::npos) << r.out;
  // The target keeps the archive's bytes.
  EXPECT_EQ(Column(target, "modules", "PATH"), std::vector<std::string>{"\\caf\xE9\\"});
}

}  // namespace
}  // namespace hollard::test

namespace hollard::test {
namespace {

// A revision table whose data block chain ends early (one link set to 0) migrated only
// the records before the cut, with exit 0.
TEST_F(MigrateToolTest, ASourceChainCutShortStopsWithExitThree) {
  std::vector<TRevisionRow> rows;
  for (int i = 0; i < 60; ++i) rows.push_back({"\\src\\", "u" + std::to_string(i) + ".pas", "One.dpr", "ada"});
  WriteRevisions(source, rows);
  std::string db = FileBytes(source + "/hollardm.db");
  size_t headerSize = static_cast<uint8_t>(db[2]) | static_cast<uint8_t>(db[3]) << 8;
  size_t first = static_cast<uint8_t>(db[0x0E]) | static_cast<uint8_t>(db[0x0F]) << 8;
  size_t at = headerSize + (first - 1) * static_cast<size_t>(static_cast<uint8_t>(db[5])) * 1024;
  db[at] = db[at + 1] = 0;
  std::ofstream(source + "/hollardm.db", std::ios::binary | std::ios::trunc) << db;
  auto before = Snapshot(target);
  TResult r = Run({source, target});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("hollardm.db is damaged: its data block chain holds "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" records, its header counts 60."), std::string::npos) << r.err;
  EXPECT_EQ(Snapshot(target), before);
  EXPECT_EQ(Run({source, target, "--force"}).code, 0);
}

// A revision table cut short or a blob file missing was noted ("cannot check the room in
// the blob file: ...") and the run wrote projects, modules and the log without users or
// revisions; the mended source was then refused as a duplicate. A FIFO in place of the
// key file hung the run.
TEST_F(MigrateToolTest, ADamagedOrStrangeSourceStopsWithExitThreeAndTheMendedSourceRuns) {
  auto write = [&] {
    std::vector<TRevisionRow> rows;
    for (int i = 0; i < 40; ++i) {
      TRevisionRow r{"\\src\\", "u" + std::to_string(i) + ".pas", "One.dpr", "ada"};
      r.binary = std::string(500, static_cast<char>('a' + i % 26));
      r.fsize = 500;
      rows.push_back(r);
    }
    WriteRevisions(source, rows);
  };
  struct TCase {
    const char* label;
    std::function<void()> damage;
    std::string what;
  };
  const std::string db = source + "/hollardm.db", mb = source + "/hollardm.mb", key = source + "/hollardm.key";
  std::vector<TCase> cases = {
      {"table one byte short", [&] { fs::resize_file(db, fs::file_size(db) - 1); }, "The Paradox table " + db + " is damaged: block "},
      {"table of 2048 bytes", [&] { fs::resize_file(db, 2048); }, "The Paradox table " + db + " is damaged: "},
      {"blob file missing", [&] { fs::remove(mb); }, "The blob file of the Paradox table " + db + " is missing"},
      {"blob file cut after its header", [&] { fs::resize_file(mb, 4096); }, "lies beyond the end of the blob file " + mb},
      {"key file a FIFO", [&] { ASSERT_EQ(::mkfifo(key.c_str(), 0600), 0); }, "Cannot read " + key + ": it is a FIFO, not a regular file"},
  };
  auto before = Snapshot(target);
  for (const TCase& c : cases) {
    write();
    c.damage();
    TResult r = Run({source, target});
    EXPECT_EQ(r.code, 3) << c.label << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("hollard-migrate: ", 0), 0u) << c.label << "\n" << r.err;
    EXPECT_NE(r.err.find(c.what), std::string::npos) << c.label << "\n" << r.err;
    EXPECT_NE(r.err.find("Nothing was written."), std::string::npos) << c.label << "\n" << r.err;
    EXPECT_EQ(r.err.find("cannot check"), std::string::npos) << c.label << "\n" << r.err;
    EXPECT_TRUE(Snapshot(target) == before) << c.label << ": the target changed";
    fs::remove(key);
  }
  write();
  TResult mended = Run({source, target});
  EXPECT_EQ(mended.code, 0) << mended.err;
  EXPECT_NE(mended.out.find("Result: success"), std::string::npos) << mended.out;
}

// ------------------------------------------------------------------ guards and output

TEST_F(MigrateToolTest, TheReportIsValidJsonWhateverBytesTheFolderNamesHold) {
  // A Latin-1 folder name (é as the one byte E9) in the source and the backup: the report
  // threw a JSON type error and the run aborted after the target was written.
  const std::string latinSource = dir / "s\xE9", latinBackup = dir / "b\xE9", report = dir / "report.json";
  fs::copy(source, latinSource);
  fs::remove(latinSource + "/hollardp.db");  // a step fails and names the table's path
  TResult r = Run({latinSource, target, "--force", "--backup", latinBackup, "--report", report});
  EXPECT_EQ(r.code, 1) << r.err;
  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  EXPECT_EQ(j["backup"].get<std::string>(), dir / "b\\xE9");
  bool named = false;
  for (const auto& step : j["steps"])
    for (const auto& e : step["errors"]) named = named || e.get<std::string>().find(dir / "s\\xE9/hollardp.DB") != std::string::npos;
  EXPECT_TRUE(named) << j.dump(2);
  // Valid UTF-8 stays as it is; each stray byte is escaped on its own.
  EXPECT_EQ(JsonText("caf\xC3\xA9 \xE9t\xC3 \xF0\x9F\x98\x80 \xED\xA0\x80"),
            "caf\xC3\xA9 \\xE9t\\xC3 \xF0\x9F\x98\x80 \\xED\\xA0\\x80");
}

TEST_F(MigrateToolTest, ADamagedOrReadOnlyTargetTableStopsTheRunBeforeItWrites) {
  // A damaged index: written into, a damaged table took new records on top of old.
  DamageUsersIndex(target);
  auto before = Snapshot(target);
  TResult damaged = Run({source, target});
  EXPECT_EQ(damaged.code, 3);
  EXPECT_NE(damaged.err.find("The target table users is damaged:"), std::string::npos) << damaged.err;
  EXPECT_NE(damaged.err.find("'hollard-archive repair " + target + " users' to mend it."), std::string::npos)
      << damaged.err;
  EXPECT_NE(damaged.err.find("Run with --force to write into the damaged tables anyway."), std::string::npos);
  auto after = Snapshot(target);
  after.erase(".hollard-migrate.lock");
  EXPECT_EQ(after, before);

  // A read-only table cannot be forced: seven steps failed with "Cannot modify a
  // read-only dataset", naming no table.
  fs::permissions(target + "/projects.DAT", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  TResult readOnly = Run({source, target, "--force"});
  EXPECT_EQ(readOnly.code, 3);
  EXPECT_NE(readOnly.err.find("The target table projects cannot be written: " + target + "/projects.DAT is read-only."),
            std::string::npos)
      << readOnly.err;
  EXPECT_NE(readOnly.err.find("Nothing was written.\n"), std::string::npos);
  EXPECT_EQ(readOnly.err.find("--force to write"), std::string::npos);
  after = Snapshot(target);
  after.erase(".hollard-migrate.lock");
  EXPECT_EQ(after, before);
}

TEST_F(MigrateToolTest, AnEncipheredTargetTableIsNoDamageAndItsPasswordOpensIt) {
  // Checked before the run without its password, the table was taken for one that does
  // not open and the run refused (exit 3), where the password would have opened it.
  EncipherArchiveTable(target, "projects", "s3cret");
  // Typed when the run asks (the questions that follow are skipped by the end of input).
  TResult r = Run({source, target, "--interactive"}, "s3cret\n");
  EXPECT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.err.find("Password for the enciphered table " + target + "/projects (empty to leave the table out): "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Column(target, "projects", "NAME").size(), 2u);
  ovrin::Sessions().Default().RemoveAllPasswords();
}

TEST_F(MigrateToolTest, AFailedStepWithRestoreOnFailurePutsTheTargetBack) {
  auto before = Snapshot(target);
  fs::remove(source + "/hollardp.db");
  TResult r = Run({source, target, "--force", "--backup", dir / "backup", "--restore-on-failure"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("The backup in " + (dir / "backup") + " was put back: " + target + " is as it was before the run."),
            std::string::npos)
      << r.out;
  auto after = Snapshot(target);
  after.erase(".hollard-migrate.lock");
  EXPECT_EQ(after, before);
  // Without a backup there is nothing to put back: a wrong command line.
  TResult alone = Run({source, target, "--restore-on-failure"});
  EXPECT_EQ(alone.code, 2);
  EXPECT_NE(alone.err.find("--restore-on-failure requires --backup"), std::string::npos) << alone.err;
}

TEST_F(MigrateToolTest, VersionHelpAndOptionValuesAreCheckedBeforeAnyWork) {
  TResult version = Run({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "hollard-migrate " + std::string(HOLLARD_VERSION) + " (Ovrin engine 1.19)\n");
  TResult help = Run({"--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* part : {"Exit codes:", "  4  the run was stopped", "Example:", "--code-page TEXT=windows-1252",
                           "--date-format TEXT=auto", "--restore-on-failure"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part << "\n" << help.out;
  auto before = Snapshot(target);
  struct TCase {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{source, target, "--code-page", "bogus"}, "--code-page 'bogus'"},
      {{source, target, "--date-format", "bogus"}, "--date-format 'bogus'"},
      {{source, target, "--time-separator", "ab"}, "--time-separator 'ab'"},
      {{source, dir / "nowhere"}, "target: Directory does not exist"},
      {{dir / "nowhere", target}, "source: Directory does not exist"},
      {{source, target, "--log", dir / "no/such/folder/run.log"}, "--log '" + (dir / "no/such/folder/run.log") + "'"},
      {{source, target, "--report", dir / "no/such/folder/r.json"}, "--report '" + (dir / "no/such/folder/r.json") + "'"},
  };
  for (const TCase& c : cases) {
    TResult r = Run(c.args);
    EXPECT_EQ(r.code, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_EQ(Snapshot(target), before);
}

TEST_F(MigrateToolTest, OutputFilesThatAreArchiveFilesAreRefusedBeforeAnyWork) {
  // --log over the source's history log replaced it with the run's own log, and the run
  // said success with every log line lost; --report over a target table destroyed it.
  fs::copy_file(source + "/hollardm.db", dir / "hollardm.db.copy");
  Write("old/hollardm.log", "10.02.2001 14:03:11 > [ada] a line\r\n");
  const auto sourceBefore = Snapshot(source), targetBefore = Snapshot(target);
  struct TCase {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{source, target, "--log", source + "/hollardm.log"}, "--log '" + source + "/hollardm.log': a file in the source folder"},
      {{source, target, "--report", source + "/new.json"}, "--report '" + source + "/new.json': a file in the source folder"},
      {{source, target, "--report", target + "/users.DAT"}, "--report '" + target + "/users.DAT': a file of the target archive"},
      {{source, target, "--list-questions", target + "/todo.IDX"}, "a file of the target archive"},
      {{source, target, "--log", dir / "same", "--report", dir / "same"}, "': the same file as --report"},
      {{source, target, "--backup", source}, "--backup '" + source + "': the source folder itself"},
      {{source, target, "--time-separator", ""}, "--time-separator '': expected one character"},
      {{source, target, "--log", dir / "y.log", "--report", dir / "sub/../y.log"}, "': the same file as --report"},
      {{source, target, "--log", target + "/.hollard-migrate.lock"}, "a file of the target archive"},
      {{source, target, "--report", target + "/.hollard-migrate.unfinished"}, "a file of the target archive"},
      {{source, target, "--backup", ""}, "--backup '': expected a folder"},
      {{source, target, "--dry-run", "--backup", dir / "b"}, "a dry run writes nothing to the target"},
  };
  for (const TCase& c : cases) {
    TResult r = Run(c.args);
    EXPECT_EQ(r.code, 2) << c.message << "\n" << r.err << r.out;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(Snapshot(source), sourceBefore);
  EXPECT_EQ(Snapshot(target), targetBefore);
  // A backup folder that holds anything: its files would go into the target with the
  // backup's when it is put back.
  fs::create_directories(dir / "backup");
  Write("backup/notes.txt", "x");
  TResult r = Run({source, target, "--backup", dir / "backup"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("the folder is not empty (it holds notes.txt); give a new or empty folder"), std::string::npos)
      << r.err;
}

TEST_F(MigrateToolTest, ARunThatEndsBeforeItsFirstStepFinishesItsReport) {
  // The report made at the start said "running" after a guard's refusal.
  ASSERT_EQ(Run({source, target}).code, 0);
  const std::string report = dir / "report.json";
  TResult refused = Run({source, target, "--report", report});
  ASSERT_EQ(refused.code, 3);
  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  EXPECT_FALSE(j["running"].get<bool>());
  EXPECT_FALSE(j["started"].get<bool>());
  EXPECT_EQ(j["exitCode"], 3);
  EXPECT_EQ(j["outcome"], "refused by a guard");
  ASSERT_FALSE(j["messages"].empty());
  EXPECT_NE(j["messages"][0].get<std::string>().find("already holds projects of this archive"), std::string::npos);
}

TEST_F(MigrateToolTest, TargetTablesThatAreNoFilesOrLackTheirIndexAreNamedWithTheirRemedy) {
  const auto before = Snapshot(target);
  fs::rename(target + "/labels.IDX", dir / "labels.IDX");
  TResult noIndex = Run({source, target});
  EXPECT_EQ(noIndex.code, 3);
  EXPECT_NE(noIndex.err.find("The target table labels has no index file " + target + "/labels.IDX. Run "
                             "'hollard-archive repair " + target + " labels' to build it again."),
            std::string::npos)
      << noIndex.err;
  fs::rename(dir / "labels.IDX", target + "/labels.IDX");
  fs::rename(target + "/users.DAT", dir / "users.DAT");
  fs::create_directories(target + "/users.DAT");
  TResult folder = Run({source, target});
  EXPECT_EQ(folder.code, 3);
  EXPECT_NE(folder.err.find(target + "/users.DAT is not a regular file"), std::string::npos) << folder.err;
  fs::remove(target + "/users.DAT");
  fs::rename(dir / "users.DAT", target + "/users.DAT");
  auto after = Snapshot(target);
  after.erase(".hollard-migrate.lock");
  EXPECT_EQ(after, before);
}

TEST_F(MigrateToolTest, TheRestoreCommandWorksForAnyFolderName) {
  // A Latin-1 folder name: the report's command held \xE9 as four characters, which no
  // shell reads as the byte; a relative folder only worked from where the run started.
  const std::string backup = dir / "b\xE9 it's", target2 = dir / "t";
  fs::create_directories(backup);
  fs::create_directories(target2);
  std::ofstream(backup + "/users.DAT") << "backed up";
  std::ofstream(target2 + "/users.DAT") << "changed";
  std::ofstream(target2 + "/.hollard-migrate.unfinished") << "mark";
  const std::string command = RestoreCommand(backup, target2);
  EXPECT_EQ(JsonText(command), command) << "not valid UTF-8: " << command;
  EXPECT_EQ(command, "cp -p -- $'" + dir.Path() + "/b\\xe9 it\\x27s'/* '" + target2 + "'/ && rm -f -- '" + target2 +
                         "'/.hollard-migrate.unfinished");
  ASSERT_EQ(std::system(("bash -c " + std::string("\"") + command + "\"").c_str()), 0) << command;
  EXPECT_EQ(FileBytes(target2 + "/users.DAT"), "backed up");
  EXPECT_FALSE(fs::exists(target2 + "/.hollard-migrate.unfinished"));
  // Relative folders come out absolute.
  EXPECT_EQ(RestoreCommand("b", "t"), "cp -p -- '" + fs::current_path().string() + "/b'/* '" +
                                          fs::current_path().string() + "/t'/ && rm -f -- '" +
                                          fs::current_path().string() + "/t'/.hollard-migrate.unfinished");
}

TEST_F(MigrateToolTest, TheMarkOfAFailedRunNamesTheStepAndAllowDuplicatesDoesNotRunPastIt) {
  fs::create_directories(dir / "sub");
  fs::remove(source + "/hollardp.db");
  EXPECT_EQ(Run({source, target, "--force"}).code, 1);
  EXPECT_EQ(TUnfinishedRun::Read(target + "/"), "a run from " + source + "/ failed in step 3 (ConvertProjects)");
  // --allow-duplicates ran past it and added the part migrated again.
  TResult again = Run({source, target, "--force", "--allow-duplicates"});
  EXPECT_EQ(again.code, 3);
  EXPECT_NE(again.err.find("To run anyway, remove " + target + "/.hollard-migrate.unfinished."), std::string::npos)
      << again.err;
}

TEST_F(MigrateToolTest, TheMarkOfAFailedRunNamesItsFoldersAbsoluteAndItsBackup) {
  // Given as relative folders: the mark is read by a later run from anywhere.
  fs::remove(source + "/hollardp.db");
  const std::string relativeSource = fs::relative(source, fs::current_path()).string();
  const std::string backup = dir / "before";
  const std::string relativeBackup = fs::relative(backup, fs::current_path()).string();
  ASSERT_NE(relativeSource.front(), '/');
  EXPECT_EQ(Run({relativeSource, target, "--force", "--backup", relativeBackup}).code, 1);
  EXPECT_EQ(TUnfinishedRun::Read(target + "/"), "a run from " + source + "/ failed in step 3 (ConvertProjects)" +
                                                    "; its backup is in " + backup);
}

}  // namespace
}  // namespace hollard::test
