// The migration core driven by a scripted user: preflight, banner and step shape, the
// failure handling of a step, and steps 1 to 9 on small hand-made archives.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/file_bytes.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/unprivileged.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;

const std::string kSourceMissing = "Source tables not found!\n\rSee Hollard online help topic \"Installation\"";
const std::string kTargetMissing = "Target tables not found!\n\rSee Hollard online help topic \"Installation\"";

// ------------------------------------------------------------------ preflight and run shape

TEST(MigrationFoldersTest, ADelimiterIsAppendedOnlyWhenMissing) {
  EXPECT_EQ(TMigration::WithDelimiter(""), "/");
  EXPECT_EQ(TMigration::WithDelimiter("/data/old"), "/data/old/");
  EXPECT_EQ(TMigration::WithDelimiter("/data/old/"), "/data/old/");
}

TEST_F(MigrationFixture, PreflightNamesTheSourceFirstAndWritesNothing) {
  fs::remove_all(target);
  fs::create_directories(target);
  Run();  // neither table there: only the source box
  EXPECT_EQ(user.errors, std::vector<std::string>{kSourceMissing});
  EXPECT_TRUE(report.preflightFailed);
  EXPECT_TRUE(user.log.empty());

  user = TScriptedUser();
  WriteRevisions(source, {});
  Run();
  EXPECT_EQ(user.errors, std::vector<std::string>{kTargetMissing});
  EXPECT_TRUE(user.log.empty());
  EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(MigrationFixture, PreflightFindsTablesUnderAnyLetterCase) {
  WriteRevisions(source, {});
  WriteProjects(source, {});
  fs::rename(source + "/hollardm.db", source + "/HOLLARDM.DB");
  fs::rename(target + "/users.DAT", target + "/USERS.dat");
  Run();
  EXPECT_FALSE(report.preflightFailed);
}

TEST_F(MigrationFixture, BannerStepTextsAndSuccessLines) {
  WriteRevisions(source, {});
  WriteProjects(source, {});
  Run();
  ASSERT_GE(user.log.size(), 7u);
  EXPECT_EQ(user.log[0], "Hollard version archive conversion tool");
  EXPECT_EQ(user.log[1], std::string(39, '='));
  EXPECT_EQ(user.log[2], "Converting from Paradox archive V1.4 - " + source + "/");
  EXPECT_EQ(user.log[3], "Converting to Ovrin archive V2.0 - " + target + "/");
  EXPECT_EQ(user.log[4], "Ovrin engine version: 1.19");
  EXPECT_EQ(user.log[5].rfind("Process started at ", 0), 0u);
  EXPECT_EQ(user.log[6], "");
  // After the banner, the archive's date format and why it was taken.
  EXPECT_EQ(user.log[7], "Dates read as dd.mm.yyyy, time separator ':' (no dated texts in the archive; the locale's format)");
  // Empty tables: every step still ends with "Success.", its gauge at 0 of 0 (the labels
  // procedure writes one after each of its two steps); the last one ends the run.
  EXPECT_EQ(user.Count("Success."), 11);
  ASSERT_GE(user.log.size(), 2u);
  EXPECT_EQ(user.log[user.log.size() - 2], "Success. Process ready.");
  EXPECT_EQ(user.log.back().rfind("Process finished at ", 0), 0u);
  // The banner, the date format and the last line do not scroll.
  EXPECT_EQ(user.scrolls, static_cast<int>(user.log.size()) - 9);
  EXPECT_EQ(user.stepTexts.back(), "Success. Process ready.");
  EXPECT_TRUE(user.errors.empty());
  std::vector<std::string> texts;
  for (const std::string& t : user.stepTexts)
    if (t != "Success") texts.push_back(t);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Converting users... #1 - Step 1/16", "Converting users... #2 - Step 2/16",
                       "Converting projects... - Step 3/16", "Converting modules...#1 - Step 4/16",
                       "Converting modules...#2 - Step 5/16", "Converting shared dependencies...#1 - Step 6/16",
                       "Converting shared dependencies...#2 - Step 7/16",
                       "Converting hidden dependencies...#1 - Step 8/16",
                       "Converting hidden dependencies...#2 - Step 9/16",
                       "Converting revisions... - Step 10/16", "Converting labels... - Step 11/16",
                       "Assign labels... - Step 12/16", "Converting  ToDo list... - Step 13/16",
                       "Converting User Module list... - Step 14/16", "Converting Cross-references... - Step 15/16",
                       "Converting  Log file... - Step 16/16", "Success. Process ready."}));
  for (auto& g : user.gauges) EXPECT_EQ(g, (std::pair<int, int>{0, 0}));
  // No question without a marked module, but the controls were enabled and reset.
  EXPECT_TRUE(user.asked.empty());
  EXPECT_EQ(user.questionsBegun.size(), 2u);
  EXPECT_EQ(user.questionsEnded, 2);
  EXPECT_FALSE(report.Failed());
}

