// Steps 13 to 15 (ToDo lists, module lists, cross-references) and their text forms: the
// line reader, the file-name helpers and the comparer's lower-casing.
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/base/conversions.h"
#include "main/text_file.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/unprivileged.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> out;
  ForEachTextLine(path, [&](const std::string& line) { out.push_back(line); });
  return out;
}

TEST(TextLineReaderTest, LineEndsOfEveryKind) {
  ovrin::test::TempDir dir;
  std::string path = dir / "lines.txt";
  WriteTextFile(path, "one\r\ntwo\nthree\rfour\n\r\n\n\rlast");
  EXPECT_EQ(Lines(path), (std::vector<std::string>{"one", "two", "three", "four", "", "", "", "last"}));
  WriteTextFile(path, "only\r\n");
  EXPECT_EQ(Lines(path), std::vector<std::string>{"only"});
  WriteTextFile(path, "");
  EXPECT_TRUE(Lines(path).empty());
  WriteTextFile(path, "\r\n");
  EXPECT_EQ(Lines(path), std::vector<std::string>{""});
  // A CR LF split across two reads of the file is still one line end.
  for (size_t length : {size_t(65535), size_t(65534), size_t(65536), size_t(131071)}) {
    SCOPED_TRACE(length);
    std::string longLine(length, 'x');
    WriteTextFile(path, longLine + "\r\nnext\r");
    EXPECT_EQ(Lines(path), (std::vector<std::string>{longLine, "next"}));
  }
  EXPECT_THROW(TTextLineReader(dir / "missing.txt"), std::runtime_error);
  // An editor's byte order mark at the start is no part of the first line; elsewhere it
  // is text like any other.
  WriteTextFile(path, "\xEF\xBB\xBF\\src\\unit0.pas\r\n\xEF\xBB\xBFsecond");
  EXPECT_EQ(Lines(path), (std::vector<std::string>{"\\src\\unit0.pas", "\xEF\xBB\xBFsecond"}));
  WriteTextFile(path, "\xEF\xBB\xBF");
  EXPECT_TRUE(Lines(path).empty());
  WriteTextFile(path, "\xEF\xBB");
  EXPECT_EQ(Lines(path), std::vector<std::string>{"\xEF\xBB"});
}

TEST(SideFileFormsTest, FileNamesAndLowerCase) {
  EXPECT_EQ(SplitFileName("C:\\Work\\Src\\Unit1.PAS"), (std::pair<std::string, std::string>{"C:\\Work\\Src\\", "Unit1.PAS"}));
  EXPECT_EQ(SplitFileName("c:Unit1.pas"), (std::pair<std::string, std::string>{"c:", "Unit1.pas"}));
  EXPECT_EQ(SplitFileName("Unit1.pas"), (std::pair<std::string, std::string>{"", "Unit1.pas"}));
  EXPECT_EQ(ChangeFileExt("Main.dpr", ".tdo"), "Main.tdo");
  EXPECT_EQ(ChangeFileExt("Main", ".tdo"), "Main.tdo");
  EXPECT_EQ(ChangeFileExt("my.app.dpr", ".prl"), "my.app.prl");
  EXPECT_EQ(ChangeFileExt("dir.v2\\Main", ".pcr"), "dir.v2\\Main.pcr");
  TTextComparer comparer("windows-1252", "de_DE");
  EXPECT_EQ(comparer.Lower("C:\\Work\\Src\\Unit1.PAS"), "c:\\work\\src\\unit1.pas");
  EXPECT_EQ(comparer.Lower("\xC4RGER.PAS"), "\xE4rger.pas");  // the code page's letters too
}

