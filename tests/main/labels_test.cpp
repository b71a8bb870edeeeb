// Steps 11 and 12: labels from the key file and their assignments to revisions; and the
// key file's reader.
#include <fstream>

#include "main/profile_file.h"
#include "tests/main/migration_fixture.h"

namespace hollard::test {
namespace {

TEST(ProfileFileTest, SectionsKeysBlanksQuotesAndLimits) {
  TProfileFile f = TProfileFile::FromText(
      "; a comment\r\n[keys]\r\n 1 = first label \r\n2=\"quoted\"\r\n2=second of two\r\n"
      "[Comments]\r\n1=" + std::string(3000, 'c') + "\r\n[KEYS]\r\n3=added later\r\nbroken line\r\n");
  EXPECT_EQ(f.ReadString("Keys", "1", "_empty_"), "first label");
  EXPECT_EQ(f.ReadString("KEYS", "2", "_empty_"), "quoted");  // the first of two counts
  EXPECT_EQ(f.ReadString("Keys", "3", "_empty_"), "added later");
  EXPECT_EQ(f.ReadString("Keys", "4", "_empty_"), "_empty_");
  EXPECT_EQ(f.ReadString("Comments", "1", "").size(), TProfileFile::kMaxValue);
  EXPECT_EQ(f.ReadString("Other", "1", "x"), "x");
  EXPECT_EQ(TProfileFile("/nonexistent/hollardm.key").ReadString("Keys", "1", "_empty_"), "_empty_");
  // Lines that end at CR alone, and an editor's byte order mark before the first section,
  // hid every label.
  for (const char* text : {"[Keys]\r1=One\r2=Two\r", "\xEF\xBB\xBF[Keys]\r\n1=One\r\n2=Two", "[Keys]\n1=One\n\r2=Two"}) {
    TProfileFile g = TProfileFile::FromText(text);
    EXPECT_EQ(g.ReadString("Keys", "1", "_empty_"), "One") << text;
    EXPECT_EQ(g.ReadString("Keys", "2", "_empty_"), "Two") << text;
  }
}

TEST_F(MigrationFixture, LabelsStopAtTheFirstMissingNumber) {
  WriteRevisions(source, {});
  WriteProjects(source, {});
  WriteTextFile(source + "/HOLLARDM.KEY",
               "[Keys]\r\n1=Release 1.0\r\n2=Beta\r\n4=never read\r\n[Comments]\r\n2=the beta\r\n");
  Run();
  EXPECT_EQ(user.Section("Converting labels...", false),
            (std::vector<std::string>{source + "/hollardm.key", "1. Release 1.0", "2. Beta",
                                      "Not read: label 4. never read of the key file (after the gap that ends its list)",
                                      "Success."}));
  auto labels = Records(target, "labels");
  ASSERT_EQ(labels.size(), 2u);
  EXPECT_EQ(labels[0]["LABEL"], "Release 1.0");
  EXPECT_EQ(labels[0]["DESCRIPTION"], "");
  EXPECT_EQ(labels[1]["DESCRIPTION"], "the beta");
  EXPECT_TRUE(user.errors.empty());
}

TEST_F(MigrationFixture, TheEmptyMarkEndsTheListAndAThousandIsTheMost) {
  WriteRevisions(source, {});
  WriteProjects(source, {});
  std::string keys = "[Keys]\r\n";
  for (int n = 1; n <= 1001; ++n) keys += std::to_string(n) + "=L" + std::to_string(n) + "\r\n";
  WriteTextFile(source + "/hollardm.key", keys);
  Run();
  EXPECT_EQ(Records(target, "labels").size(), 1000u);

  ovrin::test::TempDir other;
  source = other / "old";
  target = other / "new";
  std::filesystem::create_directories(source);
  std::filesystem::create_directories(target);
  CreateNewLayoutArchive(target);
  WriteRevisions(source, {});
  WriteProjects(source, {});
  WriteTextFile(source + "/hollardm.key", "[Keys]\r\n1=One\r\n2=_empty_\r\n3=Three\r\n");
  user = TScriptedUser();
  Run();
  EXPECT_EQ(Column(target, "labels", "LABEL"), std::vector<std::string>{"One"});
}

TEST_F(MigrationFixture, ALabelGoesToEveryMatchingRevision) {
  TRevisionRow a{"\\src\\", "Unit1.pas", "P.dpr", ""};
  a.version = 2;
  a.revision = 5;
  a.nr = 9;
  TRevisionRow twin = a;  // the same module, version and revision stored twice
  twin.flag = 3;
  TRevisionRow other{"\\src\\", "Unit2.pas", "P.dpr", ""};
  other.flag = 1;
  TRevisionRow lost{"\\src\\", "Unit3.pas", "P.dpr", ""};
  lost.version = 7;
  WriteRevisions(source, {a, twin, other, lost});
  WriteProjects(source, {{"P.dpr", "", ""}});
  WriteTextFile(source + "/hollardm.key", "[Keys]\r\n1=One\r\n2=Two\r\n3=Three\r\n");
  Run();
  EXPECT_TRUE(user.errors.empty()) << user.errors.front();
  EXPECT_EQ(Records(target, "labels").size(), 3u);
  EXPECT_EQ(user.Section("Assign labels...", false),
            (std::vector<std::string>{"Search label Unit1.pas2.5 [9]", "Search label Unit2.pas1.1 [1]", "Success."}));
  auto assignments = Records(target, "rvlabels");
  ASSERT_EQ(assignments.size(), 3u);
  EXPECT_EQ(assignments[0]["REVISIONID"], "1");
  EXPECT_EQ(assignments[0]["LABELID"], "3");
  EXPECT_EQ(assignments[1]["REVISIONID"], "2");
  EXPECT_EQ(assignments[1]["LABELID"], "3");
  EXPECT_EQ(assignments[2]["REVISIONID"], "3");
  EXPECT_EQ(assignments[2]["LABELID"], "1");

  // Without a key file no label is made, and no error shown. The numbers were written as
  // label ids, naming whatever label of the target had or would get that id: they are
  // not assigned now, each one logged and counted.
  std::filesystem::remove(source + "/hollardm.key");
  ResetTarget();
  Run();
  EXPECT_TRUE(user.errors.empty()) << user.errors.front();
  EXPECT_TRUE(Records(target, "labels").empty());
  EXPECT_TRUE(Records(target, "rvlabels").empty());
  EXPECT_EQ(user.Section("Assign labels...", false),
            (std::vector<std::string>{"Search label Unit1.pas2.5 [9]", "Not assigned: label 3 is not in the key file",
                                      "Search label Unit2.pas1.1 [1]", "Not assigned: label 1 is not in the key file",
                                      "Success."}));
  EXPECT_EQ(report.unmatched.at("rvlabels.LABELID").count, 2);
}

}  // namespace
}  // namespace hollard::test
