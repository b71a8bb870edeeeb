// hollard-archive run in-process: its subcommands, their output and exit codes, and the
// archives they write opened through the readers that will consume them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/base/conversions.h"
#include "engine/data/repair.h"
#include "engine/data/table_create.h"
#include "engine/table/session.h"
#include "engine/table/table.h"
#include "tests/support/file_bytes.h"
#include "main/source_table.h"
#include "tests/support/small_disk.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"
#include "tools/archive_schema.h"
#include "main/migration.h"
#include "main/migration_guards.h"
#include "main/target_lock.h"
#include "tests/tools/archive_tool_run.h"
#include "tools/archive_tool.h"
#include "tools/archive_verify.h"

namespace hollard {
namespace {

namespace fs = std::filesystem;
using ovrin::test::TempDir;

using test::TRun;
using test::Tool;

// Takes one module's key out of the NAME index behind the table's back.
void DropOneModuleKey(const std::string& folder) {
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("modules");
  t.SetExclusive(true);
  t.Open();
  ovrin::TDataFile& file = *t.Handle();
  file.SelectIndex("NAME");
  file.First();
  std::vector<uint8_t> r(file.LogicalRecordSize());
  ASSERT_EQ(file.GetNextRecord(r.data()), 0);
  std::vector<uint8_t> key = file.Index().CurrentKey();
  file.Index().DeleteKey(file.Index().SelectedSlot(), key.data());
  file.Index().UnpinAll();
  file.Index().FlushPages();
  file.Index().WriteHeader(true);
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
  EXPECT_EQ(Tool({"make-source", dir / "x", "--date-format", "qq.mm.yyyy"}).code, 2);
  EXPECT_EQ(Tool({"make-source", dir / "x", "--time-separator", "ab"}).code, 2);
  // A stored file counts its 4 KB blocks in 16 bits: a larger one was written wrapped,
  // and read as damage.
  TRun tooLarge = Tool({"make-source", dir / "x", "--blob-bytes", "300000000"});
  EXPECT_EQ(tooLarge.code, 2);
  EXPECT_NE(tooLarge.err.find("--blob-bytes"), std::string::npos) << tooLarge.err;
  EXPECT_FALSE(fs::exists(dir / "x"));

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
  // A folder holding one of the tables, not the first: refused before anything is
  // written (it made the tables before that one and left them).
  TempDir other;
  const TArchiveTable& revision = *std::find_if(NewLayoutTables().begin(), NewLayoutTables().end(),
                                                [](const TArchiveTable& t) { return t.name == "revision"; });
  ovrin::CreateTable(other / "revision", revision.def);
  const auto before = ovrin::test::FolderBytes(other.Path());
  TRun partial = Tool({"create", other.Path()});
  EXPECT_EQ(partial.code, 1);
  EXPECT_NE(partial.err.find("revision.DAT already exists"), std::string::npos) << partial.err;
  EXPECT_EQ(ovrin::test::FolderBytes(other.Path()), before);
  // A table whose files are spelt in other letter case is the same table: refused by
  // its name as it stands, and overwritten (not given a twin) with --replace.
  TempDir upper;
  ovrin::CreateTable(upper / "revision", revision.def);
  for (const char* ext : {".DAT", ".IDX", ".BLB"}) fs::rename(upper / ("revision" + std::string(ext)), upper / ("REVISION" + std::string(ext)));
  TRun twin = Tool({"create", upper.Path()});
  EXPECT_EQ(twin.code, 1);
  EXPECT_NE(twin.err.find("REVISION.DAT already exists"), std::string::npos) << twin.err;
  EXPECT_EQ(Tool({"create", upper.Path(), "--replace"}).code, 0);
  int revisionFiles = 0;
  for (const auto& e : fs::directory_iterator(upper.Path()))
    if (ovrin::AsciiUpper(e.path().stem().string()) == "REVISION") ++revisionFiles;
  EXPECT_EQ(revisionFiles, 3);
  EXPECT_TRUE(fs::exists(upper / "REVISION.DAT"));
}

// A create that runs out of room: it failed naming the write error and left the tables
// it had made, which check then called sound. It now removes them and says so.
TEST(ArchiveToolTest, ACreateOnAFullDiskLeavesNoTablesBehind) {
  TempDir dir;
  const std::string result = ovrin::test::OnSmallDisk(dir / "disk", 256 * 1024, [&](const std::string& disk) {
    std::string wrong;
    {
      // Room for a few of the tables, not all.
      std::ofstream filler(disk + "/filler", std::ios::binary);
      const std::string block(4096, 'x');
      for (int i = 0; i < 256 / 4 - 12 && filler.write(block.data(), block.size()); ++i) {
      }
    }
    TRun made = Tool({"create", disk + "/new"});
    if (made.code != 1) wrong += "exit " + std::to_string(made.code) + "\n";
    // The free bytes as the failure left them (a few blocks at most), not after the
    // tables made were removed again.
    for (const char* text : {"Error writing to data file", "is full (", "No archive was created: the tables this "
                                                                        "command had made in"})
      if (made.err.find(text) == std::string::npos) wrong += "no '" + std::string(text) + "' in: " + made.err;
    const size_t at = made.err.find("is full (");
    if (at != std::string::npos && std::stol(made.err.substr(at + 9)) >= 16384) wrong += "free bytes after removal: " + made.err;
    if (!fs::is_directory(disk + "/new") || !fs::is_empty(disk + "/new")) wrong += "tables were left\n";
    return wrong;
  });
  if (result != ovrin::test::kNoSmallDisk) {
    EXPECT_EQ(result, "");
  }
}

// A new-layout archive with a few modules in it.
std::string ArchiveWithModules(TempDir& dir, int modules) {
  std::string folder = dir / "new";
  EXPECT_EQ(Tool({"create", folder}).code, 0);
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("modules");
  t.Open();
  for (int i = 1; i <= modules; ++i) {
    t.Append();
    t.FieldByName("NAME").SetAsString("unit" + std::to_string(i) + ".pas");
    t.FieldByName("PATH").SetAsString("\\src\\");
    t.FieldByName("DESCRIPTION").SetAsString(std::string(700, 'd'));
    t.Post();
  }
  return folder;
}

using ovrin::test::FileBytes;
using ovrin::test::FolderBytes;
using ovrin::test::WriteFileBytes;

TEST(ArchiveToolTest, TablesAndSchemaDescribeAnArchive) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 3);
  TRun tables = Tool({"tables", folder});
  ASSERT_EQ(tables.code, 0) << tables.err;
  // Name padded to 12 columns, then the record count right-aligned in 10.
  auto row = [](const std::string& name, const std::string& count) {
    return "\n" + name + std::string(12 - name.size(), ' ') + std::string(10 - count.size(), ' ') + count + " ";
  };
  EXPECT_NE(tables.out.find(row("modules", "3")), std::string::npos) << tables.out;
  EXPECT_NE(tables.out.find(row("vcslog", "0")), std::string::npos) << tables.out;
  // A folder named relative to the working folder, without a delimiter, is a folder too.
  {
    fs::path back = fs::current_path();
    fs::current_path(fs::path(folder).parent_path());
    TRun relative = Tool({"tables", fs::path(folder).filename().string()});
    fs::current_path(back);
    EXPECT_EQ(relative.code, 0) << relative.err;
    EXPECT_NE(relative.out.find(row("modules", "3")), std::string::npos) << relative.out;
  }
  TRun schema = Tool({"schema", folder, "modules"});
  ASSERT_EQ(schema.code, 0) << schema.err;
  EXPECT_NE(schema.out.find("table modules (3 records"), std::string::npos) << schema.out;
  EXPECT_NE(schema.out.find("  PATH          String, size 250\n"), std::string::npos) << schema.out;
  EXPECT_NE(schema.out.find("  NAME          NAME, case-insensitive"), std::string::npos) << schema.out;
  EXPECT_NE(schema.out.find("not enciphered"), std::string::npos);
  // Errors name the table or folder.
  TRun missing = Tool({"schema", folder, "nosuch"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("nosuch"), std::string::npos) << missing.err;
  TRun noFolder = Tool({"tables", dir / "absent"});
  EXPECT_EQ(noFolder.code, 2);  // the command line names no folder
  EXPECT_NE(noFolder.err.find("absent"), std::string::npos) << noFolder.err;
  // Every subcommand explains itself.
  for (const char* command : {"make-source", "create", "tables", "schema", "dump", "check", "verify", "repair"}) {
    TRun help = Tool({command, "--help"});
    EXPECT_EQ(help.code, 0) << command;
    EXPECT_NE(help.out.find("Usage: " + std::string(command)), std::string::npos) << help.out;
  }
}

TEST(ArchiveToolTest, DumpWritesRecordsInIndexOrder) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 3);
  {
    ovrin::TOvrinTable t;
    t.SetDatabaseName(folder);
    t.SetTableName("modules");
    t.Open();
    t.Append();
    t.FieldByName("NAME").SetAsString("a, \"quoted\" \xE4.pas");  // a comma, quotes and a code-page letter
    t.Post();
  }
  TRun text = Tool({"dump", folder, "modules", "--index", "NAME", "--blobs", "size"});
  ASSERT_EQ(text.code, 0) << text.err;
  EXPECT_EQ(text.out.substr(0, text.out.find('\n')),
            "MODULEID\tUSERID\tNAME\tPATH\tTSTAMP\tLOCKTSTAMP\tREADONLY\tLASTUSER\tFLAGS\tDESCRIPTION");
  // NAME order: the new module first; memo contents as text, in UTF-8.
  EXPECT_NE(text.out.find("\n4\t\ta, \"quoted\" \xC3\xA4.pas\t"), std::string::npos) << text.out;
  EXPECT_LT(text.out.find("unit1.pas"), text.out.find("unit3.pas"));
  EXPECT_NE(text.out.find(std::string(700, 'd')), std::string::npos);

  TRun csv = Tool({"dump", folder, "modules", "--format", "csv", "--filter", "NAME = 'a*'"});
  ASSERT_EQ(csv.code, 0) << csv.err;
  EXPECT_EQ(csv.out.substr(csv.out.find("\r\n") + 2), "4,,\"a, \"\"quoted\"\" \xC3\xA4.pas\",,,,,,,\r\n");

  TRun json = Tool({"dump", folder, "modules", "--format", "json", "--range", "2", "3", "--blobs", "none"});
  ASSERT_EQ(json.code, 0) << json.err;
  EXPECT_NE(json.out.find("\"MODULEID\": \"2\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"MODULEID\": \"3\""), std::string::npos);
  EXPECT_EQ(json.out.find("\"MODULEID\": \"1\""), std::string::npos);
  EXPECT_NE(json.out.find("\"USERID\": null"), std::string::npos);
  EXPECT_LT(json.out.find("MODULEID"), json.out.find("USERID"));  // fields in table order

  // Binary blobs: sizes, hexadecimal, or files of their own.
  {
    ovrin::TOvrinTable b;
    b.SetDatabaseName(folder);
    b.SetTableName("blobs");
    b.Open();
    b.Append();
    b.FieldByName("FILEDATA").SetAsBytes(std::string("\x01\xFFzz", 4));
    b.Post();
  }
  EXPECT_NE(Tool({"dump", folder, "blobs"}).out.find("\t4\n"), std::string::npos);
  EXPECT_NE(Tool({"dump", folder, "blobs", "--blobs", "hex"}).out.find("\t01ff7a7a\n"), std::string::npos);
  std::string files = dir / "blob files";
  TRun written = Tool({"dump", folder, "blobs", "--blobs", files});
  ASSERT_EQ(written.code, 0) << written.err;
  EXPECT_NE(written.out.find("blobs-1-FILEDATA.bin"), std::string::npos) << written.out;
  EXPECT_EQ(ovrin::test::FileBytes(files + "/blobs-1-FILEDATA.bin"), std::string("\x01\xFFzz", 4));
  // Mistakes are named.
  TRun badFilter = Tool({"dump", folder, "modules", "--filter", "NOPE = 1"});
  EXPECT_EQ(badFilter.code, 2);
  EXPECT_NE(badFilter.err.find("NOPE"), std::string::npos) << badFilter.err;
  EXPECT_EQ(Tool({"dump", folder, "modules", "--format", "xml"}).code, 2);
}