class SideFilesTest : public MigrationFixture {
 protected:
  void SetUp() override {
    MigrationFixture::SetUp();
    WriteRevisions(source, {{"\\src\\", "Unit2.pas", "Main.dpr", "smith"},
                            {"\\src\\", "unit3.pas", "Main.dpr", "jones"},
                            {"\\lib\\", "Tools.pas", "Tools.dpr", ""}});
    WriteProjects(source, {{"Main.dpr", "smith", "smith"}, {"Tools.dpr", "jones", "jones"}});
  }
  std::string Side(const std::string& name) { return source + "/" + name; }
  const TStepOutcome& Step(const std::string& procedure) {
    for (const TStepOutcome& s : report.steps)
      if (s.procedure == procedure) return s;
    throw std::runtime_error("no step " + procedure);
  }
};

TEST_F(SideFilesTest, ToDoLinesSplitSortedOnceEachAndLinkedToTheirUsers) {
  WriteTextFile(Side("Main.tdo"),
            "2|01.03.2001 10:15:00|Fix build|x|y|smith\r\n"
            "1|02.03.2001 09:00:00|No login|open|done\r\n"
            "2|01.03.2001 10:15:00|FIX BUILD|x|y|smith\r\n"  // the same line in other letter case
            "1|02.03.2001 09:00:00|No login|open|done\r\n"   // the same line again
            "3|03.03.2001 08:00:00|Piped login|s|f|a|b\r\n"
            "4|04.03.2001 08:00:00|Unknown login|s|f|nobody\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
  auto todo = Records(target, "todo");
  ASSERT_EQ(todo.size(), 4u);
  // Ascending case-insensitive order of the lines, not file order.
  EXPECT_EQ(Column(target, "todo", "DESCRIPTION"),
            (std::vector<std::string>{"No login", "Fix build", "Piped login", "Unknown login"}));
  int32_t main = IdOf(target, "projects", "NAME", "Main.dpr", "PROJECTID");
  int32_t smith = IdOf(target, "users", "LOGIN", "smith", "USERID");
  ASSERT_GT(smith, 0);
  for (auto& r : todo) {
    EXPECT_EQ(r["PROJECTID"], std::to_string(main));
    EXPECT_EQ(r["CATEGORY"], "");
    EXPECT_EQ(r["USERID"], r["RESPONSIBLE"]);
  }
  EXPECT_EQ(todo[0]["USERID"], "0");
  EXPECT_EQ(todo[0]["PRIORITY"], "1");
  EXPECT_EQ(todo[0]["STATE"], "open");
  EXPECT_EQ(todo[1]["USERID"], std::to_string(smith));
  EXPECT_EQ(todo[1]["PRIORITY"], "2");
  EXPECT_EQ(todo[1]["STATE"], "x");
  EXPECT_EQ(todo[2]["USERID"], "0");  // the login "a|b" is no user
  EXPECT_EQ(todo[3]["USERID"], "0");
  // The two logins that name no user are said in the summary; lines without one are not.
  ASSERT_EQ(report.unmatched.count("todo.USERID"), 1u);
  EXPECT_EQ(report.unmatched.at("todo.USERID").count, 2);
  EXPECT_EQ(report.unmatched.at("todo.USERID").first, (std::vector<std::string>{"a|b", "nobody"}));
  EXPECT_EQ(StampColumn(target, "todo", "CREATED"), (std::vector<std::string>{"2001-03-02 09:00:00", "2001-03-01 10:15:00",
                                                                         "2001-03-03 08:00:00", "2001-03-04 08:00:00"}));
  EXPECT_EQ(StampColumn(target, "todo", "TARGETDATE")[0], "1899-12-30 00:00:00");
  EXPECT_EQ(StampColumn(target, "todo", "DONEDATE")[0], "1899-12-30 00:00:00");
  EXPECT_EQ(user.Section("Converting ToDo list...", false),
            (std::vector<std::string>{"Converting " + source + "/Main.tdo", "Success."}));
  // The lines taken once with an earlier one are counted for the summary, with their
  // line numbers: nothing said that six lines made four items.
  ASSERT_EQ(report.mergedLines.count(source + "/Main.tdo"), 1u);
  const TPassedOver& merged = report.mergedLines.at(source + "/Main.tdo");
  EXPECT_EQ(merged.count, 2);
  ASSERT_EQ(merged.first.size(), 2u);
  EXPECT_EQ(merged.first[0].line, 3);
  EXPECT_EQ(merged.first[0].text, "2|01.03.2001 10:15:00|FIX BUILD|x|y|smith");
  EXPECT_EQ(merged.first[1].line, 4);
}

// A ToDo line the step cannot convert in any date format stops the run before it writes,
// naming the file and its lines; forced, the step stops at the first such line.
TEST_F(SideFilesTest, AMalformedToDoLineEndsTheStep) {
  // Sorted, "1|..." is converted before "x|..." fails; Tools.dpr comes later and is not read.
  WriteTextFile(Side("Main.tdo"), "x|01.03.2001 10:00:00|bad priority|\r\n1|01.03.2001 10:00:00|good|s\r\n");
  WriteTextFile(Side("Tools.tdo"), "1|01.03.2001 10:00:00|never read|\r\n");
  auto before = FolderBytes(target);
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage,
            "The ToDo file " + Side("Main.tdo") +
                " holds 1 line the ToDo step cannot convert (line 1: the priority 'x' is no whole number). The step "
                "converts a file's lines in sorted order and would stop at the first of them in that order, leaving "
                "out the lines after it and the ToDo lists of the projects after this one.\nNothing was written.");
  EXPECT_EQ(FolderBytes(target), before);
  user = TScriptedUser();
  force = true;
  Run();
  // The message names the file and the line the text was read from.
  EXPECT_EQ(user.errors, std::vector<std::string>{source + "/Main.tdo, line 1: 'x' is not a valid integer value"});
  EXPECT_FALSE(Step("ConvertToDoLists").succeeded);
  EXPECT_TRUE(Step("ConvertModuleLists").succeeded);  // the run goes on
  EXPECT_EQ(Column(target, "todo", "DESCRIPTION"), std::vector<std::string>{"good"});
  EXPECT_FALSE(user.Logged("Converting " + source + "/Tools.tdo"));
  EXPECT_TRUE(user.Logged("Success. Process ready."));
}