TEST_F(MigrationFixture, TheStartTimeIsInTheUsersFormats) {
  WriteRevisions(source, {});
  WriteProjects(source, {});
  TMigration m(user);
  ovrin::TFormatSettings settings = ovrin::FixedFormatSettings();
  settings.ShortDateFormat = "yyyy-mm-dd";
  settings.DateSeparator = '-';
  settings.LongTimeFormat = "hh:nn:ss";
  m.SetFormatSettings(settings);
  m.SetSourceDir(source);
  m.SetTargetDir(target);
  m.Import();
  ASSERT_GE(user.log.size(), 6u);
  const std::string& line = user.log[5];
  ASSERT_EQ(line.size(), std::string("Process started at 2026-12-07 10:00:00").size()) << line;
  EXPECT_EQ(line[23], '-');
  EXPECT_EQ(line[26], '-');
  EXPECT_EQ(line[32], ':');
}

// A source table that did not open was left to its step, which wrote the steps before
// it and then showed the open error followed by a second, confusing "Cannot perform this
// operation on a closed dataset". The preflight now stops before anything is written;
// forced, the step fails with the open error alone.
TEST_F(MigrationFixture, ASourceTableThatCannotOpenStopsThePreflightAndForcedShowsOnlyItsOwnError) {
  WriteRevisions(source, {{"\\src\\", "a.pas", "Main.dpr", "ada"}});
  auto before = FolderBytes(target);
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage, "Table does not exist: " + source + "/hollardp.DB\nNothing was written.");
  EXPECT_EQ(user.errors, std::vector<std::string>{report.preflightMessage});
  EXPECT_EQ(FolderBytes(target), before);

  user = TScriptedUser();
  force = true;
  Run();
  EXPECT_EQ(user.errors, std::vector<std::string>{"Table does not exist: " + source + "/hollardp.DB"});
  EXPECT_EQ(user.Section("Converting projects..."), std::vector<std::string>{"Converting modules..."});
  EXPECT_EQ(user.Count("Success."), 10);
  EXPECT_TRUE(user.Logged("Success. Process ready."));
  ASSERT_EQ(report.steps.size(), 11u);
  EXPECT_FALSE(report.steps[1].succeeded);
  EXPECT_EQ(report.steps[1].errors.size(), 1u);
  EXPECT_TRUE(report.steps[2].succeeded);
  EXPECT_TRUE(report.Failed());
  // The next step ran: the module is there, linked to project 0.
  EXPECT_EQ(Column(target, "modules", "NAME"), std::vector<std::string>{"a.pas"});
  EXPECT_EQ(Column(target, "pjmodule", "PROJECTID"), std::vector<std::string>{"0"});
  EXPECT_TRUE(user.Logged("Converting from Paradox archive V1.4 - " + source + "/"));
}