// A user of the migration that answers every question with Skip.
class TQuietUser : public TMigrationUser {
 public:
  void AddLogLine(const std::string&, bool) override {}
  void SetStepText(const std::string&) override {}
  void SetGaugeMax(int) override {}
  void SetGaugeProgress(int) override {}
  void ProcessEvents() override {}
  void SetProjects(const std::vector<std::string>&) override {}
  void BeginQuestion(const std::string&) override {}
  std::optional<std::vector<int>> Ask(const std::string&) override { return std::nullopt; }
  void EndQuestion() override {}
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void SetBusyCursor(bool) override {}
  std::vector<std::string> errors;
};

TEST(ArchiveToolTest, VerifyProvesAMigrationAndNamesWhatWasLost) {
  TempDir dir;
  std::string source = dir / "old", target = dir / "new";
  ASSERT_EQ(Tool({"make-source", source, "--revisions", "120", "--modules", "20", "--projects", "3", "--blob-bytes",
                  "20000", "--seed", "4"})
                .code,
            0);
  ASSERT_EQ(Tool({"create", target}).code, 0);
  TQuietUser user;
  TMigration migration(user);
  ovrin::TFormatSettings settings = ovrin::FixedFormatSettings();
  ASSERT_TRUE(ApplyDateFormat("dd.mm.yyyy", &settings));
  migration.SetFormatSettings(settings);
  migration.SetSourceDir(source);
  migration.SetTargetDir(target);
  migration.Import();
  ASSERT_FALSE(migration.Report().Failed()) << (user.errors.empty() ? "" : user.errors.front());

  auto before = FolderBytes(target);
  TRun clean = Tool({"verify", source, target, "--date-format", "dd.mm.yyyy"});
  EXPECT_EQ(clean.code, 0) << clean.out;
  EXPECT_NE(clean.out.find("Nothing was lost"), std::string::npos) << clean.out;
  EXPECT_NE(clean.out.find("revisions             120"), std::string::npos) << clean.out;
  EXPECT_NE(clean.out.find("the standard project _HLRD_std.dpr is not migrated"), std::string::npos) << clean.out;
  EXPECT_EQ(FolderBytes(target), before);  // reads only

  // One revision's stored file altered, one ToDo item and one log record gone.
  std::string module, numbers;
  {
    ovrin::TOvrinTable blobs, revisions, modules;
    for (ovrin::TOvrinTable* t : {&blobs, &revisions, &modules}) t->SetDatabaseName(target);
    blobs.SetTableName("blobs");
    revisions.SetTableName("revision");
    modules.SetTableName("modules");
    blobs.Open();
    revisions.Open();
    modules.Open();
    blobs.First();
    blobs.Next();
    while (!blobs.Eof() && blobs.FieldByName("EXTENSION").AsString() == ".dfm") blobs.Next();
    ASSERT_FALSE(blobs.Eof());
    int32_t revisionId = blobs.FieldByName("REVISIONID").AsInteger();
    std::string bytes = blobs.FieldByName("FILEDATA").AsBytes();
    bytes.push_back('!');
    blobs.Edit();
    blobs.FieldByName("FILEDATA").SetAsBytes(bytes);
    blobs.Post();
    ASSERT_TRUE(revisions.Locate("REVISIONID", {int64_t{revisionId}}));
    ASSERT_TRUE(modules.Locate("MODULEID", {int64_t{revisions.FieldByName("MODULEID").AsInteger()}}));
    module = modules.FieldByName("PATH").AsString() + modules.FieldByName("NAME").AsString();
    numbers = revisions.FieldByName("VERSION").AsString() + "." + revisions.FieldByName("REVISION").AsString();
    ovrin::TOvrinTable todo, log;
    for (ovrin::TOvrinTable* t : {&todo, &log}) t->SetDatabaseName(target);
    todo.SetTableName("todo");
    log.SetTableName("vcslog");
    todo.Open();
    log.Open();
    todo.First();
    todo.Delete();
    log.Last();
    log.Delete();
  }
  TRun lost = Tool({"verify", source, target, "--date-format", "dd.mm.yyyy"});
  EXPECT_EQ(lost.code, 1);
  EXPECT_NE(lost.out.find("revision " + module + " " + numbers + ": its stored file differs from the source"),
            std::string::npos)
      << lost.out;
  EXPECT_NE(lost.out.find("ToDo item '"), std::string::npos) << lost.out;
  EXPECT_NE(lost.out.find("log line "), std::string::npos) << lost.out;
  EXPECT_NE(lost.out.find("The migration lost 3 item(s)"), std::string::npos) << lost.out;
}

