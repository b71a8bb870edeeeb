// Verify against the migration's own rules where they depend on letter case and on the
// source files: the same answers in every process locale, side files found as the run
// finds them, and a FIFO in a source file's place an error rather than a hang.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <clocale>
#include <filesystem>
#include <sstream>
#include <string>

#include <unicode/locid.h>

#include "main/run_summary.h"
#include "tests/main/migration_fixture.h"
#include "tools/archive_verify.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;

// Sets the process locale (C library and ICU's default) for the scope, and restores them.
class TProcessLocale {
 public:
  TProcessLocale(const char* posix, const char* icu) {
    saved_ = std::setlocale(LC_ALL, nullptr);
    posixSet_ = std::setlocale(LC_ALL, posix) != nullptr;
    savedIcu_ = icu::Locale::getDefault();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(icu), status);
  }
  ~TProcessLocale() {
    std::setlocale(LC_ALL, saved_.c_str());
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(savedIcu_, status);
  }
  bool PosixSet() const { return posixSet_; }

 private:
  std::string saved_;
  bool posixSet_ = false;
  icu::Locale savedIcu_;
};

class ArchiveVerifyTest : public MigrationFixture {
 protected:
  TVerifyReport Verify() {
    TVerifyOptions options;
    options.settings = settings;
    return VerifyMigration(source, target, options);
  }
  static std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
  }
  std::string Path(const std::string& name) const { return source + "/" + name; }
};

// Under a Turkish locale verify lower-cased "SMITH" to "smIth" (the code page has no
// dotless i), so a login or module merged by letter case was reported missing, while the
// same archive verified clean under other locales.
TEST_F(ArchiveVerifyTest, VerifyUnderATurkishLocaleReportsNoFalseLosses) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "Main.dpr", "smith"},
                          {"\\SRC\\", "UNIT.PAS", "Main.dpr", "SMITH"},
                          {"\\src\\", "Inline.pas", "Main.dpr", "IVAN"},
                          {"\\src\\", "inline.pas", "Main.dpr", "ivan"}});
  WriteProjects(source, {{"Main.dpr", "smith", "smith"}});
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  TVerifyReport plain = Verify();
  EXPECT_TRUE(plain.Ok()) << Joined(plain.lost);
  for (const auto& [posix, icuName] : {std::pair{"tr_TR.UTF-8", "tr_TR"}, std::pair{"de_DE.UTF-8", "de_DE"},
                                       std::pair{"C.UTF-8", "en_US_POSIX"}}) {
    TProcessLocale locale(posix, icuName);
    TVerifyReport r = Verify();
    EXPECT_TRUE(r.Ok()) << posix << ":\n" << Joined(r.lost);
    EXPECT_EQ(r.checked, plain.checked) << posix;
    EXPECT_EQ(r.intended, plain.intended) << posix;
    EXPECT_NE(Joined(r.intended).find("user 'SMITH' merged with a login that differs only in letter case"),
              std::string::npos)
        << posix << ":\n" << Joined(r.intended);
    EXPECT_NE(Joined(r.intended).find("module \\SRC\\UNIT.PAS merged with a module that differs only in letter case"),
              std::string::npos)
        << posix << ":\n" << Joined(r.intended);
  }
}