TEST_F(MigrationFixture, AReadOnlyTargetTableStopsThePreflightNamingItAndNothingIsWritten) {
  WriteRevisions(source, {{"\\src\\", "a.pas", "Main.dpr", "ada"}});
  WriteProjects(source, {{"Main.dpr", "ada", ""}});
  // Run, the steps that write users failed with "Cannot modify a read-only dataset",
  // naming no table, after the others had written.
  fs::permissions(target + "/users.DAT",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const auto before = FolderBytes(target);
  Run();
  EXPECT_TRUE(report.preflightFailed);
  ASSERT_EQ(user.errors.size(), 1u);
  EXPECT_NE(user.errors[0].find("The target table users cannot be written: " + target + "/users.DAT is read-only"),
            std::string::npos)
      << user.errors[0];
  EXPECT_NE(user.errors[0].find("Nothing was written."), std::string::npos);
  EXPECT_TRUE(report.steps.empty());
  EXPECT_EQ(FolderBytes(target), before);
}

// A target file this user may not read was called read-only, with the advice to make it
// writable, which did not cure it: it is named with the system's reason now.
TEST_F(MigrationFixture, ATargetTableThisUserMayNotReadIsNamedWithTheReason) {
  WriteRevisions(source, {{"\\src\\", "a.pas", "Main.dpr", "ada"}});
  WriteProjects(source, {{"Main.dpr", "ada", ""}});
  if (::geteuid() == 0) ovrin::test::OpenToEveryone(dir.Path());
  fs::permissions(target + "/users.IDX", fs::perms::none);
  const auto before = FolderBytes(target);
  EXPECT_EQ(ovrin::test::AsUnprivileged([&] {
              Run();
              std::string wrong;
              if (!report.preflightFailed || !report.steps.empty()) wrong += "not stopped by the preflight\n";
              const std::string expected = "The target table users cannot be used: " + target +
                                           "/users.IDX cannot be read (Permission denied). The run reads and "
                                           "writes every file of the target's tables.";
              if (user.errors.size() != 1 || user.errors[0].find(expected) == std::string::npos)
                wrong += "said: " + (user.errors.empty() ? std::string("nothing") : user.errors[0]) + "\n";
              return wrong;
            }),
            "");
  fs::permissions(target + "/users.IDX", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(FolderBytes(target), before);
}

// A folder this user may not list hides its tables: "not found" alone sent the user
// looking for a wrong path.
TEST_F(MigrationFixture, TablesInAFolderThisUserMayNotReadAreNotFoundForThatReason) {
  WriteRevisions(source, {{"\\src\\", "a.pas", "Main.dpr", "ada"}});
  WriteProjects(source, {{"Main.dpr", "ada", ""}});
  if (::geteuid() == 0) ovrin::test::OpenToEveryone(dir.Path());
  ::chmod(target.c_str(), ::geteuid() == 0 ? 0700 : 0);
  EXPECT_EQ(ovrin::test::AsUnprivileged([&] {
              Run();
              const std::string& m = report.preflightMessage;
              if (m.rfind("Target tables not found! The folder " + target, 0) != 0 ||
                  m.find(" cannot be read by this user (Permission denied).\n\rSee Hollard online help topic "
                         "\"Installation\"") == std::string::npos)
                return "said: " + m;
              return std::string();
            }),
            "");
  ::chmod(target.c_str(), 0755);
}

TEST_F(MigrationFixture, AMissingFieldEndsTheStepWithItsName) {
  // A revision table without SHARE: step 6 fails, step 8 runs.
  std::vector<TParadoxColumn> columns = {{"PATH", pxAlpha, 20}, {"FNAME", pxAlpha, 20}, {"PROJECT", pxAlpha, 20},
                                         {"LOCKEDBY", pxAlpha, 20}, {"OPTIONS", pxLong, 4}, {"TSTAMP", pxTimestamp, 8},
                                         {"LOCKTSTAMP", pxTimestamp, 8}, {"READONLY", pxLogical, 1},
                                         {"HIDDEN", pxLogical, 1}};
  WriteParadoxTable(source + "/hollardm.db", "", columns,
                    {{Text("\\"), Text("x"), Text("P.dpr"), Text("ada"), Number(0), Stamp(6.3e13), Stamp(6.3e13),
                      Number(0), Number(1)}});
  WriteProjects(source, {{"P.dpr", "ada", "ada"}});
  user.hiddenAnswers["\\x"] = {"P.dpr"};
  // The preflight names every field the table lacks before anything is written.
  auto before = FolderBytes(target);
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage,
            "The source table " + source +
                "/hollardm.db lacks the fields LCOMMENT, VCOMMENT, VERSION, REVISION, NR, VERSTATE, OPTIONS2, FSIZE, "
                "FLAG2, COMPSIZE, ASFSIZE, ASCOMPSIZE, FLAG, FTIME, ASFTIME, SHARE, BINARY, ASBINARY that the run reads "
                "(the step that reads the first would fail after the steps before it have written).\nNothing was written.");
  EXPECT_EQ(FolderBytes(target), before);
  // Forced, each step that reads a missing field fails, and the others run.
  user = TScriptedUser();
  user.hiddenAnswers["\\x"] = {"P.dpr"};
  force = true;
  Run();
  // Steps 10 and 12 fail too: this table has none of the revision fields.
  // Each message says where the step was: the source record and the target tables.
  const std::string old = source + "/hollardm.db", targets = " in " + target + "/)";
  ASSERT_EQ(user.errors,
            (std::vector<std::string>{
                "Field 'SHARE' not found\n(step 6, at record 1 of the source table " + old +
                    "; writing the target tables projects, pjmodule, modules" + targets,
                "Field 'VERSION' not found\n(step 10, at record 1 of the source table " + old +
                    "; writing the target tables revision, blobs, modules, users" + targets,
                "Field 'FLAG' not found\n(step 12, at record 1 of the source table " + old +
                    "; writing the target tables labels, modules, revision, rvlabels" + targets}));
  EXPECT_EQ(user.questionsEnded, 2);  // the failed step put the question controls back too
  EXPECT_EQ(user.asked, std::vector<std::string>{"\\x"});  // step 9 still asked
  EXPECT_EQ(Column(target, "pjmodule", "HIDDEN"), std::vector<std::string>{"1"});
}

TEST_F(MigrationFixture, TheSourceArchiveIsNeverWritten) {
  TSourceOptions o;
  o.revisions = 60;
  o.modules = 12;
  o.blobBytes = 3000;
  WriteSourceArchive(source, PlanSourceArchive(o), o);
  auto before = FolderBytes(source);
  Run();
  EXPECT_FALSE(report.Failed());
  EXPECT_EQ(FolderBytes(source), before);
}

// ------------------------------------------------------------------ users and projects

TEST_F(MigrationFixture, LoginsThatDifferInCaseMakeOneUserInCaseInsensitiveOrder) {
  WriteRevisions(source, {{"\\", "a", "P", "Smith"},
                          {"\\", "b", "P", "smith"},
                          {"\\", "c", "P", "SMITH"},
                          {"\\", "d", "P", "bob"},
                          {"\\", "e", "P", "Ada"},
                          {"\\", "f", "P", ""}});
  WriteProjects(source, {});
  Run();
  EXPECT_EQ(user.Section("Converting users..."),
            (std::vector<std::string>{"Adding ", "Adding Ada", "Adding bob", "Adding Smith", "Success."}));
  EXPECT_EQ(Column(target, "users", "LOGIN"), (std::vector<std::string>{"", "Ada", "bob", "Smith"}));
  auto users = Records(target, "users");
  for (auto& u : users) {
    EXPECT_EQ(u["PW"], TMigration::kInitialPassword);
    EXPECT_EQ(u["PW"].size(), 155u);
    EXPECT_EQ(u["IPADDR"], "0");
    EXPECT_EQ(u["RIGHTS"], "2");
    EXPECT_EQ(u["DELETED"], "0");
    EXPECT_EQ(u["DESCRIPTION"], "");
  }
  EXPECT_EQ(users[3]["USERID"], "4");
  EXPECT_EQ(report.added.at("users"), 4);
  // Modules locked by any spelling find the one user (the exact walk fails, the one
  // that ignores case finds 'Smith').
  EXPECT_EQ(Column(target, "modules", "USERID"), (std::vector<std::string>{"4", "4", "4", "3", "2", "1"}));
}

TEST_F(MigrationFixture, ExistingUsersAreFoundOnlyInTheirExactSpelling) {
  {
    ovrin::TOvrinTable users;
    users.SetDatabaseName(target);
    users.SetTableName("users");
    users.Open();
    for (const char* login : {"smith", "jones"}) {
      users.Append();
      users.FieldByName("LOGIN").SetAsString(login);
      users.Post();
    }
  }
  WriteRevisions(source, {{"\\", "a", "P", "Smith"}, {"\\", "b", "P", "jones"}});
  WriteProjects(source, {});
  Run();
  // Both get their "Adding" line; only 'Smith' is new.
  EXPECT_EQ(user.Section("Converting users..."),
            (std::vector<std::string>{"Adding jones", "Adding Smith", "Success."}));
  EXPECT_EQ(Column(target, "users", "LOGIN"), (std::vector<std::string>{"smith", "jones", "Smith"}));
}

TEST_F(MigrationFixture, ProjectsSkipOnlyTheStandardProjectInExactCase) {
  WriteRevisions(source, {{"\\", "a", "Main.dpr", "ada"}});
  WriteProjects(source, {{"Main.dpr", "ada", "nobody"},
                         {"_HLRD_std.dpr", "ada", "ada"},
                         {"_hlrd_std.dpr", "ADA", ""},
                         {"Main.dpr", "", "ada"}});
  Run();
  EXPECT_EQ(user.Section("Converting projects..."),
            (std::vector<std::string>{"Adding Main.dpr", "Adding _hlrd_std.dpr", "Adding Main.dpr", "Success."}));
  auto projects = Records(target, "projects");
  ASSERT_EQ(projects.size(), 3u);
  EXPECT_EQ(projects[0]["CREATEDBY"], "1");
  EXPECT_EQ(projects[0]["LASTUSER"], "0");  // not a user
  EXPECT_EQ(projects[1]["CREATEDBY"], "1");  // 'ADA' finds 'ada'
  EXPECT_EQ(projects[1]["LASTUSER"], "0");   // no user has the empty login here
  EXPECT_EQ(projects[2]["CREATEDBY"], "0");
  for (auto& p : projects) {
    EXPECT_EQ(p["HISTORY"], "Converted by Dovoruv 2.0");
    EXPECT_EQ(p["DELETED"], "0");
  }
}

// ------------------------------------------------------------------ modules

TEST_F(MigrationFixture, OneModulePerKeyLinkedToTheProjectOfItsFirstRecord) {
  std::vector<TRevisionRow> rows;
  for (int i = 0; i < 20; ++i) rows.push_back({"\\src\\", "Unit1.pas", i == 0 ? "B.dpr" : "A.dpr", "", false, false, true, 7});
  rows.push_back({"\\SRC\\", "unit1.PAS", "A.dpr", "ada"});
  rows.push_back({"c:\\lib\\", "x.pas", "A.dpr", "ada"});
  WriteRevisions(source, rows);
  WriteProjects(source, {{"A.dpr", "", ""}, {"B.dpr", "", ""}});
  Run();
  EXPECT_EQ(user.Section("Converting modules..."),
            (std::vector<std::string>{"Adding \\src\\Unit1.pas", "Adding c:\\lib\\x.pas", "Success."}));
  auto modules = Records(target, "modules");
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0]["PATH"], "\\src\\");
  EXPECT_EQ(modules[0]["NAME"], "Unit1.pas");
  EXPECT_EQ(modules[0]["READONLY"], "1");
  EXPECT_EQ(modules[0]["FLAGS"], "7");
  EXPECT_EQ(modules[0]["USERID"], "1");  // the empty login's user
  EXPECT_EQ(modules[1]["READONLY"], "0");
  EXPECT_EQ(modules[1]["USERID"], "2");
  EXPECT_EQ(modules[1]["LASTUSER"], "2");
  auto links = Records(target, "pjmodule");
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0]["MODULEID"], "1");
  EXPECT_EQ(links[0]["PROJECTID"], "2");  // B.dpr, the project of the first record
  EXPECT_EQ(links[0]["HIDDEN"], "0");
  EXPECT_EQ(links[1]["PROJECTID"], "1");
  // Gauges of steps 4 and 5 walk every record.
  EXPECT_EQ(user.gauges[3], (std::pair<int, int>{22, 22}));
  EXPECT_EQ(user.gauges[4], (std::pair<int, int>{22, 22}));
  EXPECT_EQ(report.unmatched.count("pjmodule.PROJECTID"), 0u);
}