void Patch(const std::string& path, int64_t offset, const std::string& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(ArchiveToolTest, CheckNamesChangedRecordBytesAndCutBlobChains) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 6);
  std::string dat;
  int64_t second = 0, third = 0;
  size_t nameAt = 0, descriptionAt = 0;
  {
    ovrin::TOvrinTable t;
    t.SetDatabaseName(folder);
    t.SetTableName("modules");
    t.Open();
    ovrin::TDataFile& file = *t.Handle();
    dat = file.FileName();
    second = file.Header().RecordOffset(2);
    third = file.Header().RecordOffset(3);
    nameAt = file.FieldByName("NAME").Offset() + 1u;
    descriptionAt = file.FieldByName("DESCRIPTION").Offset() + 1u;
  }
  // Record 2's name changed behind its indexes' back.
  Patch(dat, second + static_cast<int64_t>(nameAt), "UNIT9");
  // Record 3's description made to start inside record 2's blob chain.
  std::ifstream in(dat, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  Patch(dat, third + static_cast<int64_t>(descriptionAt), bytes.substr(static_cast<size_t>(second) + descriptionAt, 4));
  TRun report = Tool({"check", folder, "modules"});
  EXPECT_EQ(report.code, 1);
  EXPECT_NE(report.out.find("index NAME"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("blob of record 3"), std::string::npos) << report.out;

  // The repair rebuilds the indexes from the records as they are and cuts the borrowed
  // blob reference, and says so; every record stays.
  std::string logFile = dir / "repair.log";
  TRun repair = Tool({"repair", folder, "modules", "--log", logFile});
  EXPECT_EQ(repair.code, 0) << repair.out << repair.err;
  EXPECT_NE(repair.out.find("modules: ok after the repair"), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find("Invalid BLOB offset for physical record # 3, reference cut"), std::string::npos)
      << repair.out;
  EXPECT_NE(ovrin::test::FileBytes(logFile).find("physical record # 3"), std::string::npos);
  EXPECT_EQ(Tool({"check", folder, "modules"}).code, 0);
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("modules");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 6);
  t.First();
  t.Next();
  std::string patched = t.FieldByName("NAME").AsString();
  EXPECT_EQ(patched.substr(0, 5), "UNIT9");
  t.SetIndexName("NAME");
  t.SetKey();
  t.FieldByName("NAME").SetAsString(patched);
  EXPECT_TRUE(t.GotoKey());  // found under the name its bytes now hold
  t.Close();
}

