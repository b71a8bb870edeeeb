// hollard-archive follows the command-line conventions: --version and a --help that
// explains exit codes, defaults and examples; every wrong value refused with exit code
// 2 before any work, an unknown command named; a damaged table named with the commands
// that look at it and mend it; memory that runs out reported as the engine's error;
// output that cannot be written is a failure; no archive or table is written over by
// accident.
//
// This binary replaces the global allocation functions, so that a test can make every
// large allocation fail; they are plain malloc and free otherwise.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

using ovrin::test::FileBytes;

// A stream buffer on a full device that refuses every byte at once.
class TRefusingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

// A stream buffer on a full device that takes the bytes into its buffer and fails when
// they are flushed, as standard output on a full disk does with a short output.
class TFailingFlushBuffer : public std::streambuf {
 public:
  TFailingFlushBuffer() : bytes_(1 << 20, '\0') { setp(bytes_.data(), bytes_.data() + bytes_.size()); }

 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  int sync() override { return -1; }

 private:
  std::string bytes_;
};

TRun ToolWritingTo(std::streambuf* buffer, const std::vector<std::string>& args) {
  std::ostream out(buffer);
  std::ostringstream err;
  int code = RunArchiveTool(args, out, err);
  return {code, "", err.str()};
}

constexpr const char* kCannotWrite = "hollard-archive: cannot write the output: ";

// dump, tables, check, --help and --version used to exit with 0 while every byte they
// wrote was lost.
TEST(ArchiveToolOutputTest, LostOutputWasReportedAsSuccess) {
  TempDir dir;
  const std::string folder = ArchiveWithUser(dir / "new");
  const std::vector<std::vector<std::string>> commands = {
      {"dump", folder, "users"}, {"tables", folder}, {"check", folder}, {"schema", folder, "users"},
      {"--help"},                {"--version"},      {"check", "--help"}};
  for (const auto& args : commands) {
    SCOPED_TRACE(args.at(0) + " " + args.back());
    TRefusingBuffer refusing;
    TRun refused = ToolWritingTo(&refusing, args);
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.err, std::string(kCannotWrite) + "the output stream failed\n");
    TFailingFlushBuffer failingFlush;
    TRun unflushed = ToolWritingTo(&failingFlush, args);
    EXPECT_EQ(unflushed.code, 1);
    EXPECT_EQ(unflushed.err, std::string(kCannotWrite) + "the output stream failed\n");
    // The same command with an output that takes its bytes is done.
    TRun written = Tool(args);
    EXPECT_EQ(written.code, 0) << written.err;
    EXPECT_NE(written.out, "");
  }
  // make-source does its work and then says so: the archive is there, the run failed.
  TRefusingBuffer refusing;
  TRun made = ToolWritingTo(&refusing, {"make-source", dir / "old", "--revisions", "2", "--modules", "2"});
  EXPECT_EQ(made.code, 1);
  EXPECT_TRUE(Has(made.err, kCannotWrite)) << made.err;
  EXPECT_TRUE(fs::exists(dir / "old/hollardm.db"));
}

TEST(ArchiveToolOutputTest, AFailureKeepsItsOwnExitCodeAndTheLostOutputIsStillTold) {
  TempDir dir;
  const std::string folder = ArchiveWithUser(dir / "new");
  AppendStrayBytes(folder, "users");
  TFailingFlushBuffer damagedOut;
  TRun damaged = ToolWritingTo(&damagedOut, {"check", folder});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_TRUE(Has(damaged.err, kCannotWrite)) << damaged.err;
  TFailingFlushBuffer usageOut;
  TRun usage = ToolWritingTo(&usageOut, {"dump", folder, "users", "--code-page", "bogus"});
  EXPECT_EQ(usage.code, 2);
  EXPECT_TRUE(Has(usage.err, "--code-page")) << usage.err;
  EXPECT_TRUE(Has(usage.err, kCannotWrite)) << usage.err;
}

// The built program, as a process of its own, with standard output on a file or device
// and standard error into a file; answers its exit status.
int RunProgram(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile) {
  std::vector<char*> argv{const_cast<char*>(HOLLARD_ARCHIVE_TOOL)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execv(HOLLARD_ARCHIVE_TOOL, argv.data());
    _exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ArchiveToolOutputTest, StandardOutputOnAFullDeviceFailsTheProcessWithTheSystemsReason) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  const std::string folder = ArchiveWithUser(dir / "new");
  const std::string errFile = dir / "err.txt", outFile = dir / "out.txt";
  for (const std::vector<std::string>& args : {std::vector<std::string>{"dump", folder, "users"},
                                               std::vector<std::string>{"tables", folder},
                                               std::vector<std::string>{"check", folder},
                                               std::vector<std::string>{"--help"}}) {
    SCOPED_TRACE(args.at(0));
    EXPECT_EQ(RunProgram(args, "/dev/full", errFile), 1);
    EXPECT_EQ(FileBytes(errFile), std::string(kCannotWrite) + "No space left on device\n");
    EXPECT_EQ(RunProgram(args, outFile, errFile), 0);
    EXPECT_EQ(FileBytes(errFile), "");
    EXPECT_NE(FileBytes(outFile), "");
  }
}