// A side file whose name differs from its project's in the case of a non-ASCII letter
// was found by neither the run nor verify, and verify said nothing was lost.
TEST_F(ArchiveVerifyTest, VerifyFindsSideFilesDifferingInTheCaseOfANonAsciiLetter) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "M\xE4in.dpr", "ada"}});
  WriteProjects(source, {{"M\xE4in.dpr", "ada", "ada"}});
  WriteTextFile(Path("M\xC3\x84IN.tdo"), "1|01.03.2001 10:00:00|first|open\r\n2|01.03.2001 10:00:00|second|open\r\n");
  WriteTextFile(Path("M\xC3\x84IN.pcr"), "Other.dpr\r\n");
  WriteTextFile(Path("m\xC3\x84in.TDO"), "1|01.03.2001 10:00:00|left|open\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  TVerifyReport r = Verify();
  EXPECT_TRUE(r.Ok()) << Joined(r.lost);
  EXPECT_EQ(r.checked["ToDo lines"], 2);
  EXPECT_EQ(r.checked["cross-references"], 1);
  EXPECT_NE(Joined(r.intended).find(Path("m\xC3\x84in.TDO") + " is left: its name differs from " +
                                    Path("M\xC3\x84IN.tdo") + " only in letter case"),
            std::string::npos)
      << Joined(r.intended);
  // A ToDo item the target lacks is a loss verify sees through the folded name.
  WriteTextFile(Path("M\xC3\x84IN.tdo"), "1|01.03.2001 10:00:00|first|open\r\n3|01.03.2001 10:00:00|third|open\r\n");
  r = Verify();
  ASSERT_EQ(r.lost.size(), 1u) << Joined(r.lost);
  EXPECT_NE(r.lost[0].find("ToDo item 'third'"), std::string::npos) << r.lost[0];
}

// A ToDo description is a memo, which keeps every byte: verify compared it as a string
// field gives text back (ended at a zero byte, trailing blanks dropped) and reported the
// items whose description ends in blanks or holds a zero byte as lost.
TEST_F(ArchiveVerifyTest, ToDoDescriptionsAreComparedAsTheMemoKeepsThem) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "Main.dpr", "ada"}});
  WriteProjects(source, {{"Main.dpr", "ada", "ada"}});
  WriteTextFile(Path("Main.tdo"), std::string("1|01.03.2001 10:00:00|blanks after  |open\r\n"
                                              "2|01.03.2001 10:00:00|N\0UL|open\r\n"
                                              "3|01.03.2001 10:00:00|plain|open\r\n", 110));
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  TVerifyReport r = Verify();
  EXPECT_TRUE(r.Ok()) << Joined(r.lost);
  EXPECT_EQ(r.checked["ToDo items"], 3);
  // What is not there is still missed.
  WriteTextFile(Path("Main.tdo"), "1|01.03.2001 10:00:00|blanks after |open\r\n");
  r = Verify();
  ASSERT_EQ(r.lost.size(), 1u) << Joined(r.lost);
  EXPECT_NE(r.lost[0].find("ToDo item 'blanks after '"), std::string::npos) << r.lost[0];
}

// A FIFO in place of the key file or a table made verify wait for ever.
TEST_F(ArchiveVerifyTest, VerifyNamesAFifoInPlaceOfASourceFileInsteadOfHanging) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "Main.dpr", "ada"}});
  WriteProjects(source, {{"Main.dpr", "ada", "ada"}});
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  for (const char* name : {"hollardm.key", "hollardm.db", "hollardp.db"}) {
    fs::path saved = fs::path(dir / "saved");
    bool had = fs::exists(Path(name));
    if (had) fs::rename(Path(name), saved);
    ASSERT_EQ(::mkfifo(Path(name).c_str(), 0600), 0);
    std::string message;
    try {
      TVerifyReport r = Verify();
      message = Joined(r.lost);
    } catch (const std::exception& e) {
      message = e.what();
    }
    EXPECT_NE(message.find(Path(name) + ": it is a FIFO, not a regular file"), std::string::npos) << name << ": " << message;
    fs::remove(Path(name));
    if (had) fs::rename(saved, Path(name));
  }
}