// A module whose first record names a project the project table lacks is linked to
// project 0, as the rules have it; the summary did not say so.
TEST_F(MigrationFixture, AModuleOfAProjectThatIsNotThereIsCountedForTheSummary) {
  WriteRevisions(source, {{"\\src\\", "a.pas", "A.dpr", ""}, {"\\src\\", "b.pas", "Ghost.dpr", ""}});
  WriteProjects(source, {{"A.dpr", "", ""}});
  Run();
  ASSERT_FALSE(report.Failed());
  EXPECT_EQ(Column(target, "pjmodule", "PROJECTID"), (std::vector<std::string>{"1", "0"}));
  ASSERT_EQ(report.unmatched.count("pjmodule.PROJECTID"), 1u);
  EXPECT_EQ(report.unmatched.at("pjmodule.PROJECTID").count, 1);
  EXPECT_EQ(report.unmatched.at("pjmodule.PROJECTID").first, std::vector<std::string>{"Ghost.dpr"});
}

// ------------------------------------------------------------------ shared and hidden modules

class DependencyTest : public MigrationFixture {
 protected:
  void SetUp() override {
    MigrationFixture::SetUp();
    WriteRevisions(source, {{"\\src\\", "a.pas", "One.dpr", "", true, false},
                            {"\\src\\", "a.pas", "One.dpr", "", true, true},
                            {"\\src\\", "b.pas", "One.dpr", "", true, false},
                            {"\\src\\", "c.pas", "Two.dpr", "", true, true},
                            {"d:\\x\\", "d.pas", "One.dpr", "", false, true},
                            {"\\src\\", "e.pas", "One.dpr", "", false, false}});
    WriteProjects(source, {{"One.dpr", "", ""}, {"Two.dpr", "", ""}, {"Two.dpr", "", ""}, {"Three.dpr", "", ""}});
  }
};