TEST(ArchiveToolTest, RepairRefusesATableInUseAndMendsWhatFailedChangesLeft) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 8);
  {
    ovrin::TOvrinTable user;
    user.SetDatabaseName(folder);
    user.SetTableName("modules");
    user.Open();
    auto before = FolderBytes(folder);
    TRun refused = Tool({"repair", folder, "modules"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_NE(refused.err.find("modules was not repaired: it is in use by another program"), std::string::npos)
        << refused.err;
    EXPECT_EQ(FolderBytes(folder), before);
  }
  // Bytes a failed append left after the last record, a deleted record that fell out
  // of the free chain, and a live record whose flag byte was overwritten.
  std::string dat;
  int64_t end = 0, third = 0;
  {
    ovrin::TOvrinTable t;
    t.SetDatabaseName(folder);
    t.SetTableName("modules");
    t.Open();
    t.Last();
    t.Delete();
    dat = t.Handle()->FileName();
    end = t.Handle()->Header().RecordOffset(t.Handle()->Header().NextRecordNumber());
    third = t.Handle()->Header().RecordOffset(3);
  }
  {
    std::fstream f(dat, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(9);  // the free chain's head
    f.write("\0\0\0\0", 4);
    f.seekp(end);
    f.write(std::string(100, 'x').data(), 100);
  }
  TRun damaged = Tool({"check", folder, "modules"});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_NE(damaged.out.find("cannot be opened"), std::string::npos) << damaged.out;
  TRun repair = Tool({"repair", folder, "modules"});
  EXPECT_EQ(repair.code, 0) << repair.out << repair.err;
  EXPECT_NE(repair.out.find("Data file: 100 bytes after the last record cut"), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find("7 records, 1 deleted"), std::string::npos) << repair.out;
  // Its flag byte overwritten: the record is taken for deleted, and the repair says so.
  Patch(dat, third, std::string(1, '\x07'));
  TRun flagged = Tool({"repair", folder, "modules"});
  EXPECT_EQ(flagged.code, 0) << flagged.out;
  EXPECT_NE(flagged.out.find("Deleted flag 7 of physical record # 3"), std::string::npos) << flagged.out;
  EXPECT_NE(flagged.out.find("6 records, 2 deleted"), std::string::npos) << flagged.out;
  // A repaired table takes new records in the places the deleted ones left.
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("modules");
  t.Open();
  t.Append();
  t.FieldByName("NAME").SetAsString("new.pas");
  t.Post();
  t.Close();
  EXPECT_EQ(Tool({"check", folder, "modules"}).code, 0);
}

TEST(ArchiveToolTest, EncipheredTablesNeedTheirPassword) {
  TempDir dir;
  std::string folder = dir / "secret";
  fs::create_directories(folder);
  ovrin::TTableSpec def;
  def.Fields = {ovrin::TFieldSpec{"ID", ovrin::fldInteger, ovrin::subAutoInc}, ovrin::TFieldSpec{"NAME", ovrin::fldString, ovrin::subNone, 20}};
  def.Primary.Fields = {"ID"};
  def.Password = "Secret";
  ovrin::CreateTable(folder + "/vault", def);
  TRun without = Tool({"schema", folder, "vault"});
  EXPECT_EQ(without.code, 1);
  EXPECT_NE(without.err.find("vault"), std::string::npos) << without.err;
  TRun with = Tool({"schema", folder, "vault", "--password", "wrong", "--password", "Secret"});
  EXPECT_EQ(with.code, 0) << with.err;
  EXPECT_NE(with.out.find(", enciphered"), std::string::npos) << with.out;
  ovrin::Sessions().Default().RemoveAllPasswords();
  EXPECT_EQ(Tool({"check", folder, "--password", "Secret"}).code, 0);
  ovrin::Sessions().Default().RemoveAllPasswords();
}

// An enciphered table whose record count was overwritten with a smaller one: the repair
// reads the records after the count deciphered, finds them posted and counts them again;
// nothing goes to a .cut file and every record reads.
TEST(ArchiveToolTest, RepairOfAnEncipheredTableCountsPostedRecordsAgain) {
  TempDir dir;
  std::string folder = dir / "secret";
  fs::create_directories(folder);
  ovrin::TTableSpec def;
  def.Fields = {ovrin::TFieldSpec{"ID", ovrin::fldInteger, ovrin::subAutoInc},
                ovrin::TFieldSpec{"NAME", ovrin::fldString, ovrin::subNone, 20}};
  def.Primary.Fields = {"ID"};
  def.Password = "Secret";
  ovrin::CreateTable(folder + "/vault", def);
  ovrin::Sessions().Default().AddPassword("Secret");
  {
    ovrin::TOvrinTable t;
    t.SetDatabaseName(folder);
    t.SetTableName("vault");
    t.Open();
    for (int i = 1; i <= 9; ++i) {
      t.Append();
      t.FieldByName("NAME").SetAsString("item" + std::to_string(i));
      t.Post();
    }
  }
  ovrin::Sessions().Default().RemoveAllPasswords();
  std::string dat;
  for (const auto& e : fs::directory_iterator(folder))
    if (ovrin::AsciiUpper(e.path().extension().string()) == ".DAT") dat = e.path();
  Patch(dat, 13, std::string("\x04\0\0\0", 4));  // header: the next record number, 4 (3 records)
  TRun repair = Tool({"repair", folder, "vault", "--password", "Secret"});
  EXPECT_EQ(repair.code, 0) << repair.out << repair.err;
  EXPECT_NE(repair.out.find("counts 3 records, but the 6 after them were posted"), std::string::npos) << repair.out;
  EXPECT_FALSE(fs::exists(dat + ".cut"));
  ovrin::Sessions().Default().RemoveAllPasswords();
  EXPECT_EQ(Tool({"check", folder, "vault", "--password", "Secret"}).code, 0);
  ovrin::Sessions().Default().AddPassword("Secret");
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("vault");
  t.Open();
  std::vector<std::string> names;
  for (t.First(); !t.Eof(); t.Next()) names.push_back(t.FieldByName("NAME").AsString());
  t.Close();
  ovrin::Sessions().Default().RemoveAllPasswords();
  EXPECT_EQ(names, (std::vector<std::string>{"item1", "item2", "item3", "item4", "item5", "item6", "item7", "item8",
                                             "item9"}));
}

// A migration into the archive holds its run lock: a repair then would take tables from
// under the run's next step. It is refused, changing nothing; once the run has ended it
// goes ahead and leaves no lock file behind.
TEST(ArchiveToolTest, RepairWaitsForAMigrationRunIntoTheArchive) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 5);
  const auto before = FolderBytes(folder);
  {
    hollard::TTargetLock run;
    std::string detail;
    ASSERT_EQ(run.Acquire(folder + "/", &detail), hollard::TTargetLock::TResult::Taken) << detail;
    TRun refused = Tool({"repair", folder, "modules"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_NE(refused.err.find("modules was not repaired: a migration into " + folder + " is running (process "),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("nothing was changed"), std::string::npos) << refused.err;
  }
  EXPECT_EQ(FolderBytes(folder), before);
  TRun repaired = Tool({"repair", folder, "modules"});
  EXPECT_EQ(repaired.code, 0) << repaired.out << repaired.err;
  EXPECT_FALSE(fs::exists(folder + "/" + hollard::TTargetLock::kFileName));
}

TEST(ArchiveToolTest, CheckReportsDamagePreciselyAndChangesNothing) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 12);
  TRun sound = Tool({"check", folder});
  ASSERT_EQ(sound.code, 0) << sound.out;
  EXPECT_NE(sound.out.find("modules: ok (12 records, 0 deleted"), std::string::npos) << sound.out;
  EXPECT_NE(sound.out.find("All 11 tables are sound"), std::string::npos);
  EXPECT_NE(Tool({"check", folder, "users"}).out.find("users: ok (0 records, 0 deleted, 0 blob blocks)\nThe table is sound\n"),
            std::string::npos);
  DropOneModuleKey(folder);
  auto before = FolderBytes(folder);
  TRun damaged = Tool({"check", folder, "modules", "users"});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_NE(damaged.out.find("modules: 1 problem(s)"), std::string::npos) << damaged.out;
  EXPECT_NE(damaged.out.find("index NAME: record"), std::string::npos) << damaged.out;
  EXPECT_NE(damaged.out.find("users: ok"), std::string::npos) << damaged.out;
  EXPECT_NE(damaged.out.find("1 of 2 tables damaged"), std::string::npos) << damaged.out;
  EXPECT_NE(Tool({"check", folder, "modules"}).out.find("1 of 1 table damaged"), std::string::npos);
  EXPECT_EQ(FolderBytes(folder), before);  // reads only
  // A table that cannot be opened at all.
  std::string dat;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().stem() == "labels" && ovrin::AsciiUpper(e.path().extension().string()) == ".DAT") dat = e.path();
  fs::resize_file(dat, 100);
  TRun cut = Tool({"check", folder, "labels"});
  EXPECT_EQ(cut.code, 1);
  EXPECT_NE(cut.out.find("labels: cannot be opened"), std::string::npos) << cut.out;
}

