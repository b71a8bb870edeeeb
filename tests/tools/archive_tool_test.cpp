// hollard-archive run in-process: its subcommands, their output and exit codes, and the
// archives they write opened through the readers that will consume them.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "engine/table/table.h"
#include "main/source_table.h"
#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"
#include "tools/archive_tool.h"

namespace hollard {
namespace {

namespace fs = std::filesystem;
using ovrin::test::TempDir;

struct TRun {
  int code;
  std::string out, err;
};

TRun Tool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int code = RunArchiveTool(args, out, err);
  return {code, out.str(), err.str()};
}

TEST(ArchiveToolTest, UsageErrorsExitTwoAndSayWhatIsWrong) {
  TRun none = Tool({});
  EXPECT_EQ(none.code, 2);
  EXPECT_NE(none.err.find("hollard-archive --help"), std::string::npos) << none.err;

  TRun unknown = Tool({"frobnicate"});
  EXPECT_EQ(unknown.code, 2);

  TRun missingDir = Tool({"make-source"});
  EXPECT_EQ(missingDir.code, 2);
  EXPECT_NE(missingDir.err.find("dir"), std::string::npos) << missingDir.err;

  TempDir dir;
  TRun negative = Tool({"make-source", dir / "x", "--revisions", "-3"});
  EXPECT_EQ(negative.code, 2);
  EXPECT_NE(negative.err.find("--revisions"), std::string::npos) << negative.err;
  EXPECT_FALSE(fs::exists(dir / "x"));

  TRun notANumber = Tool({"make-source", dir / "x", "--seed", "abc"});
  EXPECT_EQ(notANumber.code, 2);

  TRun help = Tool({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("make-source"), std::string::npos);
  EXPECT_NE(help.out.find("create"), std::string::npos);
}

TEST(ArchiveToolTest, MakeSourceWritesATableTheReaderOpens) {
  TempDir dir;
  std::string folder = dir / "old archive";  // made when missing, spaces and all
  TRun run = Tool({"make-source", folder, "--revisions", "30", "--modules", "8", "--projects", "2", "--blob-bytes",
                  "5000", "--seed", "9"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("30 revisions"), std::string::npos) << run.out;
  TSourceTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("hollardm");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 30);
  size_t largest = 0;
  for (t.First(); !t.Eof(); t.Next()) largest = std::max(largest, t.FieldByName("BINARY").AsBytes().size());
  EXPECT_LE(largest, 5000u);
}

TEST(ArchiveToolTest, CreateWritesTablesTheEngineOpensAndFills) {
  TempDir dir;
  std::string folder = dir / "new";
  TRun run = Tool({"create", folder});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "Created 11 tables in " + folder + "\n");

  for (const TArchiveTable& table : NewLayoutTables()) {
    SCOPED_TRACE(table.name);
    ovrin::TOvrinTable t;
    t.SetDatabaseName(folder);
    t.SetTableName(table.name);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 0);
    ASSERT_EQ(static_cast<size_t>(t.FieldCount()), table.def.Fields.size());
    for (size_t i = 0; i < table.def.Fields.size(); ++i)
      EXPECT_EQ(t.Fields(static_cast<int>(i)).FieldName(), table.def.Fields[i].Name);
    t.UpdateIndexDefs();
    EXPECT_EQ(t.IndexDefs().size(), (table.def.Secondary.size() + (table.def.Primary.Fields.empty() ? 0 : 1)));
    t.Close();
  }

  // A record goes in and comes back out of the one table every archive starts with.
  ovrin::TOvrinTable users;
  users.SetDatabaseName(folder);
  users.SetTableName("users");
  users.Open();
  users.Append();
  users.FieldByName("LOGIN").SetAsString("ada");
  users.Post();
  users.Close();
  users.Open();
  users.First();
  EXPECT_EQ(users.FieldByName("LOGIN").AsString(), "ada");
  EXPECT_EQ(users.RecordCount(), 1);
}

TEST(ArchiveToolTest, CreateRefusesToOverwriteUnlessAskedTo) {
  TempDir dir;
  ASSERT_EQ(Tool({"create", dir.Path()}).code, 0);
  TRun again = Tool({"create", dir.Path()});
  EXPECT_EQ(again.code, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  EXPECT_EQ(Tool({"create", dir.Path(), "--replace"}).code, 0);
}

}  // namespace
}  // namespace hollard
