// Step 16: the history log, and the run's closing lines.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/base/conversions.h"
#include "main/run_summary.h"
#include "tests/main/migration_fixture.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;

TEST(HistoryFormsTest, ReplaceTextIgnoresTheCaseOfAsciiLettersOnly) {
  EXPECT_EQ(ReplaceText("Main.DPR - a - main.dpr - b", "main.dpr -", ""), " a -  b");
  EXPECT_EQ(ReplaceText("aaa", "aa", "x"), "xa");  // scanned left to right, no overlaps
  EXPECT_EQ(ReplaceText("ab", "abc", "x"), "ab");
  EXPECT_EQ(ReplaceText("", "a -", ""), "");
  EXPECT_EQ(ReplaceText("\xC4rger.dpr - x", "\xE4rger.dpr -", ""), "\xC4rger.dpr - x");  // other letters keep their case
  EXPECT_EQ(ReplaceText("\xE4rger.DPR - x", "\xE4rger.dpr -", "!"), "! x");
}

TEST(HistoryFormsTest, TheLastMarkerInListOrderDecides) {
  EXPECT_EQ(EventType("x added to projectlist: y"), "a");
  EXPECT_EQ(EventType("removed from projectlist: y"), "r");
  EXPECT_EQ(EventType("check in: y"), "i");
  EXPECT_EQ(EventType("checked out: y"), "o");
  EXPECT_EQ(EventType("change: y"), "c");
  EXPECT_EQ(EventType("synchronized with archive: y"), "s");
  EXPECT_EQ(EventType("a - merge b"), "m");
  EXPECT_EQ(EventType("branch: y"), "b");
  EXPECT_EQ(EventType("Archive tested"), "t");
  EXPECT_EQ(EventType("removed project: y"), "p");
  EXPECT_EQ(EventType("undo check out: y"), "u");
  EXPECT_EQ(EventType("checked out: then undo check out: y"), "u");
  EXPECT_EQ(EventType("change: after check in: y"), "c");
  EXPECT_EQ(EventType("Check In: y"), "");  // case-sensitive
  EXPECT_EQ(EventType("archive tested"), "");
  EXPECT_EQ(EventType("nothing here"), "");
}

class HistoryLogTest : public MigrationFixture {
 protected:
  void SetUp() override {
    MigrationFixture::SetUp();
    WriteRevisions(source, {{"\\src\\", "unit1.pas", "main.dpr", "smith"},
                            {"\\lib\\", "Tools.pas", "Tools.dpr", "Bob"}});
    WriteProjects(source, {{"main.dpr", "smith", "smith"}, {"Tools.dpr", "Bob", "Bob"}});
  }
  void WriteLog(const std::string& text) { WriteTextFile(source + "/hollardm.log", text); }
};

TEST_F(HistoryLogTest, ALineGivesItsProjectUserModuleTypeAndText) {
  const std::string line = "10.02.2001 14:03:11 > [smith on PC7] main.dpr - \\src\\unit1.pas - check in: fixed";
  WriteLog(line + "\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
  auto log = Records(target, "vcslog");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["PROJECTID"], std::to_string(IdOf(target, "projects", "NAME", "main.dpr", "PROJECTID")));
  EXPECT_EQ(log[0]["USERID"], std::to_string(IdOf(target, "users", "LOGIN", "smith", "USERID")));
  EXPECT_EQ(log[0]["MODULEID"], std::to_string(IdOf(target, "modules", "NAME", "unit1.pas", "MODULEID")));
  EXPECT_EQ(log[0]["TYPE"], "i");
  EXPECT_EQ(log[0]["DESCRIPTION"], " \\src\\unit1.pas - check in: fixed");
  EXPECT_EQ(StampColumn(target, "vcslog", "TSTAMP"), std::vector<std::string>{"2001-02-10 14:03:11"});
  EXPECT_EQ(user.Section("Converting Log file...", false),
            (std::vector<std::string>{"Converting " + source + "/hollardm.log", "Converting " + line,
                                      "Success. Process ready."}));
}

