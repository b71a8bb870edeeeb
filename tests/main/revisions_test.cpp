// Step 10 on hand-made archives, and the whole run on a generated one: a revision record
// per source record, a blobs record per stored file (two with a form file), file contents
// byte for byte, as many records per table as the source implies, target tables the
// consistency checker finds sound, and a source folder left as it was.
#include <filesystem>
#include <set>
#include <tuple>

#include "engine/base/conversions.h"
#include "engine/data/checker.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/file_bytes.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;

// The lines of a generated side file (CR LF endings), none for a missing file.
std::vector<std::string> GeneratedLines(const std::string& path) {
  std::vector<std::string> out;
  if (!fs::exists(path)) return out;
  std::string text = FileBytes(path);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    out.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 2;
  }
  return out;
}

// Its distinct lines, letter case aside (the generator writes ASCII only).
std::set<std::string> DistinctLines(const std::string& path) {
  std::set<std::string> out;
  for (const std::string& line : GeneratedLines(path)) out.insert(ovrin::AsciiLower(line));
  return out;
}

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
  // The form file left out by its size is counted for the summary: its bytes were left
  // out without a word.
  EXPECT_EQ(report.formsNotStored.count, 1);
  EXPECT_EQ(report.formsNotStored.first, std::vector<std::string>{"\\shared.v2\\readme.dfm 1.1 [1] (7 bytes, ASFSIZE -5)"});
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
  auto before = FolderBytes(source);
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
  EXPECT_EQ(FolderBytes(source), before);

  // Records per table, as the source implies them.
  std::set<std::string> modules, todo, users;
  // Revisions per module (modules differing only in letter case are one) and number.
  std::map<std::tuple<std::string, int, int>, size_t> numbered;
  size_t references = 0;
  for (const TSourceRevision& r : plan.revisions) {
    modules.insert(ovrin::AsciiLower(r.path + r.fname));
    users.insert(ovrin::AsciiLower(r.lockedBy));  // an unlocked module gives the empty login
    ++numbered[{ovrin::AsciiLower(r.path + r.fname), r.version, r.revision}];
  }
  for (const TSourceProject& p : plan.projects) {
    std::string stem = source + "/" + p.project.substr(0, p.project.rfind('.'));
    for (const std::string& line : DistinctLines(stem + ".tdo")) todo.insert(p.project + "|" + line);
    references += DistinctLines(stem + ".pcr").size();
    for (const std::string& line : DistinctLines(stem + ".prl")) EXPECT_EQ(modules.count(line), 1u) << line;
  }
  size_t dated = 0;
  for (const std::string& line : GeneratedLines(source + "/hollardm.log"))
    dated += !line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) &&
             line.find(" - Backup (") == std::string::npos;
  EXPECT_GT(dated, plan.revisions.size() / 2);
  EXPECT_EQ(Records(target, "users").size(), users.size());
  EXPECT_EQ(Records(target, "projects").size(), plan.projects.size() - 1);  // less the standard project
  EXPECT_EQ(Records(target, "modules").size(), modules.size());
  EXPECT_EQ(Records(target, "todo").size(), todo.size());
  EXPECT_EQ(Records(target, "pjref").size(), references);
  EXPECT_EQ(Records(target, "vcslog").size(), dated);
  EXPECT_EQ(Records(target, "labels").size(), plan.labels.size());
  // A labelled revision labels every target revision of its module with its number.
  size_t assignments = 0;
  for (const TSourceRevision& r : plan.revisions)
    if (r.flag != 0) assignments += numbered.at({ovrin::AsciiLower(r.path + r.fname), r.version, r.revision});
  EXPECT_EQ(Records(target, "rvlabels").size(), assignments);
  for (auto& r : Records(target, "vcslog")) {
    EXPECT_NE(r["PROJECTID"], "0") << r["DESCRIPTION"];
    EXPECT_NE(r["MODULEID"], "0") << r["DESCRIPTION"];
    EXPECT_EQ(r["TYPE"].size(), 1u) << r["DESCRIPTION"];
  }

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