TEST_F(SideFilesTest, AnEmptyLineEndsTheStep) {
  // Empty lines, lines without fields and creation dates that are words read in no date
  // format: the preflight counts them all, each distinct line once (as the step converts
  // it: the second empty line is the first again), showing the first three.
  WriteTextFile(Side("Main.tdo"), "1|01.03.2001 10:00:00|fine|\r\n\r\nno fields\r\n2|today|word|\r\n3||none|\r\n"
                                  "\r\n4|n/a|again|\r\n");
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage,
            "The ToDo file " + Side("Main.tdo") +
                " holds 5 lines the ToDo step cannot convert (line 2: the creation date '' is no date; line 3: the "
                "creation date '' is no date; line 4: the creation date 'today' is no date; and 2 more). The step "
                "converts a file's lines in sorted order and would stop at the first of them in that order, leaving "
                "out the lines after it and the ToDo lists of the projects after this one.\nNothing was written.");
  EXPECT_TRUE(user.log.empty());
  user = TScriptedUser();
  WriteTextFile(Side("Main.tdo"), "1|01.03.2001 10:00:00|fine|\r\n\r\n");
  force = true;
  Run();
  EXPECT_EQ(user.errors, std::vector<std::string>{source + "/Main.tdo, line 2: '' is not a valid date and time"});
  EXPECT_TRUE(Records(target, "todo").empty());  // the empty line sorts first
  // The step's message quotes the line decoded from the archive's code page (the raw
  // byte made the log and the terminal's text invalid UTF-8).
  user = TScriptedUser();
  CreateNewLayoutArchive(target, true);
  WriteTextFile(Side("Main.tdo"), "1|W\xF6rd|cp1252|\r\n");
  Run();
  EXPECT_EQ(user.errors,
            std::vector<std::string>{source + "/Main.tdo, line 1: 'W\xC3\xB6rd' is not a valid date and time"});
}

