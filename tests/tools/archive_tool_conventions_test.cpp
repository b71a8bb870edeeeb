// hollard-archive follows the command-line conventions: --version and a --help that
// explains exit codes, defaults and examples; every wrong value refused with exit code
// 2 before any work; a damaged table named with the commands that look at it and mend
// it; memory that runs out reported as the engine's error.
//
// This binary replaces the global allocation functions, so that a test can make every
// large allocation fail; they are plain malloc and free otherwise.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include "engine/base/conversions.h"
#include "engine/table/session.h"
#include "engine/table/table.h"
#include "main/version.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/archive_tool_run.h"
#include "tools/archive_tool.h"

namespace {
// Allocations of at least this many bytes fail while it is not 0.
std::atomic<std::size_t> gRefuseFrom{0};

void* Allocate(std::size_t n) {
  std::size_t refuse = gRefuseFrom.load(std::memory_order_relaxed);
  if (refuse != 0 && n >= refuse) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace hollard {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FolderBytes;
using ovrin::test::TempDir;

using test::TRun;
using test::Tool;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A table's file with this extension, whatever the letter case of the extension.
std::string TableFile(const std::string& folder, const std::string& table, const std::string& extension) {
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().stem() == table && ovrin::AsciiUpper(e.path().extension().string()) == extension)
      return e.path().string();
  return folder + "/" + table + extension;
}

// A new-layout archive with one user in it.
std::string ArchiveWithUser(const std::string& folder) {
  EXPECT_EQ(Tool({"create", folder}).code, 0);
  ovrin::TOvrinTable users;
  users.SetDatabaseName(folder);
  users.SetTableName("users");
  users.Open();
  users.Append();
  users.FieldByName("LOGIN").SetAsString("ada");
  users.Post();
  return folder;
}

// Bytes after a table's last record that its header does not count: the engine refuses
// to open the table ("Header information corrupt"), and repair cuts them.
void AppendStrayBytes(const std::string& folder, const std::string& table) {
  std::ofstream dat(TableFile(folder, table, ".DAT"), std::ios::binary | std::ios::app);
  dat << "stray";
}

constexpr const char* kHeaderCorrupt = "Ovrin Engine Error # 8961 Header information corrupt";

TEST(ArchiveToolConventionsTest, VersionAndHelpSayWhatAUserNeeds) {
  TRun version = Tool({"--version"});
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_EQ(version.out, VersionText("hollard-archive") + "\n");
  EXPECT_EQ(version.err, "");
  EXPECT_TRUE(Has(version.out, "(Ovrin engine 1.19)")) << version.out;

  TRun help = Tool({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(Has(help.out, "--version")) << help.out;
  // Every exit code with what it means.
  EXPECT_TRUE(Has(help.out, "Exit codes:\n  0  done (check: every table sound; verify: nothing lost; repair: the table "
                            "sound afterwards)\n  1  the work failed or a table is damaged"))
      << help.out;
  EXPECT_TRUE(Has(help.out, "\n  2  the command line is wrong")) << help.out;
  EXPECT_TRUE(Has(help.out, "\n  3  (check, repair) a table is in use by another program")) << help.out;
  EXPECT_TRUE(Has(help.out, "Examples:\n  hollard-archive make-source old")) << help.out;
  EXPECT_TRUE(Has(help.out, "\n  hollard-archive repair new modules")) << help.out;

  // Options show their defaults; every subcommand lists the exit codes.
  TRun makeSource = Tool({"make-source", "--help"});
  EXPECT_TRUE(Has(makeSource.out, "--revisions INT:INT in [0 - 10000000]=200")) << makeSource.out;
  EXPECT_TRUE(Has(makeSource.out, "--date-format TEXT=dd.mm.yyyy")) << makeSource.out;
  EXPECT_TRUE(Has(makeSource.out, "--time-separator TEXT=:")) << makeSource.out;
  TRun dump = Tool({"dump", "--help"});
  EXPECT_TRUE(Has(dump.out, "--code-page TEXT=windows-1252")) << dump.out;
  EXPECT_TRUE(Has(dump.out, "--blobs TEXT=size")) << dump.out;
  EXPECT_TRUE(Has(Tool({"verify", "--help"}).out, "--date-format TEXT=auto"));
  for (const char* command : {"make-source", "create", "tables", "schema", "dump", "check", "verify", "repair"})
    EXPECT_TRUE(Has(Tool({command, "--help"}).out, "\n  2  the command line is wrong")) << command;
}

TEST(ArchiveToolConventionsTest, EveryWrongValueExitsTwoNamingTheOptionBeforeAnyWork) {
  TempDir dir;
  std::string folder = ArchiveWithUser(dir / "new");
  std::string source = dir / "old";
  ASSERT_EQ(Tool({"make-source", source, "--revisions", "3", "--modules", "2", "--projects", "1"}).code, 0);
  auto before = FolderBytes(folder);
  auto refused = [](const std::vector<std::string>& args, const std::vector<std::string>& named) {
    TRun run = Tool(args);
    EXPECT_EQ(run.code, 2) << args.at(0) << " " << args.back() << "\n" << run.out << run.err;
    EXPECT_EQ(run.out, "") << args.back();  // nothing done, nothing written
    for (const std::string& part : named) EXPECT_TRUE(Has(run.err, part)) << part << " in: " << run.err;
    EXPECT_TRUE(Has(run.err, "Run 'hollard-archive " + args.at(0) + " --help'")) << run.err;
  };

  // An unknown code page used to show every value, identifiers too, as empty, exit 0.
  refused({"dump", folder, "users", "--code-page", "bogus"}, {"--code-page", "'bogus'"});
  refused({"dump", folder, "users", "--code-page", ""}, {"--code-page", "unknown code page"});
  // Verify's values used to be found wrong only after the command had started: exit 1.
  refused({"verify", source, folder, "--code-page", "bogus"}, {"--code-page", "'bogus'"});
  refused({"verify", source, folder, "--date-format", "bogus"}, {"--date-format", "'bogus'"});
  refused({"verify", source, folder, "--time-separator", "ab"}, {"--time-separator", "'ab'"});
  refused({"verify", source, folder, "--bogus"}, {"--bogus"});
  refused({"verify", source, dir / "absent"}, {"target", "no folder '" + dir / "absent" + "'"});
  refused({"verify", dir / "absent", folder}, {"source", "no folder"});
  refused({"make-source", dir / "x", "--date-format", "bogus"}, {"--date-format", "'bogus'", "day, month and year"});
  refused({"make-source", dir / "x", "--time-separator", "1"}, {"--time-separator", "'1'"});
  EXPECT_FALSE(fs::exists(dir / "x"));
  // Values only the table can judge are still the command line's fault.
  refused({"dump", folder, "users", "--index", "NOPE"}, {"--index 'NOPE'", "10022"});
  refused({"dump", folder, "users", "--filter", "NOPE = 1"}, {"--filter 'NOPE = 1'", "NOPE"});
  refused({"dump", folder, "users", "--range", "a", "b"}, {"--range 'a' 'b'", "'a' is not a valid integer value"});
  refused({"dump", folder, "rvlabels", "--range", "1", "2"}, {"--range", "has none"});
  // Folders that must be there, and folders to be made where a file is.
  std::string file = TableFile(folder, "users", ".DAT");
  for (const char* command : {"tables", "check"}) {
    refused({command, dir / "absent"}, {"dir", "no folder '" + dir / "absent" + "'"});
    refused({command, file}, {"dir", "'" + file + "' is not a folder"});
  }
  refused({"schema", dir / "absent", "users"}, {"dir", "no folder"});
  refused({"dump", dir / "absent", "users"}, {"dir", "no folder"});
  refused({"repair", dir / "absent", "users"}, {"dir", "no folder"});
  refused({"make-source", file}, {"dir", "exists and is not a folder"});
  refused({"create", file}, {"dir", "exists and is not a folder"});
  refused({"dump", folder, "users", "--blobs", file}, {"--blobs", "exists and is not a folder"});
  // A repair log that cannot be written refuses the repair before it touches the table.
  AppendStrayBytes(folder, "users");
  before = FolderBytes(folder);
  refused({"repair", folder, "users", "--log", dir / "absent/repair.txt"}, {"--log", "absent/repair.txt"});
  EXPECT_EQ(FolderBytes(folder), before);
  TRun repaired = Tool({"repair", folder, "users", "--log", dir / "repair.txt"});
  EXPECT_EQ(repaired.code, 0) << repaired.out << repaired.err;
  EXPECT_TRUE(Has(ovrin::test::FileBytes(dir / "repair.txt"), "5 bytes after the last record cut"))
      << ovrin::test::FileBytes(dir / "repair.txt");
}

TEST(ArchiveToolConventionsTest, ADamagedTableIsNamedWithTheCommandsThatCheckAndRepairIt) {
  TempDir dir;
  std::string folder = ArchiveWithUser(dir / "new archive");  // a blank: the commands quote it
  const std::string quoted = "\"" + folder + "\"";
  AppendStrayBytes(folder, "users");
  const std::string hint = "Run 'hollard-archive check " + quoted +
                           "' to see its problems and 'hollard-archive repair " + quoted + " users' to mend it.\n";
  for (std::vector<std::string> args : {std::vector<std::string>{"dump", folder, "users"},
                                        std::vector<std::string>{"schema", folder, "users"}}) {
    TRun run = Tool(args);
    EXPECT_EQ(run.code, 1) << args[0];
    EXPECT_TRUE(Has(run.err, kHeaderCorrupt)) << run.err;
    EXPECT_TRUE(Has(run.err, hint)) << run.err;
  }
  TRun tables = Tool({"tables", folder});
  EXPECT_EQ(tables.code, 1);
  EXPECT_TRUE(Has(tables.err, "hollard-archive: users: " + std::string(kHeaderCorrupt))) << tables.err;
  EXPECT_TRUE(Has(tables.err, hint)) << tables.err;

  // Verify reads many tables; the hint names the one that is damaged, not the first.
  std::string source = dir / "old";
  ASSERT_EQ(Tool({"make-source", source, "--revisions", "3", "--modules", "2", "--projects", "1"}).code, 0);
  ASSERT_EQ(Tool({"repair", folder, "users"}).code, 0);
  AppendStrayBytes(folder, "vcslog");
  TRun verify = Tool({"verify", source, folder});
  EXPECT_EQ(verify.code, 1);
  EXPECT_TRUE(Has(verify.err, kHeaderCorrupt)) << verify.err;
  EXPECT_TRUE(Has(verify.err, "and 'hollard-archive repair " + quoted + " vcslog' to mend it.\n")) << verify.err;

  // What the hint says to run mends the table.
  EXPECT_EQ(Tool({"check", folder}).code, 1);
  EXPECT_EQ(Tool({"repair", folder, "vcslog"}).code, 0);
  EXPECT_EQ(Tool({"dump", folder, "users"}).code, 0);

  // Failures that are not damage get no such hint.
  TRun missing = Tool({"schema", folder, "nosuch"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(Has(missing.err, "11010")) << missing.err;
  EXPECT_FALSE(Has(missing.err, "repair")) << missing.err;
  {
    ovrin::TOvrinTable holder;
    holder.SetDatabaseName(folder);
    holder.SetTableName("users");
    holder.SetExclusive(true);
    holder.Open();
    TRun inUse = Tool({"dump", folder, "users"});
    EXPECT_EQ(inUse.code, 1);
    EXPECT_FALSE(Has(inUse.err, "repair")) << inUse.err;
  }
}

// std::bad_alloc used to reach the user as "std::bad_alloc".
TEST(ArchiveToolConventionsTest, RunningOutOfMemoryIsTheEnginesError11016) {
  TempDir dir;
  std::string folder = dir / "new";
  ASSERT_EQ(Tool({"create", folder}).code, 0);
  {
    ovrin::TOvrinTable blobs;
    blobs.SetDatabaseName(folder);
    blobs.SetTableName("blobs");
    blobs.Open();
    blobs.Append();
    blobs.FieldByName("FILEDATA").SetAsBytes(std::string(24 << 20, 'z'));
    blobs.Post();
  }
  gRefuseFrom = 8 << 20;
  TRun run = Tool({"dump", folder, "blobs", "--blobs", "hex"});
  gRefuseFrom = 0;
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err,
            "hollard-archive: Ovrin Engine Error # 11016 There is insufficient operating system memory available for "
            "the current operation\n");
  // The same dump with memory enough.
  TRun enough = Tool({"dump", folder, "blobs", "--blobs", "size"});
  EXPECT_EQ(enough.code, 0) << enough.err;
  EXPECT_TRUE(Has(enough.out, "\t" + std::to_string(24 << 20) + "\n")) << enough.out.substr(0, 200);
}

}  // namespace
}  // namespace hollard