// The folder entry of one of a table's files, whatever the letter case of its extension.
std::string TableFile(const std::string& folder, const std::string& table, const std::string& extension) {
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().stem() == table && ovrin::AsciiUpper(e.path().extension().string()) == extension)
      return e.path().string();
  return folder + "/" + table + extension;
}

TEST(ArchiveToolTest, CheckNamesATableWhoseDataFileIsMissingOrNotAFile) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 2);
  std::string dat = TableFile(folder, "revision", ".DAT");
  fs::remove(dat);
  TRun missing = Tool({"check", folder});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.out.find("revision: cannot be opened\n  data file revision.DAT is missing (revision.IDX and "
                             "revision.BLB are there)"),
            std::string::npos)
      << missing.out;
  EXPECT_NE(missing.out.find("1 of 11 tables damaged"), std::string::npos) << missing.out;
  fs::create_directory(dat);
  TRun folderInstead = Tool({"check", folder});
  EXPECT_EQ(folderInstead.code, 1);
  EXPECT_NE(folderInstead.out.find("  revision.DAT is not a regular file"), std::string::npos) << folderInstead.out;
  EXPECT_NE(folderInstead.out.find("1 of 11 tables damaged"), std::string::npos) << folderInstead.out;
}

// Tables gone from an archive (a create that failed half way used to leave them so; a
// table's files removed): every table there was sound, and check said so.
TEST(ArchiveToolTest, CheckNamesTheArchiveTablesAFolderLacks) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 2);
  for (const char* table : {"todo", "vcslog"})
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) fs::remove(TableFile(folder, table, ext));
  TRun lacking = Tool({"check", folder});
  EXPECT_EQ(lacking.code, 1);
  EXPECT_NE(lacking.out.find("The archive lacks 2 of its 11 tables: todo, vcslog (no files of those names in " +
                             folder + "); a migration refuses it\n"),
            std::string::npos)
      << lacking.out;
  EXPECT_NE(lacking.out.find("The 9 tables there are sound, but the archive is not whole\n"), std::string::npos)
      << lacking.out;
  // Named tables are checked as named; a folder of other tables is no archive of ours.
  EXPECT_EQ(Tool({"check", folder, "modules"}).code, 0);
  // A name no file answers to (misspelt, or one of those removed) is not found, not
  // damaged.
  TRun misspelt = Tool({"check", folder, "modules", "todo"});
  EXPECT_EQ(misspelt.code, 1);
  EXPECT_NE(misspelt.out.find("todo: no such table in " + folder + " (no data, index or blob file of that name)\n"),
            std::string::npos)
      << misspelt.out;
  EXPECT_NE(misspelt.out.find("1 of 2 tables named was not found\n"), std::string::npos) << misspelt.out;
  EXPECT_EQ(misspelt.out.find("damaged"), std::string::npos) << misspelt.out;
  EXPECT_EQ(misspelt.out.find("sound"), std::string::npos) << misspelt.out;
  TempDir others;
  ovrin::TTableSpec def;
  def.Fields = {ovrin::TFieldSpec{"ID", ovrin::fldInteger}};
  ovrin::CreateTable(others / "parts", def);
  TRun notOurs = Tool({"check", others.Path()});
  EXPECT_EQ(notOurs.code, 0) << notOurs.out;
  EXPECT_EQ(notOurs.out.find("lacks"), std::string::npos) << notOurs.out;
}

// A data file cut inside its header: every tool advised the repair, which cannot rebuild
// a header and failed. Check, tables, repair and the migration's preflight now send the
// user to a backup; an index file cut the same way is still the repair's to mend.
TEST(ArchiveToolTest, ADataFileCutInsideItsHeaderIsForABackupNotTheRepair) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 2);
  std::string dat = TableFile(folder, "modules", ".DAT");
  const std::string advice = "The header of its data file, which holds the table's fields and record count, does not "
                             "read, and 'hollard-archive repair' cannot rebuild it: put the table's files (modules.DAT, "
                             "modules.IDX and any modules.BLB) back from a backup";
  EXPECT_TRUE(ovrin::DataHeaderReadable(folder + "/modules"));
  const std::string whole = FileBytes(dat);
  for (uint64_t size : {uint64_t(0), uint64_t(100), uint64_t(3000)}) {
    SCOPED_TRACE(size);
    WriteFileBytes(dat, whole.substr(0, size));
    EXPECT_FALSE(ovrin::DataHeaderReadable(folder + "/modules"));
    TRun check = Tool({"check", folder, "modules"});
    EXPECT_EQ(check.code, 1);
    EXPECT_NE(check.out.find("modules: cannot be opened\n"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find(advice), std::string::npos) << check.out;
    TRun tables = Tool({"tables", folder});
    EXPECT_NE(tables.err.find(advice), std::string::npos) << tables.err;
    TRun repair = Tool({"repair", folder, "modules"});
    EXPECT_EQ(repair.code, 1);
    EXPECT_NE(repair.err.find("modules was not repaired: "), std::string::npos) << repair.err;
    EXPECT_NE(repair.err.find(advice), std::string::npos) << repair.err;
    std::vector<hollard::TTargetProblem> problems = hollard::TargetProblems(folder, true);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].message.find(advice), std::string::npos) << problems[0].message;
    EXPECT_EQ(problems[0].message.find("repair " + folder + " modules"), std::string::npos) << problems[0].message;
  }
  WriteFileBytes(dat, whole);
  std::string idx = TableFile(folder, "modules", ".IDX");
  fs::resize_file(idx, 100);
  EXPECT_TRUE(ovrin::DataHeaderReadable(folder + "/modules"));
  TRun check = Tool({"check", folder, "modules"});
  EXPECT_EQ(check.out.find(advice), std::string::npos) << check.out;
  TRun repair = Tool({"repair", folder, "modules"});
  EXPECT_EQ(repair.code, 0) << repair.err;
  // A blob file cut inside its header stops the repair before it changes anything; the
  // repair then says where to go.
  std::string blb = TableFile(folder, "modules", ".BLB");
  fs::resize_file(blb, 100);
  TRun blob = Tool({"repair", folder, "modules"});
  EXPECT_EQ(blob.code, 1);
  EXPECT_NE(blob.err.find("The repair cannot get past this damage: put the table's files (modules.DAT, modules.IDX "
                          "and any modules.BLB) back from a backup."),
            std::string::npos)
      << blob.err;
}