// A description that no "|" ends is no field of the ToDo line: the step keeps the line
// without its text, silently. The preflight names such lines; forced, the run converts
// them as the step has it.
TEST_F(SideFilesTest, ADescriptionNoBarEndsStopsThePreflight) {
  WriteTextFile(Side("Main.tdo"), "1|01.03.2001 10:00:00|kept|\r\n2|01.03.2001 10:00:00|lost text\r\n"
                                  "3|01.03.2001 10:00:00|   \r\n");
  auto before = FolderBytes(target);
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage,
            "The ToDo file " + Side("Main.tdo") +
                " holds 1 line whose description the ToDo step would leave out (line 2: 'lost text'): the text after "
                "the creation date is a description only when a '|' ends it.\nNothing was written.");
  EXPECT_EQ(FolderBytes(target), before);
  user = TScriptedUser();
  force = true;
  Run();
  EXPECT_TRUE(user.errors.empty());
  EXPECT_EQ(Column(target, "todo", "DESCRIPTION"), (std::vector<std::string>{"kept", "", ""}));
}

TEST_F(SideFilesTest, ADateInAnotherOrderStopsTheRunBeforeItWrites) {
  WriteTextFile(Side("Main.tdo"), "1|2001-03-01|wrong date order|\r\n2|2001-03-02 10:00|also|\r\n");
  dateChoice.automatic = false;
  dateChoice.pattern = "dd.mm.yyyy";
  auto before = FolderBytes(target);
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage,
            "2 dated text(s) of the archive do not read as dd.mm.yyyy, time separator ':':\n"
            "  " + Side("Main.tdo") + ", line 1: '2001-03-01'\n"
            "  " + Side("Main.tdo") + ", line 2: '2001-03-02 10:00'\n"
            "They read as yyyy-mm-dd, time separator ':'.\n"
            "Nothing was written.");
  EXPECT_EQ(user.errors, std::vector<std::string>{report.preflightMessage});
  EXPECT_EQ(FolderBytes(target), before);
  EXPECT_TRUE(user.log.empty());

  // Forced, the lines are counted and the step stops at the first, naming it.
  user = TScriptedUser();
  force = true;
  Run();
  EXPECT_EQ(user.errors, std::vector<std::string>{Side("Main.tdo") + ", line 1: '2001-03-01' is not a valid date and time"});
  ASSERT_EQ(report.passedOver.count(Side("Main.tdo")), 1u);
  EXPECT_EQ(report.passedOver[Side("Main.tdo")].count, 2);
  EXPECT_EQ(report.passedOver[Side("Main.tdo")].first.size(), 2u);

  // Found from the texts, the same file converts.
  user = TScriptedUser();
  CreateNewLayoutArchive(target, true);
  force = false;
  dateChoice = TDateFormatChoice();
  Run();
  EXPECT_TRUE(user.errors.empty());
  EXPECT_TRUE(report.passedOver.empty());
  EXPECT_TRUE(user.Logged("Dates read as yyyy-mm-dd, time separator ':' (found automatically: the only order that "
                          "reads all 2 dated texts)"));
  EXPECT_EQ(StampColumn(target, "todo", "CREATED"), (std::vector<std::string>{"2001-03-01 00:00:00", "2001-03-02 10:00:00"}));
}