TEST_F(DependencyTest, SharedModulesAreAskedOnceAndLinkedAsAnswered) {
  user.answers["\\src\\a.pas"] = {"One.dpr", "Two.dpr", "Three.dpr"};
  user.answers["\\src\\b.pas"] = {};  // OK with nothing selected
  // c.pas: Skip.
  Run();
  EXPECT_EQ(user.questionsBegun,
            (std::vector<std::string>{"Module is shared between:", "Module is hidden in:"}));
  EXPECT_EQ(user.asked, (std::vector<std::string>{"\\src\\a.pas", "\\src\\b.pas", "\\src\\c.pas",  // shared
                                                  "\\src\\a.pas", "\\src\\c.pas", "d:\\x\\d.pas"}));  // hidden
  EXPECT_EQ(user.Section("Converting shared dependencies..."),
            (std::vector<std::string>{"Already assigned: \\src\\a.pas -> One.dpr",
                                      "Sharing: \\src\\a.pas -> Two.dpr", "Sharing: \\src\\a.pas -> Three.dpr",
                                      "Success."}));
  auto links = Records(target, "pjmodule");
  ASSERT_EQ(links.size(), 7u);  // five from step 5, two shared
  EXPECT_EQ(links[5]["MODULEID"], "1");
  EXPECT_EQ(links[5]["PROJECTID"], "2");  // the first "Two.dpr"
  EXPECT_EQ(links[6]["PROJECTID"], "4");
  // The hourglass around each answered shared question, never in the hidden step.
  EXPECT_EQ(user.busyChanges, (std::vector<bool>{true, false, true, false, true, false}));
  EXPECT_EQ(report.added.at("pjmodule"), 7);
}