// A log line's user that no user of the target has is written as 0, as the rules have it,
// and counted for the summary with its name; a line without a user is not counted, and
// the projects' creators, all users here, are not either.
TEST_F(HistoryLogTest, UsersThatFindNoUserAreCountedForTheSummary) {
  WriteLog(
      "10.02.2001 14:03:11 > [ghost] main.dpr - \\src\\unit1.pas - check in: a\r\n"
      "10.02.2001 14:04:11 > [ghost on PC2] main.dpr - \\src\\unit1.pas - check in: b\r\n"
      "10.02.2001 14:05:11 > [smith] main.dpr - \\src\\unit1.pas - check in: c\r\n"
      "10.02.2001 14:06:11 > no user here\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
  auto log = Records(target, "vcslog");
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0]["USERID"], "0");
  EXPECT_EQ(log[1]["USERID"], "0");
  ASSERT_EQ(report.unmatched.size(), 1u);
  EXPECT_EQ(report.unmatched.begin()->first, "vcslog.USERID");
  EXPECT_EQ(report.unmatched.begin()->second.count, 2);
  EXPECT_EQ(report.unmatched.begin()->second.first, std::vector<std::string>{"ghost"});
}

TEST_F(HistoryLogTest, SkippedAndOddLines) {
  WriteLog(
      "11.02.2001 09:00:00 > [Bob (as admin)] Tools.dpr - \\LIB\\TOOLS.PAS - checked out: undo check out: x\r\n"
      "\r\n"
      "11.02.2001 09:30:00 > [smith] main.dpr - Backup (nightly)\r\n"
      "an undated line without a time\r\n"
      "12.02.2001 10:00:00 > smith without brackets main.dpr - somewhere\r\n"
      "31.02.2001 10:00:00 > [smith] a date that does not exist\r\n"
      "13.02.2001 11:00:00 > [SMITH] no project, no module - change: after check in:\r\n");
  // A date that does not exist reads in no format: forced past the preflight.
  force = true;
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
  auto log = Records(target, "vcslog");
  ASSERT_EQ(log.size(), 3u);
  int32_t tools = IdOf(target, "projects", "NAME", "Tools.dpr", "PROJECTID");
  int32_t bob = IdOf(target, "users", "LOGIN", "Bob", "USERID");
  int32_t smith = IdOf(target, "users", "LOGIN", "smith", "USERID");
  // "(as ...)" is cut from the user; the module is found whatever its letter case.
  EXPECT_EQ(log[0]["PROJECTID"], std::to_string(tools));
  EXPECT_EQ(log[0]["USERID"], std::to_string(bob));
  EXPECT_EQ(log[0]["MODULEID"], std::to_string(IdOf(target, "modules", "NAME", "Tools.pas", "MODULEID")));
  EXPECT_EQ(log[0]["TYPE"], "u");
  EXPECT_EQ(log[0]["DESCRIPTION"], " \\LIB\\TOOLS.PAS - checked out: undo check out: x");
  // Without "[" the date's four characters take the "s" of the text; without "]" the user
  // is empty and two more characters go from its front.
  EXPECT_EQ(log[1]["USERID"], "0");
  EXPECT_EQ(log[1]["DESCRIPTION"], "th without brackets  somewhere");
  EXPECT_EQ(log[1]["MODULEID"], "0");
  // A line naming no known module and no project: both 0, the text kept whole.
  EXPECT_EQ(log[2]["PROJECTID"], "0");
  EXPECT_EQ(log[2]["MODULEID"], "0");
  EXPECT_EQ(log[2]["USERID"], std::to_string(smith));  // found without regard to case
  EXPECT_EQ(log[2]["TYPE"], "c");
  EXPECT_EQ(log[2]["DESCRIPTION"], "no project, no module - change: after check in:");
  EXPECT_EQ(StampColumn(target, "vcslog", "TSTAMP"), (std::vector<std::string>{"2001-02-11 09:00:00", "2001-02-12 10:00:00", "2001-02-13 11:00:00"}));
  // Empty and backup lines are not echoed; undated ones are, and then passed over silently.
  EXPECT_FALSE(user.Logged("Converting "));
  EXPECT_FALSE(user.Logged("Converting 11.02.2001 09:30:00 > [smith] main.dpr - Backup (nightly)"));
  EXPECT_TRUE(user.Logged("Converting an undated line without a time"));
  EXPECT_TRUE(user.Logged("Converting 31.02.2001 10:00:00 > [smith] a date that does not exist"));
  EXPECT_TRUE(user.errors.empty());
  // The lines passed over for want of a date are counted, with their line numbers; the
  // backup event is not converted either, and was not counted anywhere.
  const auto lines = [&](const std::map<std::string, TPassedOver>& files) {
    std::vector<std::pair<int64_t, std::string>> out;
    EXPECT_EQ(files.size(), 1u);
    if (auto it = files.find(source + "/hollardm.log"); it != files.end())
      for (const TDatedText& t : it->second.first) out.push_back({t.line, t.text});
    return out;
  };
  EXPECT_EQ(lines(report.passedOver), (std::vector<std::pair<int64_t, std::string>>{
                                          {4, "an undated line without a time"},
                                          {6, "31.02.2001 10:00:00 > [smith] a date that does not exist"}}));
  EXPECT_EQ(lines(report.backupLines), (std::vector<std::pair<int64_t, std::string>>{
                                           {3, "11.02.2001 09:30:00 > [smith] main.dpr - Backup (nightly)"}}));
  EXPECT_EQ(report.passedOver.begin()->second.count, 2);
  EXPECT_EQ(report.backupLines.begin()->second.count, 1);
  std::ostringstream summary;
  PrintReportSummary(summary, report, false);
  EXPECT_NE(summary.str().find("  Backup events not converted (history log lines that hold \" - Backup (\"):\n    " +
                               source + "/hollardm.log: 1\n      line 3: 11.02.2001 09:30:00 > [smith] main.dpr - "
                               "Backup (nightly)\n"),
            std::string::npos)
      << summary.str();
  // The gauge counted every line of the file.
  EXPECT_EQ(user.gauges.back(), (std::pair<int, int>{7, 7}));
}