// A repair log written after the repair's output: its last lines, held in its buffer,
// used to be lost on a full device with exit code 0. So were a dumped blob's bytes.
TEST(ArchiveToolOutputTest, RepairLogAndBlobFilesLostOnAFullDeviceWereReportedAsSuccess) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  const std::string folder = ArchiveWithUser(dir / "new");
  AppendStrayBytes(folder, "users");
  TRun repair = Tool({"repair", folder, "users", "--log", "/dev/full"});
  EXPECT_EQ(repair.code, 1) << repair.out;
  EXPECT_EQ(repair.err, "hollard-archive: cannot write the repair log '/dev/full': No space left on device\n");
  EXPECT_TRUE(Has(repair.out, "users: ok after the repair")) << repair.out;  // the table was mended

  {
    ovrin::TOvrinTable blobs;
    blobs.SetDatabaseName(folder);
    blobs.SetTableName("blobs");
    blobs.Open();
    blobs.Append();
    blobs.FieldByName("FILEDATA").SetAsBytes("a few bytes");
    blobs.Post();
  }
  const std::string files = dir / "files";
  ASSERT_EQ(Tool({"dump", folder, "blobs", "--blobs", files}).code, 0);
  std::vector<fs::path> written;
  for (const auto& e : fs::directory_iterator(files)) written.push_back(e.path());
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(FileBytes(written[0].string()), "a few bytes");
  fs::remove(written[0]);
  fs::create_symlink("/dev/full", written[0]);
  TRun dump = Tool({"dump", folder, "blobs", "--blobs", files});
  EXPECT_EQ(dump.code, 1);
  EXPECT_EQ(dump.err, "hollard-archive: Cannot write " + written[0].string() + "\n");
}

// `hollard-archive bogus` used to say that a subcommand is required, and `bogus --help`
// showed the tool's help with exit code 0.
TEST(ArchiveToolConventionsTest, AnUnknownCommandWasNotNamed) {
  const std::string told =
      "hollard-archive: unknown command 'bogus'; the commands are: make-source, create, tables, schema, dump, check, "
      "verify, repair\nRun 'hollard-archive --help' for the commands.\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"bogus"}, std::vector<std::string>{"bogus", "--help"},
        std::vector<std::string>{"--help", "bogus"}, std::vector<std::string>{"bogus", "dir", "users"}}) {
    TRun run = Tool(args);
    EXPECT_EQ(run.code, 2) << args.back();
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, told);
  }
  // Commands are spelled as listed.
  TRun upper = Tool({"DUMP", "dir", "users"});
  EXPECT_EQ(upper.code, 2);
  EXPECT_TRUE(Has(upper.err, "unknown command 'DUMP'")) << upper.err;
  // No command at all is told so; a known command is untouched.
  EXPECT_EQ(Tool({}).err, "hollard-archive: A subcommand is required\nRun 'hollard-archive --help' for the commands.\n");
  EXPECT_EQ(Tool({"--version", "--help"}).code, 0);
  EXPECT_EQ(Tool({"check", "--help"}).code, 0);
}

// `repair DIR users --log DIR/users.DAT` used to empty the table it was to mend, and a
// log over another table's file damaged that table, with exit code 0.
TEST(ArchiveToolConventionsTest, ARepairLogOverATableFileEmptiedTheTable) {
  TempDir dir;
  const std::string folder = ArchiveWithUser(dir / "new");
  AppendStrayBytes(folder, "users");
  fs::create_directories(dir / "elsewhere");
  fs::create_symlink(TableFile(folder, "users", ".DAT"), dir / "elsewhere/link.txt");
  fs::create_hard_link(TableFile(folder, "todo", ".IDX"), dir / "elsewhere/hard.txt");
  fs::create_symlink(folder + "/fresh.dat", dir / "elsewhere/dangling.txt");
  const auto before = FolderBytes(folder);
  const std::string todoIdx = TableFile(folder, "todo", ".IDX");
  const std::vector<std::pair<std::string, std::string>> logs = {
      {TableFile(folder, "users", ".DAT"), "is the archive's table file " + TableFile(folder, "users", ".DAT")},
      {TableFile(folder, "todo", ".DAT"), "is the archive's table file"},
      {TableFile(folder, "blobs", ".BLB"), "is the archive's table file"},
      {dir / "new/./../new/users.IDX", "is the archive's table file"},  // another spelling
      {dir / "elsewhere/link.txt", "is the archive's table file " + TableFile(folder, "users", ".DAT")},
      {dir / "elsewhere/hard.txt", "is the archive's table file " + todoIdx},
      // Files not there yet that would be taken for tables, or that the repair makes and
      // renames into the table's place.
      {folder + "/USERS.dat", "would be a table file in the archive folder " + folder},
      {folder + "/fresh.Blb", "would be a table file"},
      {dir / "elsewhere/dangling.txt", "would be a table file"},
      {folder + "/users.IDX.new", "would be a table file"},
      {folder + "/Users.idx.damaged2", "would be a table file"},
      {folder + "/users.DAT.cut", "would be a table file"},  // the records a repair cuts
  };
  for (const auto& [log, said] : logs) {
    TRun run = Tool({"repair", folder, "users", "--log", log});
    EXPECT_EQ(run.code, 2) << log << "\n" << run.out << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Has(run.err, "hollard-archive: --log: '" + log + "' " + said)) << run.err;
    EXPECT_TRUE(Has(run.err, "write the repair log outside the archive's tables")) << run.err;
    EXPECT_EQ(FolderBytes(folder), before) << log;
  }
  EXPECT_FALSE(fs::exists(folder + "/fresh.dat"));
  // A log file of another name in the archive folder is written, and the table mended.
  TRun logged = Tool({"repair", folder, "users", "--log", folder + "/users.txt"});
  EXPECT_EQ(logged.code, 0) << logged.out << logged.err;
  EXPECT_TRUE(Has(FileBytes(folder + "/users.txt"), "5 bytes after the last record cut"));
  EXPECT_EQ(Tool({"check", folder}).code, 0);
}