// The target already holds labels (another archive's, or this one's from an earlier run):
// an assignment took the key file's number as the label's id and so named a label of
// the earlier archive. It names the label made for that number now; a number the key
// file lacks is kept as the id only where no label has that id, and both are reported.
TEST_F(ArchiveVerifyTest, AssignmentsNameTheLabelsMadeForTheirNumbersInATargetThatHoldsLabels) {
  {
    ovrin::TOvrinTable labels;
    labels.SetDatabaseName(target);
    labels.SetTableName("labels");
    labels.Open();
    for (const char* name : {"Old 1", "Old 2", "Old 3"}) {
      labels.Append();
      labels.FieldByName("LABEL").SetAsString(name);
      labels.Post();
    }
  }
  std::vector<TRevisionRow> rows;
  for (int flag : {1, 2, 5, 9, 2}) {
    TRevisionRow r{"\\src\\", "unit" + std::to_string(rows.size()) + ".pas", "Main.dpr", "ada"};
    r.flag = flag;
    rows.push_back(r);
  }
  WriteRevisions(source, rows);
  WriteProjects(source, {{"Main.dpr", "ada", "ada"}});
  WriteTextFile(source + "/hollardm.key", "[Keys]\r\n1=Release 1.0\r\n2=Beta\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  EXPECT_EQ(IdOf(target, "labels", "LABEL", "Release 1.0", "LABELID"), 4);
  EXPECT_EQ(IdOf(target, "labels", "LABEL", "Beta", "LABELID"), 5);
  std::vector<std::pair<std::string, std::string>> assigned;
  for (auto& r : Records(target, "rvlabels")) assigned.push_back({r.at("REVISIONID"), r.at("LABELID")});
  // Numbers 5 and 9 are not in the key file: written as ids, 5 named "Beta" at once and 9
  // whichever label got id 9 later. Not assigned.
  EXPECT_EQ(assigned, (std::vector<std::pair<std::string, std::string>>{{"1", "4"}, {"2", "5"}, {"5", "5"}}));
  const TUnmatched& numbers = report.unmatched["rvlabels.LABELID"];
  EXPECT_EQ(numbers.count, 2);
  EXPECT_EQ(numbers.first, (std::vector<std::string>{"5 (not in the key file)", "9 (not in the key file)"}));

  TVerifyReport r = Verify();
  EXPECT_TRUE(r.Ok()) << Joined(r.lost);
  EXPECT_EQ(r.checked["label assignments"], 5);
  std::string intended = Joined(r.intended);
  EXPECT_NE(intended.find("label number 5 is not in the key file's list: not assigned"), std::string::npos) << intended;
  EXPECT_NE(intended.find("label number 9 is not in the key file's list: not assigned"), std::string::npos) << intended;

  // An assignment that names the earlier archive's label is a loss.
  {
    ovrin::TOvrinTable assignments;
    assignments.SetDatabaseName(target);
    assignments.SetTableName("rvlabels");
    assignments.Open();
    assignments.First();
    assignments.Edit();
    assignments.FieldByName("LABELID").SetAsInteger(1);
    assignments.Post();
  }
  r = Verify();
  ASSERT_EQ(r.lost.size(), 1u) << Joined(r.lost);
  EXPECT_NE(r.lost[0].find(": label 1 'Release 1.0' is not assigned"), std::string::npos) << r.lost[0];
}

// The history log's backup events are not converted; verify left them out of every count.
TEST_F(ArchiveVerifyTest, BackupEventsOfTheLogAreCountedAsNotConverted) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "Main.dpr", "ada"}});
  WriteProjects(source, {{"Main.dpr", "ada", "ada"}});
  WriteTextFile(source + "/hollardm.log",
                "10.02.2001 14:03:11 > [ada] Main.dpr - \\src\\unit.pas - check in: x\r\n"
                "10.02.2001 20:00:00 > [ada] Main.dpr - Backup (nightly)\r\n"
                "11.02.2001 20:00:00 > [ada] Main.dpr - Backup (nightly)\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  EXPECT_EQ(report.backupLines.at(source + "/hollardm.log").count, 2);
  TVerifyReport r = Verify();
  EXPECT_TRUE(r.Ok()) << Joined(r.lost);
  EXPECT_EQ(r.checked["log lines"], 1);
  EXPECT_NE(Joined(r.intended).find(source + "/hollardm.log: 2 lines of backup events (holding \" - Backup (\") not "
                                    "converted; the first, line 2: 10.02.2001 20:00:00 > [ada] Main.dpr - Backup "
                                    "(nightly)"),
            std::string::npos)
      << Joined(r.intended);
}