TEST_F(DependencyTest, HiddenMarksOnlyExistingLinks) {
  user.hiddenAnswers["\\src\\a.pas"] = {"One.dpr", "Three.dpr"};  // linked to One only
  user.hiddenAnswers["\\src\\c.pas"] = {"One.dpr"};               // not linked to One
  user.hiddenAnswers["d:\\x\\d.pas"] = {"One.dpr"};
  Run();
  EXPECT_EQ(user.Section("Converting hidden dependencies..."), std::vector<std::string>{"Success."});
  auto links = Records(target, "pjmodule");
  ASSERT_EQ(links.size(), 5u);
  std::vector<std::string> hidden;
  for (auto& l : links) hidden.push_back(l["HIDDEN"]);
  EXPECT_EQ(hidden, (std::vector<std::string>{"1", "0", "0", "1", "0"}));
  EXPECT_EQ(report.changed.at("pjmodule"), 2);
}

TEST_F(DependencyTest, TheProjectListIsTheTargetsProjectsInTableOrder) {
  std::vector<std::vector<std::string>> seen;
  struct TWatch : TScriptedUser {
    std::vector<std::vector<std::string>>* seen;
    std::optional<std::vector<int>> Ask(const std::string& module) override {
      seen->push_back(projects);
      return TScriptedUser::Ask(module);
    }
  } watch;
  watch.seen = &seen;
  TMigration m(watch);
  m.SetSourceDir(source);
  m.SetTargetDir(target);
  m.Import();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0], (std::vector<std::string>{"One.dpr", "Two.dpr", "Two.dpr", "Three.dpr"}));
  EXPECT_TRUE(watch.projects.empty());  // cleared when the question ended
}