TEST(ArchiveToolTest, ATableHeldByAnotherProgramIsInUseWithItsOwnExitCode) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 4);
  TRun help = Tool({"check", "--help"});
  EXPECT_NE(help.out.find("3  (check, repair) a table is in use by another program"), std::string::npos) << help.out;
  EXPECT_NE(Tool({"repair", "--help"}).out.find("3  (check, repair)"), std::string::npos);
  EXPECT_NE(Tool({"--help"}).out.find("3  (check, repair)"), std::string::npos);
  {
    ovrin::TOvrinTable holder;
    holder.SetDatabaseName(folder);
    holder.SetTableName("modules");
    holder.SetExclusive(true);
    holder.Open();
    auto before = FolderBytes(folder);
    TRun check = Tool({"check", folder});
    EXPECT_EQ(check.code, 3) << check.out;
    EXPECT_NE(check.out.find("modules: in use by another program, not checked"), std::string::npos) << check.out;
    EXPECT_EQ(check.out.find("damaged"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("1 of 11 tables in use by another program"), std::string::npos) << check.out;
    TRun repair = Tool({"repair", folder, "modules"});
    EXPECT_EQ(repair.code, 3);
    EXPECT_NE(repair.err.find("modules was not repaired: it is in use by another program; nothing was changed"),
              std::string::npos)
        << repair.err;
    EXPECT_EQ(FolderBytes(folder), before);
    // Damage elsewhere is still damage, and says so with its own code.
    fs::resize_file(TableFile(folder, "labels", ".DAT"), 100);
    EXPECT_EQ(Tool({"check", folder}).code, 1);
  }
  EXPECT_EQ(Tool({"check", folder, "modules"}).code, 0);
}

// Permissions are no damage: a table whose files this user may not read was reported as
// damaged (the cure offered would be a repair or a backup), and a repair of a read-only
// table failed at its first write.
TEST(ArchiveToolTest, ATableThisUserMayNotReadOrWriteIsNeitherDamagedNorHalfRepaired) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 4);
  const std::string index = TableFile(folder, "modules", ".IDX");
  ::chmod(index.c_str(), 0444);
  auto before = FolderBytes(folder);
  TRun repair = Tool({"repair", folder, "modules"});
  EXPECT_EQ(repair.code, 1);
  EXPECT_NE(repair.err.find("modules was not repaired: modules.IDX is read-only; nothing was changed"),
            std::string::npos)
      << repair.err;
  EXPECT_EQ(FolderBytes(folder), before);
  ::chmod(index.c_str(), 0644);
  EXPECT_EQ(Tool({"repair", folder, "modules"}).code, 0);

  // check as a user whom permissions shut out (root reads any file): a file it may not
  // read, and a folder it may not enter (whose tables the engine calls an invalid path).
  const std::string data = TableFile(folder, "modules", ".DAT");
  if (::geteuid() == 0) ovrin::test::OpenToEveryone(dir.Path());
  ::chmod(data.c_str(), 0);
  const std::string shut = dir / "shut";
  fs::create_directories(shut);
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    if (fs::exists(TableFile(folder, "users", ext))) fs::copy_file(TableFile(folder, "users", ext), shut + "/users" + ext);
  ::chmod(shut.c_str(), ::geteuid() == 0 ? 0700 : 0);
  EXPECT_EQ(ovrin::test::AsUnprivileged([&] {
              std::string wrong;
              TRun check = Tool({"check", folder});
              if (check.code != 1) wrong += "check's exit code " + std::to_string(check.code) + "\n";
              for (const char* expected : {"modules: cannot be read by this user (permissions), not checked",
                                           "1 of 11 tables cannot be read by this user, not checked"})
                if (check.out.find(expected) == std::string::npos) wrong += "not said: " + std::string(expected) + "\n";
              TRun inShut = Tool({"check", shut, "users"});
              if (inShut.code != 1) wrong += "check's exit code in the shut folder " + std::to_string(inShut.code) + "\n";
              if (inShut.out.find("users: cannot be read by this user (permissions), not checked") == std::string::npos)
                wrong += "not said of the shut folder's table\n";
              if ((check.out + inShut.out).find("damaged") != std::string::npos) wrong += "called damaged\n";
              // Read, its table is access denied, not a wrong path (11010).
              TRun dumped = Tool({"dump", shut, "users"});
              if (dumped.code != 1 || dumped.err.find("Ovrin Engine Error # 11013 Access denied to data file " + shut) ==
                                          std::string::npos)
                wrong += "dump of the shut folder's table: " + dumped.err + "\n";
              // Nor can its tables be listed: the folder is named, with the reason.
              TRun verified = Tool({"verify", shut, folder});
              if (verified.code != 1 || verified.err.find("the folder " + shut + " cannot be read by this user "
                                                          "(Permission denied); verify lists it") == std::string::npos)
                wrong += "verify of the shut folder: " + verified.err + "\n";
              for (const char* command : {"check", "tables"}) {
                TRun listed = Tool({command, shut});
                if (listed.code != 1 || listed.err.find("cannot list the archive folder " + shut +
                                                        ": Permission denied") == std::string::npos)
                  wrong += std::string(command) + " of the shut folder: " + listed.err + "\n";
              }
              return wrong.empty() ? wrong : wrong + check.out + check.err + inShut.out + inShut.err;
            }),
            "");
  ::chmod(data.c_str(), 0644);
  ::chmod(shut.c_str(), 0755);
}

TEST(ArchiveToolTest, ATableHeldByAnotherProcessIsInUse) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 3);
  int held[2], release[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The other program: holds the table open exclusively until told to let go.
    int code = 0;
    try {
      ovrin::TOvrinTable holder;
      holder.SetDatabaseName(folder);
      holder.SetTableName("revision");
      holder.SetExclusive(true);
      holder.Open();
      char c = 1;
      if (write(held[1], &c, 1) != 1 || read(release[0], &c, 1) != 1) code = 2;
    } catch (const std::exception&) {
      code = 1;
    }
    _exit(code);
  }
  char c = 0;
  ASSERT_EQ(read(held[0], &c, 1), 1);
  auto before = FolderBytes(folder);
  TRun check = Tool({"check", folder});
  TRun repair = Tool({"repair", folder, "revision"});
  EXPECT_EQ(FolderBytes(folder), before);
  ASSERT_EQ(write(release[1], &c, 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {held[0], held[1], release[0], release[1]}) close(fd);
  EXPECT_EQ(check.code, 3) << check.out;
  EXPECT_NE(check.out.find("revision: in use by another program, not checked"), std::string::npos) << check.out;
  EXPECT_EQ(repair.code, 3) << repair.out << repair.err;
  EXPECT_NE(repair.err.find("revision was not repaired: it is in use by another program"), std::string::npos)
      << repair.err;
  EXPECT_EQ(Tool({"check", folder}).code, 0);
}