TEST_F(HistoryLogTest, AMissingLogStillEndsTheRun) {
  WriteTextFile(source + "/main.tdo", "1|01.03.2001 10:00:00|x|\r\n");
  Run();
  ASSERT_FALSE(report.Failed());
  // The gauge stays as step 15 left it: two projects walked.
  EXPECT_EQ(user.gauges.back(), (std::pair<int, int>{2, 2}));
  EXPECT_EQ(user.Section("Converting Log file...", false), std::vector<std::string>{"Success. Process ready."});
  ASSERT_FALSE(user.log.empty());
  EXPECT_EQ(user.log.back().rfind("Process finished at ", 0), 0u);
  EXPECT_EQ(user.stepTexts.back(), "Success. Process ready.");
  EXPECT_TRUE(Records(target, "vcslog").empty());
}

TEST_F(HistoryLogTest, AMissingLogTableStopsThePreflightNotTheLastStep) {
  // Found only when step 16 opened it, fifteen steps had written before.
  WriteLog("10.02.2001 14:03:11 > [smith] main.dpr - check in: x\r\n");
  for (const auto& e : fs::directory_iterator(target))
    if (e.path().stem() == "vcslog") fs::remove(e.path());
  Run();
  ASSERT_EQ(user.errors.size(), 1u);
  EXPECT_NE(user.errors[0].find("The target table vcslog is missing"), std::string::npos) << user.errors[0];
  EXPECT_TRUE(report.Failed());
  EXPECT_TRUE(report.preflightFailed);
  EXPECT_TRUE(report.steps.empty());
  EXPECT_FALSE(user.Logged("Success. Process ready."));
  for (const std::string& line : user.log) EXPECT_NE(line.rfind("Process finished at ", 0), 0u);
}

TEST_F(HistoryLogTest, DatesAreReadInTheChosenFormats) {
  WriteLog("2/10/2001 2:03:11 PM > [smith] main.dpr - check in: x\r\n10.02.2001 14:03:11 > [smith] other order\r\n");
  settings = ovrin::FixedFormatSettings();  // month/day/year, 12-hour times
  dateChoice.automatic = false;
  dateChoice.pattern = "m/d/yyyy";
  // The second line does not read: the run stops before it writes, unless forced.
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_NE(report.preflightMessage.find("hollardm.log, line 2: '10.02.2001 14:03:11'"), std::string::npos)
      << report.preflightMessage;
  user = TScriptedUser();
  force = true;
  Run();
  EXPECT_EQ(StampColumn(target, "vcslog", "TSTAMP"), std::vector<std::string>{"2001-02-10 14:03:11"});
  EXPECT_EQ(report.passedOver.at(source + "/hollardm.log").count, 1);
}

}  // namespace
}  // namespace hollard::test