// `make-source DIR` into a folder that held an archive used to write over it, exit 0.
TEST(ArchiveToolConventionsTest, MakeSourceWroteOverAnArchive) {
  TempDir dir;
  const std::vector<std::string> small = {"--revisions", "4", "--modules", "3"};
  auto makeSource = [&](const std::string& folder, std::vector<std::string> more) {
    std::vector<std::string> args = {"make-source", folder};
    args.insert(args.end(), small.begin(), small.end());
    args.insert(args.end(), more.begin(), more.end());
    return Tool(args);
  };
  const std::string old = dir / "old";
  ASSERT_EQ(makeSource(old, {"--seed", "1", "--projects", "3"}).code, 0);
  const auto before = FolderBytes(old);
  TRun again = makeSource(old, {"--seed", "99"});
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "hollard-archive: " + old +
                           "/hollardm.db already exists: the folder holds an archive; give --replace to write over it\n");
  EXPECT_EQ(FolderBytes(old), before);

  // One file of either layout is enough, in any letter case; other files are not.
  for (const char* name : {"hollardm.db", "HOLLARDP.DB", "hollardm.log", "hollardm.key", "Hollardm.MB", "x.tdo",
                           "x.PRL", "x.pcr", "users.DAT", "users.idx", "a.Blb"}) {
    const std::string folder = dir / (std::string("one-") + name);
    fs::create_directories(folder);
    ovrin::test::WriteFileBytes(folder + "/" + name, "mine");
    TRun run = makeSource(folder, {});
    EXPECT_EQ(run.code, 1) << name;
    EXPECT_TRUE(Has(run.err, folder + "/" + name + " already exists")) << run.err;
    EXPECT_EQ(FolderBytes(folder), (std::map<std::string, std::string>{{name, "mine"}}));
  }
  const std::string unrelated = dir / "unrelated";
  fs::create_directories(unrelated);
  ovrin::test::WriteFileBytes(unrelated + "/notes.txt", "mine");
  EXPECT_EQ(makeSource(unrelated, {}).code, 0);
  EXPECT_EQ(FileBytes(unrelated + "/notes.txt"), "mine");

  // --replace writes the new archive in the old one's place: no side file of the old one
  // is left over, every file that is no part of an old-layout archive stays.
  ovrin::test::WriteFileBytes(old + "/Stale.TDO", "left by an older archive");
  ovrin::test::WriteFileBytes(old + "/notes.txt", "mine");
  ovrin::test::WriteFileBytes(old + "/users.DAT", "mine");
  TRun replaced = makeSource(old, {"--seed", "99", "--projects", "1", "--replace"});
  EXPECT_EQ(replaced.code, 0) << replaced.err;
  const std::string fresh = dir / "fresh";
  ASSERT_EQ(makeSource(fresh, {"--seed", "99", "--projects", "1"}).code, 0);
  auto expected = FolderBytes(fresh);
  expected["notes.txt"] = "mine";
  expected["users.DAT"] = "mine";
  auto got = FolderBytes(old);
  ASSERT_EQ(got.size(), expected.size());
  for (const auto& [name, bytes] : expected) {
    ASSERT_TRUE(got.count(name)) << name;
    // The tables' headers hold what pxlib's writer puts there (addresses, the time).
    const std::string upper = ovrin::AsciiUpper(name);
    if (upper != "HOLLARDM.DB" && upper != "HOLLARDP.DB" && upper != "HOLLARDM.MB") EXPECT_EQ(got[name], bytes) << name;
    else EXPECT_EQ(got[name].size(), bytes.size()) << name;
  }
  EXPECT_TRUE(Has(Tool({"make-source", "--help"}).out, "--replace")) << Tool({"make-source", "--help"}).out;
}

}  // namespace
}  // namespace hollard