TEST_F(SideFilesTest, ModuleListEntriesAreAddedInLowerCaseUnlessTheModuleIsThere) {
  WriteTextFile(Side("Main.prl"),
            "C:\\Work\\Src\\Unit1.PAS\r\n"
            "\\SRC\\unit2.PAS\r\n"  // \src\Unit2.pas is there under another letter case
            "\\src\\unit3.pas\r\n"  // there exactly
            "  \r\n"               // a blank line made a module without a name
            "readme.txt\r\n");
  // Appended through the writing cursor while Main.prl was read; the lookup cursor sees it
  // when Tools.prl lists it again, so the module is there once.
  WriteTextFile(Side("Tools.prl"), "c:\\work\\src\\unit1.pas\r\n");
  for (bool walk : {false, true}) {
    SCOPED_TRACE(walk ? "walks" : "images");
    if (walk) ResetTarget();
    walkLookups = walk;
    Run();
    ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
    auto modules = Records(target, "modules");
    ASSERT_EQ(modules.size(), 5u);
    EXPECT_EQ(modules[3]["NAME"], "unit1.pas");
    EXPECT_EQ(modules[3]["PATH"], "c:\\work\\src\\");
    EXPECT_EQ(modules[4]["NAME"], "readme.txt");
    EXPECT_EQ(modules[4]["PATH"], "");
    EXPECT_EQ(modules[4]["USERID"], "");  // no other field is written
    EXPECT_EQ(report.added.at("modules"), 5);
    EXPECT_EQ(user.Section("Converting User Module list...", false),
              (std::vector<std::string>{"Converting " + source + "/Main.prl",
                                        "Passed over a blank line of " + source + "/Main.prl (line 4)",
                                        "Converting " + source + "/Tools.prl", "Success."}));
  }
}

TEST_F(SideFilesTest, CrossReferencesFindProjectsWhateverTheirLetterCase) {
  WriteTextFile(Side("main.pcr"),  // found under another letter case
            "c:\\projects\\Tools.dpr\r\nUnknown.dpr\r\n\r\nC:\\PROJECTS\\TOOLS.DPR\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
  int32_t main = IdOf(target, "projects", "NAME", "Main.dpr", "PROJECTID");
  int32_t tools = IdOf(target, "projects", "NAME", "Tools.dpr", "PROJECTID");
  // The two spellings of the Tools line are one; the unknown project is written as 0; the
  // blank line is passed over (it made a reference to project 0 that nothing counted).
  EXPECT_TRUE(user.Logged("Passed over a blank line of " + source + "/main.pcr (line 3)"));
  auto refs = Records(target, "pjref");
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(refs[0]["PROJECTID"], std::to_string(main));
  EXPECT_EQ(refs[0]["REFERENCE"], std::to_string(tools));
  EXPECT_EQ(refs[1]["REFERENCE"], "0");
  ASSERT_EQ(report.unmatched.count("pjref.REFERENCE"), 1u);
  EXPECT_EQ(report.unmatched.at("pjref.REFERENCE").count, 1);
  EXPECT_EQ(report.unmatched.at("pjref.REFERENCE").first, std::vector<std::string>{"Unknown.dpr"});  // as the line has it
  // The name shown is the one built from the project, not the one on disk.
  EXPECT_TRUE(user.Logged("Converting " + source + "/Main.pcr"));
  // Missing side files are passed over without a word.
  EXPECT_EQ(user.Section("Converting ToDo list...", false), std::vector<std::string>{"Success."});
}

TEST_F(SideFilesTest, AProjectNameThatLeavesTheSourceFolderIsPassedOver) {
  WriteProjects(source, {{"..\\evil.dpr", "smith", "smith"}, {"sub/x.dpr", "", ""}, {"Main.dpr", "", ""}});
  // What the names would reach if they were joined to the source folder as they are.
  WriteTextFile(dir / "evil.tdo", "1|01.03.2001 10:00:00|outside|\r\n");
  fs::create_directories(source + "/sub");
  WriteTextFile(source + "/sub/x.tdo", "1|01.03.2001 10:00:00|below|\r\n");
  WriteTextFile(source + "/..\\evil.tdo", "1|01.03.2001 10:00:00|odd name|\r\n");
  Run();
  EXPECT_TRUE(Records(target, "todo").empty());
  EXPECT_EQ(user.Section("Converting ToDo list...", false),
            (std::vector<std::string>{
                "Passed over the .tdo file of project ..\\evil.dpr: its name would lead out of the source folder",
                "Passed over the .tdo file of project sub/x.dpr: its name would lead out of the source folder",
                "Success."}));
  EXPECT_TRUE(user.Logged(
      "Passed over the .pcr file of project sub/x.dpr: its name would lead out of the source folder"));
  EXPECT_FALSE(report.Failed());
}

// A side file this user may not read stops the run before it writes: the preflight reads
// every dated file. One that becomes unreadable after the preflight (the window's ran
// first) is shown by its step, which goes on with the other files.
TEST_F(SideFilesTest, AnUnreadableSideFileStopsThePreflightOrIsShownByItsStep) {
  WriteTextFile(Side("Main.tdo"), "1|01.03.2001 10:00:00|unreadable|open|x|\r\n");
  WriteTextFile(Side("Tools.tdo"), "1|01.03.2001 10:00:00|readable|open|x|\r\n");
  // The dates settled while every file could be read, as the window's preflight does.
  const TDateFormatFinding settled = SettleDateFormat(source, dateChoice, settings, "windows-1252");
  // What the runs must show, as a list of what is not so (empty when all is well).
  auto runAndCheck = [&] {
    std::string wrong;
    Run();
    if (!report.Failed() || report.steps.size() != 0) wrong += "the first run was not stopped before its steps\n";
    if (user.errors.size() != 1 || user.errors[0].find("Main.tdo: Permission denied") == std::string::npos ||
        user.errors[0].find("Nothing was written.") == std::string::npos)
      wrong += "the preflight's error: " + (user.errors.empty() ? std::string("none") : user.errors[0]) + "\n";
    if (!Column(target, "todo", "DESCRIPTION").empty()) wrong += "todo items written\n";

    ResetTarget();
    settledDates = settled;
    guardsChecked = true;
    Run();
    if (user.errors.size() != 1 || user.errors[0].find("Main.tdo") == std::string::npos)
      wrong += "the step's errors: " + std::to_string(user.errors.size()) + "\n";
    if (std::vector<std::string> items = Column(target, "todo", "DESCRIPTION");
        items != std::vector<std::string>{"readable"}) {
      wrong += "todo items:";
      for (const std::string& item : items) wrong += " '" + item + "'";
      for (const std::string& error : user.errors) wrong += "\nshown: " + error;
      wrong += "\n";
    }
    if (Step("ConvertToDoLists").succeeded) wrong += "the step succeeded\n";
    return wrong;
  };
  // Root reads any file: then an unprivileged user makes the runs, with the folders
  // opened to it.
  if (::geteuid() == 0) ovrin::test::OpenToEveryone(dir.Path());
  fs::permissions(Side("Main.tdo"), fs::perms::none);
  EXPECT_EQ(ovrin::test::AsUnprivileged(runAndCheck), "");
  fs::permissions(Side("Main.tdo"), fs::perms::owner_all);
}

}  // namespace
}  // namespace hollard::test

