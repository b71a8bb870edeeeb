// hollard-migrate killed outright at random moments of a run: the damaged target can be
// checked without a crash, and putting the backup back and running again gives a target
// that verify accepts. The source folder is only read: a source whose files and folder
// are read-only migrates, and its bytes stay as they were.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

#include "engine/data/checker.h"
#include "engine/data/repair.h"
#include "main/target_lock.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"
#include "tools/archive_tool.h"
#include "tools/source_generator.h"

namespace hollard {
namespace {

namespace fs = std::filesystem;

// Runs hollard-migrate as a process of its own; with killAfter, SIGKILL after that long.
// Answers the exit status (or the signal, negated) and the run's time.
std::pair<int, double> Migrate(const std::vector<std::string>& args, double killAfter = -1) {
  auto start = std::chrono::steady_clock::now();
  std::cout.flush();
  std::fflush(nullptr);  // or the child would write the parent's pending output again
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(HOLLARD_MIGRATE_TOOL)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    execv(HOLLARD_MIGRATE_TOOL, argv.data());
    _exit(127);
  }
  if (killAfter >= 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(killAfter));
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), seconds};
}

int Verify(const std::string& source, const std::string& target, std::string* out) {
  std::ostringstream o, e;
  int code = RunArchiveTool({"verify", source, target, "--date-format", "dd.mm.yyyy"}, o, e);
  *out = o.str() + e.str();
  return code;
}

void SetWritable(const std::string& folder, bool writable) {
  for (const auto& e : fs::directory_iterator(folder))
    fs::permissions(e.path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    writable ? fs::perm_options::add : fs::perm_options::remove);
  fs::permissions(folder, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  writable ? fs::perm_options::add : fs::perm_options::remove);
}

TEST(InterruptedRunTest, KilledRunsAreCheckedAndUndoneFromTheBackup) {
  ovrin::test::TempDir dir;
  const std::string source = dir / "old";
  fs::create_directories(source);
  TSourceOptions options;
  options.revisions = 1500;
  options.modules = 150;
  options.projects = 5;
  options.blobBytes = 40000;
  WriteSourceArchive(source, PlanSourceArchive(options), options);
  SetWritable(source, false);
  const auto sourceBytes = ovrin::test::FolderBytes(source);

  // A whole run first, on the read-only source: how long a run takes, and the yardstick.
  const std::string whole = dir / "whole";
  fs::create_directories(whole);
  CreateNewLayoutArchive(whole);
  auto [code, seconds] = Migrate({source, whole, "--date-format", "dd.mm.yyyy"});
  ASSERT_EQ(code, 0);
  std::string report;
  ASSERT_EQ(Verify(source, whole, &report), 0) << report;

  std::mt19937 rng(2026);
  int interrupted = 0, recovered = 0, damaged = 0, repaired = 0;
  // Twenty runs killed; a run that ends before its moment comes is checked the same way.
  int k = 0;
  for (; interrupted < 20 && k < 40; ++k) {
    SCOPED_TRACE("run " + std::to_string(k));
    const std::string target = dir / ("new" + std::to_string(k)), backup = dir / ("backup" + std::to_string(k));
    fs::create_directories(target);
    CreateNewLayoutArchive(target);
    double at = seconds * std::uniform_real_distribution<double>(0.02, 0.98)(rng);
    auto [killed, ran] = Migrate({source, target, "--date-format", "dd.mm.yyyy", "--backup", backup}, at);
    interrupted += killed == -SIGKILL;
    // A run that ended before its moment shows the first run's time was long (a busy
    // machine): later moments are drawn from the shorter time.
    if (killed != -SIGKILL) seconds = std::min(seconds, ran);
    // Whatever the kill left, the checker reports on every table without crashing, and
    // the repair mends a damaged one (on a copy: the backup is what undoes the run).
    for (const TArchiveTable& t : NewLayoutTables()) {
      ovrin::TCheckReport r = ovrin::CheckTable(target + "/" + t.name);
      if (r.Ok()) continue;
      ++damaged;
      std::cout << "  killed at " << at << " s: " << t.name << ": "
                << (r.problems.empty() ? std::string("?") : r.problems.front()) << "\n";
      const std::string copy = dir / "copy";
      fs::remove_all(copy);
      fs::copy(target, copy);
      ovrin::RepairTable(copy + "/" + t.name);
      ovrin::TCheckReport mended = ovrin::CheckTable(copy + "/" + t.name);
      EXPECT_TRUE(mended.Ok()) << t.name << ": " << (mended.problems.empty() ? "" : mended.problems.front());
      repaired += mended.Ok();
    }
    // The backup put back as the summary's command does (with the mark of the
    // unfinished run), the run again: a target that verify accepts.
    if (fs::exists(backup)) {
      for (const auto& e : fs::directory_iterator(backup))
        if (e.is_regular_file())
          fs::copy_file(e.path(), fs::path(target) / e.path().filename(), fs::copy_options::overwrite_existing);
      fs::remove(fs::path(target) / TUnfinishedRun::kFileName);
    }
    auto [again, _] = Migrate({source, target, "--date-format", "dd.mm.yyyy"});
    ASSERT_EQ(again, 0) << "killed at " << at << " s";
    ASSERT_EQ(Verify(source, target, &report), 0) << report;
    ++recovered;
    fs::remove_all(target);
    fs::remove_all(backup);
  }
  std::cout << interrupted << " of " << k << " runs killed, " << damaged << " tables left damaged (" << repaired
            << " sound after repair), " << recovered
            << " targets recovered from their backup (a whole run " << seconds << " s)\n";
  EXPECT_EQ(interrupted, 20);
  SetWritable(source, true);
  EXPECT_EQ(ovrin::test::FolderBytes(source), sourceBytes);
}

}  // namespace
}  // namespace hollard