TEST(ArchiveToolTest, ALastIdentifierBelowARecordsIsFoundAndRaised) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 5);
  Patch(TableFile(folder, "modules", ".DAT"), 17, std::string("\1\0\0\0", 4));
  TRun check = Tool({"check", folder, "modules"});
  EXPECT_EQ(check.code, 1);
  EXPECT_NE(check.out.find("data header: last autoincrement value 1 is below identifier 5 of record 5"),
            std::string::npos)
      << check.out;
  TRun repair = Tool({"repair", folder, "modules"});
  EXPECT_EQ(repair.code, 0) << repair.out;
  EXPECT_NE(repair.out.find("Last identifier 1 raised to 5"), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find("modules: 2 fix(es)"), std::string::npos) << repair.out;  // the raise, and its problem gone
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("modules");
  t.Open();
  t.Append();
  t.FieldByName("NAME").SetAsString("six.pas");
  t.Post();  // the identifier 2 would be refused by the primary index (9729)
  EXPECT_EQ(t.FieldByName("MODULEID").AsInteger(), 6);
}

TEST(ArchiveToolTest, RepairNeverTrustsTheIndexFileOfAnotherTable) {
  TempDir dir;
  std::string folder = dir / "new";
  ASSERT_EQ(Tool({"create", folder}).code, 0);
  {
    ovrin::TOvrinTable links, todo;
    links.SetDatabaseName(folder);
    links.SetTableName("pjmodule");
    links.Open();
    for (int i = 1; i <= 29; ++i) {
      links.Append();
      links.FieldByName("PROJECTID").SetAsInteger(i % 3 + 1);
      links.FieldByName("MODULEID").SetAsInteger(i);
      links.Post();
    }
    todo.SetDatabaseName(folder);
    todo.SetTableName("todo");
    todo.Open();
    for (int i = 1; i <= 7; ++i) {
      todo.Append();
      todo.FieldByName("PROJECTID").SetAsInteger(i % 2 + 1);
      todo.FieldByName("CATEGORY").SetAsString("c" + std::to_string(i));
      todo.Post();
    }
  }
  std::string todoIdx = TableFile(folder, "todo", ".IDX"), linksIdx = TableFile(folder, "pjmodule", ".IDX");
  fs::rename(todoIdx, folder + "/swap");
  fs::rename(linksIdx, todoIdx);
  fs::rename(folder + "/swap", linksIdx);
  std::string foreign = ovrin::test::FileBytes(linksIdx);

  TRun links = Tool({"repair", folder, "pjmodule"});
  EXPECT_EQ(links.code, 0) << links.out << links.err;
  EXPECT_NE(links.out.find("Index file pjmodule.IDX does not fit the table: it gives the table a primary index, the "
                           "table has none; it is kept as pjmodule.IDX.damaged, and a new one is made from the "
                           "table's structure"),
            std::string::npos)
      << links.out;
  EXPECT_EQ(links.out.find("the record is deleted"), std::string::npos) << links.out;
  EXPECT_NE(links.out.find("29 records, 0 deleted"), std::string::npos) << links.out;
  EXPECT_NE(links.out.find("pjmodule: ok after the repair"), std::string::npos) << links.out;
  EXPECT_EQ(ovrin::test::FileBytes(linksIdx + ".damaged"), foreign);

  TRun todo = Tool({"repair", folder, "todo"});
  EXPECT_EQ(todo.code, 0) << todo.out << todo.err;
  EXPECT_NE(todo.out.find("kept as todo.IDX.damaged"), std::string::npos) << todo.out;
  EXPECT_NE(todo.out.find("7 records, 0 deleted"), std::string::npos) << todo.out;
  TRun check = Tool({"check", folder});
  EXPECT_EQ(check.code, 0) << check.out;
  EXPECT_NE(check.out.find("pjmodule: ok (29 records, 0 deleted"), std::string::npos) << check.out;
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("pjmodule");
  t.SetIndexName("PROJECTID");
  t.Open();
  t.SetRangeStart();
  t.FieldByName("PROJECTID").SetAsInteger(2);
  t.SetRangeEnd();
  t.FieldByName("PROJECTID").SetAsInteger(2);
  t.ApplyRange();
  int inProject = 0;
  for (t.First(); !t.Eof(); t.Next()) ++inProject;
  EXPECT_EQ(inProject, 10);  // modules 1, 4, ..., 28 of project 2
}

TEST(ArchiveToolTest, RepairCountsWhatItRebuiltAndNamesWhatRemains) {
  TempDir dir;
  std::string folder = ArchiveWithModules(dir, 6);
  DropOneModuleKey(folder);
  TRun repair = Tool({"repair", folder, "modules"});
  EXPECT_EQ(repair.code, 0) << repair.out;
  EXPECT_NE(repair.out.find("  Mended: index NAME: record"), std::string::npos) << repair.out;
  EXPECT_EQ(repair.out.find("0 fix(es)"), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find("modules: ok after the repair"), std::string::npos) << repair.out;
}