// Side-file lines that repeat an earlier one, or differ from it only in letter case, are
// taken once by the rules; verify counted only the distinct lines, without a word.
TEST_F(ArchiveVerifyTest, SideFileLinesTakenOnceAreCounted) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "Main.dpr", "ada"}});
  WriteProjects(source, {{"Main.dpr", "ada", "ada"}});
  WriteTextFile(source + "/Main.tdo",
                "2|05.03.1999 10:00:00|Call Bob|open|x|\r\n2|05.03.1999 10:00:00|CALL BOB|open|x|\r\n"
                "1|06.03.1999 10:00:00|Other|open|x|\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  EXPECT_EQ(Records(target, "todo").size(), 2u);
  EXPECT_EQ(report.mergedLines.at(source + "/Main.tdo").count, 1);
  TVerifyReport r = Verify();
  EXPECT_TRUE(r.Ok()) << Joined(r.lost);
  EXPECT_NE(Joined(r.intended).find(source + "/Main.tdo: 1 line taken once with an earlier line (the same, or "
                                    "differing only in letter case); the first, line 2: 2|05.03.1999 10:00:00|CALL "
                                    "BOB|open|x|"),
            std::string::npos)
      << Joined(r.intended);
}

// A form file whose size (ASFSIZE) is 0 or less is not stored, by the rules; its bytes
// went without a word in the run and in verify.
TEST_F(ArchiveVerifyTest, AFormFileNotStoredForItsSizeIsNamed) {
  TRevisionRow form{"\\src\\", "Form2.pas", "Main.dpr", "ada"};
  form.asbinary = std::string(914, 'f');
  form.asfsize = -5;
  WriteRevisions(source, {form});
  WriteProjects(source, {{"Main.dpr", "ada", "ada"}});
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  EXPECT_EQ(report.formsNotStored.count, 1);
  std::ostringstream summary;
  PrintReportSummary(summary, report, false);
  EXPECT_NE(summary.str().find("  Form files not stored (their size, ASFSIZE, is 0 or less, yet they hold bytes): 1\n"
                               "    \\src\\Form2.dfm 1.1 [1] (914 bytes, ASFSIZE -5)\n"),
            std::string::npos)
      << summary.str();
  TVerifyReport r = Verify();
  EXPECT_TRUE(r.Ok()) << Joined(r.lost);
  EXPECT_NE(Joined(r.intended).find("revision \\src\\Form2.pas 1.1: its form file (914 bytes) is not stored: its size "
                                    "(ASFSIZE) is -5"),
            std::string::npos)
      << Joined(r.intended);
}

// The target's string fields keep no trailing blanks. A login or module name read with
// them made a second user beside the one the target holds, revisions that found no user,
// and verify reported users, modules and revisions missing that were there.
TEST_F(ArchiveVerifyTest, TrailingBlanksOfSourceNamesAreDroppedAsTheTargetDrops) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "Main.dpr", "lee"},
                          {"\\src\\", "unit.pas ", "Main.dpr", "lee "},
                          {"\\src\\", "Unit4.pas ", "Main.dpr", "LEE "}});
  WriteProjects(source, {{"Main.dpr ", "lee ", "lee"}});
  Run();
  ASSERT_FALSE(report.Failed()) << report.preflightMessage;
  EXPECT_EQ(Column(target, "users", "LOGIN"), std::vector<std::string>{"lee"});
  EXPECT_EQ(Column(target, "modules", "NAME"), (std::vector<std::string>{"unit.pas", "Unit4.pas"}));
  EXPECT_EQ(Column(target, "revision", "USERID"), (std::vector<std::string>{"1", "1", "1"}));
  EXPECT_EQ(Column(target, "revision", "MODULEID"), (std::vector<std::string>{"1", "1", "2"}));
  EXPECT_EQ(Column(target, "projects", "CREATEDBY"), std::vector<std::string>{"1"});
  EXPECT_TRUE(report.unmatched.empty());
  TVerifyReport r = Verify();
  EXPECT_TRUE(r.Ok()) << Joined(r.lost);
}

}  // namespace
}  // namespace hollard::test