TEST_F(DependencyTest, EitherOfTwoProjectsOfOneNameResolvesToTheFirst) {
  struct TSecondEntry : TScriptedUser {
    std::optional<std::vector<int>> Ask(const std::string& module) override {
      asked.push_back(module);
      if (questionText == "Module is shared between:" && module == "\\src\\b.pas") return std::vector<int>{2};
      return std::nullopt;
    }
  } second;
  TMigration m(second);
  m.SetSourceDir(source);
  m.SetTargetDir(target);
  m.Import();
  // The list shows One, Two, Two, Three; the second "Two.dpr" is project 3, but the
  // lookup by name finds project 2.
  auto links = Records(target, "pjmodule");
  ASSERT_EQ(links.size(), 6u);
  EXPECT_EQ(links[5]["MODULEID"], "2");
  EXPECT_EQ(links[5]["PROJECTID"], "2");
}

// ------------------------------------------------------------------ lookups

TEST_F(MigrationFixture, LookupsPreferTheExactSpellingThenIgnoreCase) {
  WriteRevisions(source, {});
  WriteProjects(source, {});
  ovrin::TOvrinTable modules;
  modules.SetDatabaseName(target);
  modules.SetTableName("modules");
  modules.Open();
  for (auto [path, name] : std::vector<std::pair<std::string, std::string>>{
           {"\\SRC\\", "Unit1.pas"}, {"\\src\\", "unit1.pas"}, {"\\lib\\", "Unit1.pas"}}) {
    modules.Append();
    modules.FieldByName("PATH").SetAsString(path);
    modules.FieldByName("NAME").SetAsString(name);
    modules.Post();
  }
  TScriptedUser quiet;
  TMigration m(quiet);
  EXPECT_EQ(m.FindModuleId(modules, "unit1.pas", "\\src\\"), 2);  // exact beats the earlier case variant
  EXPECT_EQ(m.FindModuleId(modules, "UNIT1.PAS", "\\Src\\"), 1);  // first case-insensitive match
  EXPECT_EQ(m.FindModuleId(modules, "Unit1.pas", "\\LIB\\"), 3);
  EXPECT_EQ(m.FindModuleId(modules, "Unit1.pas", "\\other\\"), 0);  // NAME alone is not enough
  EXPECT_EQ(m.FindModuleId(modules, "Unit1.pàs", "\\src\\"), 0);     // accents still count
}

}  // namespace
}  // namespace hollard::test