// The repair used to check for other users and then open the table's files one step
// after another: a reader in another process opening the table in between made the
// repair fail half done, took the sharing violation for an index file that does not
// fit (a sound index file set aside, unannounced, as .damaged), or saw the table with
// its index file emptied. Now a reader's open either fails with the sharing violation
// or sees every record, and a repair either repairs or finds the table in use.
TEST(ArchiveToolTest, ARepairRacingAReaderNeitherSetsASoundIndexAsideNorShowsItHalfRepaired) {
  TempDir dir;
  constexpr int kRecords = 200, kRepairs = 150;
  std::string folder = ArchiveWithModules(dir, kRecords);
  int started[2], stop[2], result[2];
  ASSERT_EQ(pipe(started), 0);
  ASSERT_EQ(pipe(stop), 0);
  ASSERT_EQ(pipe(result), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The reader: opens the table and walks it in index order, again and again until
    // told to stop, and then once more (nobody repairs it then). An open refused with
    // the sharing violation is another user at work and tolerated; any other error, or
    // a walk that does not see every record, is reported.
    int walks = 0, refused = 0;
    std::string wrong;
    auto walk = [&]() -> bool {
      try {
        ovrin::TOvrinTable t;
        t.SetDatabaseName(folder);
        t.SetTableName("modules");
        t.SetReadOnly(true);
        t.Open();
        int seen = 0;
        for (t.First(); !t.Eof(); t.Next()) ++seen;
        ++walks;
        if (seen != kRecords && wrong.empty()) wrong = "a walk saw " + std::to_string(seen) + " records";
        return true;
      } catch (const ovrin::EOvrinEngineError& e) {
        if (e.ErrorCode() == ovrin::errAccessDenied) {
          ++refused;
          return false;
        }
        if (wrong.empty()) wrong = e.Message();
      } catch (const std::exception& e) {
        if (wrong.empty()) wrong = e.what();
      }
      return false;
    };
    walk();
    char c = 1;
    if (write(started[1], &c, 1) != 1) _exit(2);
    for (;;) {
      pollfd p = {stop[0], POLLIN, 0};
      if (poll(&p, 1, 0) > 0) break;
      walk();
    }
    if (!walk() && wrong.empty()) wrong = "the last walk, with nobody else at work, failed";
    std::string summary = std::to_string(walks) + " walks, " + std::to_string(refused) + " refused; " + wrong;
    if (write(result[1], summary.data(), summary.size()) != ssize_t(summary.size())) _exit(2);
    _exit(wrong.empty() ? 0 : 1);
  }
  char c = 0;
  ASSERT_EQ(read(started[0], &c, 1), 1);
  std::map<int, int> codes;
  for (int i = 0; i < kRepairs; ++i) {
    TRun repair = Tool({"repair", folder, "modules"});
    ++codes[repair.code];
    if (repair.code == 0) {
      EXPECT_NE(repair.out.find("modules: ok after the repair"), std::string::npos) << repair.out;
      EXPECT_EQ(repair.out.find("does not fit"), std::string::npos) << repair.out;
    } else {
      EXPECT_EQ(repair.code, 3) << repair.out << repair.err;
      EXPECT_NE(repair.err.find("modules was not repaired: it is in use by another program; nothing was changed"),
                std::string::npos)
          << repair.err;
    }
  }
  ASSERT_EQ(write(stop[1], &c, 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  std::string summary(4096, '\0');
  ssize_t n = read(result[0], summary.data(), summary.size());
  summary.resize(n > 0 ? size_t(n) : 0);
  for (int fd : {started[0], started[1], stop[0], stop[1], result[0], result[1]}) close(fd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << summary;
  EXPECT_EQ(codes[0] + codes[3], kRepairs);
  for (const auto& e : fs::directory_iterator(folder)) {
    EXPECT_EQ(e.path().filename().string().find(".damaged"), std::string::npos) << e.path();
    EXPECT_EQ(e.path().filename().string().find(".new"), std::string::npos) << e.path();
  }
  TRun check = Tool({"check", folder, "modules"});
  EXPECT_EQ(check.code, 0) << check.out;
  EXPECT_NE(check.out.find("modules: ok (" + std::to_string(kRecords) + " records"), std::string::npos) << check.out;
}

// A folder without tables (empty, or an old-layout archive given by mistake) used to be
// "All 0 tables are sound" for check and an empty list for tables, both with exit 0.
TEST(ArchiveToolTest, CheckAndTablesOfAFolderWithoutTablesSayNoneWereFound) {
  TempDir dir;
  std::string empty = dir / "empty", old = dir / "old";
  fs::create_directories(empty);
  ASSERT_EQ(Tool({"make-source", old, "--revisions", "2", "--modules", "2"}).code, 0);
  for (const std::string& folder : {empty, old}) {
    TRun check = Tool({"check", folder});
    EXPECT_EQ(check.code, 1) << check.out;
    EXPECT_EQ(check.err, "hollard-archive: no tables found in " + folder + "\n");
    EXPECT_EQ(check.out.find("sound"), std::string::npos) << check.out;
    TRun tables = Tool({"tables", folder});
    EXPECT_EQ(tables.code, 1) << tables.out;
    EXPECT_EQ(tables.err, "hollard-archive: no tables found in " + folder + "\n");
  }
  EXPECT_NE(Tool({"check", "--help"}).out.find("A folder without tables is an error"), std::string::npos);
  EXPECT_NE(Tool({"tables", "--help"}).out.find("a folder without tables is an error"), std::string::npos);
  EXPECT_NE(Tool({"--help"}).out.find("no tables found in the folder"), std::string::npos);
}

}  // namespace
}  // namespace hollard

namespace hollard {
namespace {

// Verify with its own eyes: module-list lines the migration cut to their field, or that
// differ only by trailing blanks or a NUL byte, were reported lost; lines without a
// valid date are listed apart; a source chain cut short is a loss.
TEST(ArchiveToolTest, VerifyCountsCutModuleListLinesAndListsPassedOverLinesApart) {
  TempDir dir;
  std::string source = dir / "old", target = dir / "new";
  ASSERT_EQ(Tool({"make-source", source, "--revisions", "40", "--modules", "10", "--projects", "2", "--blob-bytes",
                  "2000", "--seed", "6"})
                .code,
            0);
  ASSERT_EQ(Tool({"create", target}).code, 0);
  std::string longLine = "C:\\" + std::string(252, 'w') + "\\Cut.pas";  // the folder is cut to 250
  {
    std::ofstream prl(source + "/Main.prl", std::ios::binary | std::ios::app);
    prl << longLine << "\r\n" << "C:\\Work\\Blank.pas   \r\n" << std::string("C:\\Work\\Nul.pas\0junk", 21) << "\r\n";
  }
  TQuietUser user;
  TMigration migration(user);
  migration.SetSourceDir(source);
  migration.SetTargetDir(target);
  migration.Import();
  ASSERT_FALSE(migration.Report().Failed()) << (user.errors.empty() ? "" : user.errors.front());

  TRun clean = Tool({"verify", source, target});
  EXPECT_EQ(clean.code, 0) << clean.out;
  EXPECT_NE(clean.out.find("Dates read as dd.mm.yyyy, time separator ':' (found automatically"), std::string::npos)
      << clean.out;
  EXPECT_NE(clean.out.find("module list entries cut to their field 1\n"), std::string::npos) << clean.out;
  EXPECT_NE(clean.out.find("Passed over by the migration's rules: no valid date (2):\n  " + source +
                           "/hollardm.log, line "),
            std::string::npos)
      << clean.out;
  EXPECT_NE(clean.out.find(": an undated line without a time\n"), std::string::npos) << clean.out;
  EXPECT_NE(clean.out.find("Nothing was lost"), std::string::npos) << clean.out;

  // The history's lines are all counted, migrated or not: a target without them loses
  // every dated one, and the undated ones are still only passed over.
  TVerifyOptions options;
  options.settings = ovrin::FixedFormatSettings();
  TVerifyReport report = VerifyMigration(source, target, options);
  EXPECT_EQ(report.checked["log lines"], report.checked["dated log lines"] + 2);
  EXPECT_EQ(report.checked["dated log lines"], 40);

  // The revision table's chain cut after its first block.
  std::string db = ovrin::test::FileBytes(source + "/hollardm.db");
  size_t headerSize = static_cast<uint8_t>(db[2]) | static_cast<uint8_t>(db[3]) << 8;
  size_t first = static_cast<uint8_t>(db[0x0E]) | static_cast<uint8_t>(db[0x0F]) << 8;
  size_t at = headerSize + (first - 1) * static_cast<size_t>(static_cast<uint8_t>(db[5])) * 1024;
  db[at] = db[at + 1] = 0;
  std::ofstream(source + "/hollardm.db", std::ios::binary | std::ios::trunc) << db;
  TRun damaged = Tool({"verify", source, target});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_NE(damaged.out.find("hollardm.db is damaged: its data block chain holds "), std::string::npos) << damaged.out;
}

}  // namespace
}  // namespace hollard
