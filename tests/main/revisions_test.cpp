// Step 10 on hand-made archives and on a generated one: a revision record per source
// record, a blobs record per stored file (two with a form file), file contents byte for
// byte, and target tables the consistency checker finds sound.
#include "engine/data/checker.h"
#include "tests/main/migration_fixture.h"

namespace hollard::test {
namespace {

TEST_F(MigrationFixture, ARevisionWithAFormFileGetsTwoBlobsRecords) {
  TRevisionRow unit{"\\src\\", "Unit1.pas", "P.dpr", "ada"};
  unit.version = 1;
  unit.revision = 3;
  unit.nr = 7;
  unit.verstate = 2;
  unit.lcomment = "locked for a fix";
  unit.vcomment = std::string(300, 'v');  // a memo longer than its leader
  unit.binary = std::string("\0\1\2unit bytes\xFF", 15);
  unit.fsize = 4000;
  unit.flag2 = 123456;
  unit.compsize = 15;
  unit.asbinary = "form bytes";
  unit.asfsize = 1200;
  unit.options2 = 654321;
  unit.ascompsize = 10;
  TRevisionRow readme{"\\shared.v2\\", "readme", "P.dpr", "nobody"};  // no extension, dot in the folder
  readme.asfsize = -5;
  readme.asbinary = "ignored";
  TRevisionRow empty{"\\src\\", "Empty.txt", "P.dpr", ""};  // empty stored file
  WriteRevisions(source, {unit, readme, empty});
  WriteProjects(source, {{"P.dpr", "ada", "ada"}});
  Run();
  EXPECT_TRUE(user.errors.empty()) << user.errors.front();
  EXPECT_EQ(user.Section("Converting revisions...", false),
            (std::vector<std::string>{"Converting \\src\\Unit1.pas 1.3 [7]", "Converting \\src\\Unit1.dfm 1.3 [7]",
                                      "Converting \\shared.v2\\readme 1.1 [1]", "Converting \\src\\Empty.txt 1.1 [1]",
                                      "Success."}));
  auto revisions = Records(target, "revision");
  ASSERT_EQ(revisions.size(), 3u);
  EXPECT_EQ(revisions[0]["MODULEID"], "1");
  EXPECT_EQ(revisions[0]["USERID"], "2");  // users: "", "ada", "nobody"
  EXPECT_EQ(revisions[0]["VERSION"], "1");
  EXPECT_EQ(revisions[0]["REVISION"], "3");
  EXPECT_EQ(revisions[0]["VERSTATE"], "2");
  EXPECT_EQ(revisions[0]["COMMENT_I"], "locked for a fix");
  EXPECT_EQ(revisions[0]["COMMENT_O"], std::string(300, 'v'));
  for (auto& r : revisions) EXPECT_EQ(r["IDEVERSION"], "400");
  EXPECT_EQ(revisions[1]["USERID"], "3");
  EXPECT_EQ(revisions[2]["USERID"], "1");

  auto blobs = Records(target, "blobs");
  ASSERT_EQ(blobs.size(), 4u);
  EXPECT_EQ(blobs[0]["REVISIONID"], "1");
  EXPECT_EQ(blobs[0]["EXTENSION"], ".pas");
  EXPECT_EQ(blobs[0]["ORIGSIZE"], "4000");
  EXPECT_EQ(blobs[0]["ORIGCRC"], "123456");
  EXPECT_EQ(blobs[0]["COMPSIZE"], "15");
  EXPECT_EQ(blobs[0]["FILEDATA"], unit.binary);
  EXPECT_EQ(blobs[1]["REVISIONID"], "1");
  EXPECT_EQ(blobs[1]["EXTENSION"], ".dfm");
  EXPECT_EQ(blobs[1]["ORIGSIZE"], "1200");
  EXPECT_EQ(blobs[1]["ORIGCRC"], "654321");
  EXPECT_EQ(blobs[1]["COMPSIZE"], "10");
  EXPECT_EQ(blobs[1]["FILEDATA"], "form bytes");
  EXPECT_EQ(blobs[2]["REVISIONID"], "2");
  EXPECT_EQ(blobs[2]["EXTENSION"], "");
  EXPECT_EQ(blobs[3]["REVISIONID"], "3");
  EXPECT_EQ(blobs[3]["EXTENSION"], ".txt");
  EXPECT_EQ(blobs[3]["FILEDATA"], "");
  EXPECT_EQ(report.added.at("blobs"), 4);
  EXPECT_EQ(report.added.at("revision"), 3);
}

TEST_F(MigrationFixture, AGeneratedArchiveArrivesWholeAndSound) {
  TSourceOptions o;
  o.revisions = 300;
  o.modules = 50;
  o.projects = 4;
  o.blobBytes = 120 * 1024;
  o.seed = 77;
  TSourceArchive plan = PlanSourceArchive(o);
  WriteSourceArchive(source, plan, o);
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());

  auto revisions = Records(target, "revision");
  ASSERT_EQ(revisions.size(), plan.revisions.size());
  auto blobs = Records(target, "blobs");
  size_t forms = 0;
  for (const TSourceRevision& r : plan.revisions) forms += r.asfsize > 0;
  ASSERT_EQ(blobs.size(), plan.revisions.size() + forms);
  // Blobs records follow their revisions in order: the file, then the form file.
  size_t b = 0;
  for (size_t i = 0; i < plan.revisions.size(); ++i) {
    const TSourceRevision& r = plan.revisions[i];
    SCOPED_TRACE("revision " + std::to_string(i));
    EXPECT_NE(revisions[i]["MODULEID"], "0");
    EXPECT_EQ(revisions[i]["VERSION"], std::to_string(r.version));
    EXPECT_EQ(blobs[b]["REVISIONID"], revisions[i]["REVISIONID"]);
    EXPECT_EQ(blobs[b]["FILEDATA"], r.binary);
    EXPECT_EQ(blobs[b]["ORIGCRC"], std::to_string(r.flag2));
    ++b;
    if (r.asfsize > 0) {
      EXPECT_EQ(blobs[b]["REVISIONID"], revisions[i]["REVISIONID"]);
      EXPECT_EQ(blobs[b]["EXTENSION"], ".dfm");
      EXPECT_EQ(blobs[b]["FILEDATA"], r.asbinary);
      ++b;
    }
  }
  for (const TArchiveTable& t : NewLayoutTables()) {
    ovrin::TCheckReport check = ovrin::CheckTable(target + "/" + t.name);
    EXPECT_TRUE(check.Ok()) << t.name << ": " << check.problems.front();
  }
}

}  // namespace
}  // namespace hollard::test