namespace hollard::test {
namespace {

// A project whose name holds a letter outside ASCII ("Töols.dpr", windows-1252 bytes in
// the table) has its side files named in UTF-8 on disk, as copies from Windows name
// them. The name was built from the raw bytes, so none was ever found; the log showed
// the source folder decoded a second time ("src-Ã¼").
TEST_F(SideFilesTest, SideFilesOfANonAsciiProjectAreFoundByTheDecodedName) {
  source = dir / "src-\xC3\xBC";  // "src-ü" in UTF-8
  fs::create_directories(source);
  WriteRevisions(source, {{"\\lib\\", "T\xF6ols.pas", "T\xF6ols.dpr", "smith"}});
  WriteProjects(source, {{"T\xF6ols.dpr", "smith", "smith"}, {"R\xE4w.dpr", "", ""}});
  WriteTextFile(source + "/T\xC3\xB6ols.tdo", "1|01.03.2001 10:00:00|Fix the tool|open|x|smith\r\n");
  WriteTextFile(source + "/T\xC3\xB6OLS.PRL", "C:\\Work\\N\xC4U.PAS\r\n");  // letter case of the ASCII part differs
  WriteTextFile(source + "/T\xC3\xB6ols.pcr", "c:\\projects\\r\xE4w.dpr\r\n");
  // A file named in the raw bytes is the fallback.
  WriteTextFile(source + "/R\xE4w.tdo", "2|02.03.2001 10:00:00|Raw name|open|x|\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
  EXPECT_EQ(Column(target, "todo", "DESCRIPTION"), (std::vector<std::string>{"Fix the tool", "Raw name"}));
  EXPECT_NE(IdOf(target, "modules", "NAME", "n\xE4u.pas", "MODULEID"), -1);
  auto refs = Records(target, "pjref");
  ASSERT_EQ(refs.size(), 1u);
  EXPECT_EQ(refs[0]["REFERENCE"], std::to_string(IdOf(target, "projects", "NAME", "R\xE4w.dpr", "PROJECTID")));
  // Folder and name decoded once each.
  EXPECT_TRUE(user.Logged("Converting " + source + "/T\xC3\xB6ols.tdo"));
  EXPECT_TRUE(user.Logged("Converting " + source + "/T\xC3\xB6ols.prl"));
  EXPECT_TRUE(user.Logged("Converting " + source + "/R\xC3\xA4w.tdo"));
  EXPECT_TRUE(user.Logged("Converting from Paradox archive V1.4 - " + source + "/"));
}

// A side file that is no regular file hung the run (a FIFO), or read until memory ran
// out (a link to /dev/zero); a file above 1 GB was read whole. Each is now an error
// that names it, and the step goes on with the next project.
TEST_F(SideFilesTest, ASideFileThatIsNoRegularFileIsAnErrorNamingIt) {
  ASSERT_EQ(::mkfifo(Side("Main.tdo").c_str(), 0600), 0);
  WriteTextFile(Side("Tools.tdo"), "1|01.03.2001 10:00:00|after the FIFO|open\r\n");
  fs::create_symlink("/dev/zero", Side("Main.prl"));
  fs::create_directories(Side("Tools.prl"));
  {
    std::ofstream big(Side("Main.pcr"), std::ios::binary);
  }
  fs::resize_file(Side("Main.pcr"), (uint64_t{1} << 30) + 1);  // sparse: takes no room
  ASSERT_EQ(::mkfifo(Side("hollardm.log").c_str(), 0600), 0);
  // The preflight names each of them and stops before anything is written.
  auto before = FolderBytes(target);
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage,
            "Cannot read " + Side("hollardm.log") + ": it is a FIFO, not a regular file\n"
            "Cannot read " + Side("Main.tdo") + ": it is a FIFO, not a regular file\n"
            "Cannot read " + Side("Main.prl") + ": it is a device, not a regular file\n"
            "Cannot read " + Side("Main.pcr") + ": it holds 1073741825 bytes, more than the 1073741824 a side file may hold\n"
            "Cannot read " + Side("Tools.prl") + ": it is a folder, not a regular file\n"
            "Nothing was written.");
  EXPECT_EQ(FolderBytes(target), before);
  // Forced, each step names its file and goes on with the next project.
  user = TScriptedUser();
  force = true;
  Run();
  EXPECT_EQ(user.errors,
            (std::vector<std::string>{
                "Cannot read " + Side("Main.tdo") + ": it is a FIFO, not a regular file",
                "Cannot read " + Side("Main.prl") + ": it is a device, not a regular file",
                "Cannot read " + Side("Tools.prl") + ": it is a folder, not a regular file",
                "Cannot read " + Side("Main.pcr") + ": it holds 1073741825 bytes, more than the 1073741824 a side file may hold",
                "Cannot read " + Side("hollardm.log") + ": it is a FIFO, not a regular file"}));
  EXPECT_EQ(Column(target, "todo", "DESCRIPTION"), std::vector<std::string>{"after the FIFO"});
  EXPECT_TRUE(user.Logged("Success. Process ready."));
}

}  // namespace
}  // namespace hollard::test
