// Stopping a terminal run: SIGINT, SIGTERM and SIGHUP at several moments, and a reader
// of standard output that goes away, end the run between two records with every table
// sound and the summary, log and report whole, saying where it stopped; the backup is
// put back when asked; a stopped dry run leaves no copy behind; the log and report
// files report their write errors.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/platform.h"
#include "main/target_lock.h"
#include "tests/cli/generated_archive_fixture.h"
#include "tests/support/file_bytes.h"

namespace hollard {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ovrin::test::FileBytes;

class StoppingTest : public test::GeneratedArchiveTest {
 protected:
  StoppingTest() : GeneratedArchiveTest(1500, 300, 5, 4000) {}
  void SetUp() override {
    GeneratedArchiveTest::SetUp();
    pristine = dir / "pristine";
    fs::copy(target, pristine);
  }
  // The target as it was before any run, for the next try.
  void FreshTarget() {
    fs::remove_all(target);
    fs::copy(pristine, target);
  }
  std::map<std::string, std::string> TableBytes() {
    auto files = ovrin::test::FolderBytes(target);
    files.erase(TTargetLock::kFileName);
    return files;
  }
  // The table files but the big blob file, which is compared by size.
  std::map<std::string, std::string> TableBytesWithoutBlobs() {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(target)) {
      const std::string name = e.path().filename().string();
      if (name == TTargetLock::kFileName) continue;
      files[name] = name == "blobs.BLB" ? std::to_string(e.file_size()) : FileBytes(e.path().string());
    }
    return files;
  }
  static size_t Lines(const std::string& file) {
    std::string text = FileBytes(file);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  // Starts a run with --log; once the log holds `lines` lines, sends the signal; answers
  // the exit code (the run may have ended before: then no signal was sent).
  int RunAndSignal(std::vector<std::string> args, size_t lines, int signal, bool* sent = nullptr,
                   const std::vector<std::string>& environment = {},
                   const std::function<void()>& beforeSignal = nullptr) {
    args.insert(args.end(), {"--log", log, "--report", report, "--date-format", "dd.mm.yyyy"});
    fs::remove(log);
    pid_t pid = test::StartProgram(HOLLARD_MIGRATE_TOOL, args, out, err, environment);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (Lines(log) < lines && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        if (sent) *sent = false;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (beforeSignal) beforeSignal();
    ::kill(pid, signal);
    if (sent) *sent = true;
    return test::WaitForExit(pid);
  }
  std::string pristine, log = dir / "run.log", report = dir / "run.json", out = dir / "out", err = dir / "err";
};

TEST_F(StoppingTest, SignalsAtSeveralMomentsStopBetweenTwoRecordsAndTheRunSaysWhere) {
  std::set<int> steps;
  const struct {
    int signal;
    size_t lines;
  } moments[] = {{SIGINT, 30}, {SIGTERM, 400}, {SIGHUP, 1500}, {SIGINT, 2300}, {SIGTERM, 2600}};
  for (const auto& m : moments) {
    FreshTarget();
    const std::string when = "signal " + std::to_string(m.signal) + " after " + std::to_string(m.lines) + " lines";
    bool sent = false;
    int code = RunAndSignal({source, target}, m.lines, m.signal, &sent);
    if (!sent) continue;  // the run was faster than the look at its log
    ASSERT_EQ(code, 4) << when << "\n" << FileBytes(err);
    const std::string output = FileBytes(out), logText = FileBytes(log);
    json r = json::parse(FileBytes(report));
    ASSERT_TRUE(r["stopped"].get<bool>()) << when;
    const int step = r["stoppedAtStep"].get<int>();
    steps.insert(step);
    EXPECT_EQ(r["stopSignal"].get<int>(), m.signal);
    EXPECT_FALSE(r["succeeded"].get<bool>());
    // As the report of a run that ended before its steps: the exit code and outcome.
    EXPECT_EQ(r["exitCode"], 4) << when;
    EXPECT_EQ(r["outcome"], r["started"].get<bool>() ? "stopped" : "stopped before anything was written") << when;
    const std::string stopped = "Stopped at step " + std::to_string(step) + " (signal " + std::to_string(m.signal) + ")";
    EXPECT_NE(output.find(stopped), std::string::npos) << when << "\n" << output;
    EXPECT_NE(output.find("put back a copy of the target made before this run"), std::string::npos) << when;
    // The log holds every line written, then the summary.
    EXPECT_NE(logText.find(stopped), std::string::npos) << when;
    EXPECT_EQ(logText.substr(logText.size() - 16), "Result: STOPPED\n") << when;
    test::ExpectTablesSound(target, when);
    // The run left the mark of a run that did not finish: a second run does not advise
    // migrating the archive again.
    EXPECT_NE(TUnfinishedRun::Read(target + "/").find("stopped at step " + std::to_string(step)), std::string::npos);
    EXPECT_EQ(test::WaitForExit(test::StartProgram(HOLLARD_MIGRATE_TOOL, {source, target}, out, err)), 3);
    EXPECT_NE(FileBytes(err).find("An earlier run into " + target + " did not finish"), std::string::npos)
        << FileBytes(err);
  }
  EXPECT_GE(steps.size(), 3u) << "the moments fell into too few steps";
}

TEST_F(StoppingTest, AStoppedRunPutsItsBackupBackWhenAskedAndOtherwiseSaysHow) {
  const auto before = TableBytes();
  const std::string backup = dir / "backup";
  int code = RunAndSignal({source, target, "--backup", backup, "--restore-on-failure"}, 1000, SIGTERM);
  ASSERT_EQ(code, 4) << FileBytes(err);
  EXPECT_NE(FileBytes(out).find("The backup in " + backup + " was put back: " + target + " is as it was before the run."),
            std::string::npos)
      << FileBytes(out);
  EXPECT_EQ(TableBytes(), before);
  EXPECT_TRUE(json::parse(FileBytes(report))["restored"].get<bool>());

  // Without --restore-on-failure the summary gives the command, and it works.
  fs::remove_all(backup);
  code = RunAndSignal({source, target, "--backup", backup}, 1000, SIGINT);
  ASSERT_EQ(code, 4);
  ASSERT_NE(TableBytes(), before);
  const std::string output = FileBytes(out);
  const std::string command = "cp -p -- '" + backup + "'/* '" + target + "'/ && rm -f -- '" + target + "'/" +
                              TUnfinishedRun::kFileName;
  ASSERT_NE(output.find("    " + command + "\n"), std::string::npos) << output;
  EXPECT_EQ(json::parse(FileBytes(report))["restoreCommand"].get<std::string>(), command);
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(TableBytes(), before);
  // Put back, the archive migrates again without a word of duplicates.
  EXPECT_EQ(test::WaitForExit(test::StartProgram(HOLLARD_MIGRATE_TOOL, {source, target, "--date-format", "dd.mm.yyyy"},
                                                 out, err)),
            0)
      << FileBytes(err);
}

TEST_F(StoppingTest, AClosedStandardOutputStopsTheRunAndTheSummaryGoesToTheErrorStream) {
  // | head -3: the reader takes three lines and goes away. The run ended by SIGPIPE in
  // the middle of a step.
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);  // the run must not hold the reading end itself
  int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = test::StartProgram(HOLLARD_MIGRATE_TOOL, {source, target, "--log", log, "--report", report}, pipeFds[1],
                                 errFd);
  ::close(pipeFds[1]);
  ::close(errFd);
  std::string firstLines;
  char c;
  while (std::count(firstLines.begin(), firstLines.end(), '\n') < 3 && ::read(pipeFds[0], &c, 1) == 1) firstLines += c;
  ::close(pipeFds[0]);
  EXPECT_EQ(firstLines.substr(0, 40), "Hollard version archive conversion tool\n");
  EXPECT_EQ(test::WaitForExit(pid), 4);
  const std::string errors = FileBytes(err);
  EXPECT_NE(errors.find("(standard output could not be written: closed, or a full disk)"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Result: STOPPED\n"), std::string::npos);
  EXPECT_TRUE(json::parse(FileBytes(report))["outputClosed"].get<bool>());
  test::ExpectTablesSound(target);
}

TEST_F(StoppingTest, AStoppedDryRunRemovesItsCopy) {
  const auto before = TableBytes();
  const std::string temporary = dir / "tmp";
  fs::create_directories(temporary);
  bool sent = false;
  int code = RunAndSignal({source, target, "--dry-run"}, 1000, SIGINT, &sent, {"TMPDIR=" + temporary});
  if (sent) {
    EXPECT_EQ(code, 4) << FileBytes(err);
  }
  EXPECT_TRUE(fs::is_empty(temporary));
  EXPECT_EQ(TableBytes(), before);
}

TEST_F(StoppingTest, WriteErrorsOfTheLogAndReportFilesAreToldAndFailTheRun) {
  // A full disk under the log: it was cut silently and the run said success.
  int code = test::WaitForExit(test::StartProgram(
      HOLLARD_MIGRATE_TOOL, {source, target, "--log", "/dev/full", "--date-format", "dd.mm.yyyy", "--report", report},
      out, err));
  EXPECT_EQ(code, 1);
  // The report says so too: the tables were written, the exit code is 1.
  json r = json::parse(FileBytes(report));
  EXPECT_TRUE(r["succeeded"].get<bool>());
  EXPECT_EQ(r["exitCode"], 1);
  EXPECT_EQ(r["outcome"], "done, but the log file is incomplete");
  const std::string errors = FileBytes(err);
  EXPECT_NE(errors.find("cannot write the log file /dev/full: No space left on device; the run goes on without it."),
            std::string::npos)
      << errors;
  EXPECT_NE(FileBytes(out).find("The log file /dev/full could not be written"), std::string::npos);
  EXPECT_NE(FileBytes(out).find("Result: success, but the log file is incomplete\n"), std::string::npos);
  test::ExpectTablesSound(target);

  // A report that cannot be written is found before anything is.
  FreshTarget();
  const auto before = TableBytes();
  code = test::WaitForExit(test::StartProgram(HOLLARD_MIGRATE_TOOL, {source, target, "--report", "/dev/full"}, out, err));
  EXPECT_EQ(code, 2);
  EXPECT_NE(FileBytes(err).find("--report '/dev/full': cannot write the file"), std::string::npos) << FileBytes(err);
  EXPECT_EQ(TableBytes(), before);
  // A report file that cannot be written whole is removed only when it is a regular file:
  // the device stays what it is.
  struct stat st;
  ASSERT_EQ(::stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(StoppingTest, ABackupThatIsNoLongerWholeIsNotPutBack) {
  // Put back without a look, a backup that had lost files left the target damaged and
  // the summary said it was as before the run.
  const std::string backup = dir / "backup";
  int code = RunAndSignal({source, target, "--backup", backup, "--restore-on-failure"}, 1000, SIGTERM, nullptr, {},
                          [&] { fs::remove(backup + "/users.DAT"); });
  ASSERT_EQ(code, 4) << FileBytes(err);
  const std::string output = FileBytes(out);
  EXPECT_NE(output.find("Putting the backup back failed: the backup is not whole: " + backup +
                        "/users.DAT is missing; nothing was put back"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("was put back: "), std::string::npos) << output;
  // Nor is the command that would put it back offered: what is left of the backup would
  // mix old tables with new ones.
  EXPECT_EQ(output.find("cp -p"), std::string::npos) << output;
  EXPECT_NE(output.find("Do not put " + backup + " back: it is no longer the whole copy"), std::string::npos) << output;
  json r = json::parse(FileBytes(report));
  EXPECT_FALSE(r["restored"].get<bool>());
  EXPECT_FALSE(r.contains("restoreCommand"));
  // The mark of the unfinished run stays: the target holds part of the archive.
  EXPECT_FALSE(TUnfinishedRun::Read(target + "/").empty());
  test::ExpectTablesSound(target);
}

TEST_F(StoppingTest, AStopDuringTheBackupLeavesNoHalfBackup) {
  // A half backup stayed in its folder, and the next run refused the folder as not new.
  std::string blb = ovrin::Platform().ResolveExisting(target + "/blobs.BLB");
  ASSERT_FALSE(blb.empty());
  fs::resize_file(blb, 800000000);  // sparse: a long copy
  const auto before = TableBytesWithoutBlobs();
  const std::string backup = dir / "backup";
  fs::remove(log);
  pid_t pid = test::StartProgram(HOLLARD_MIGRATE_TOOL, {source, target, "--backup", backup, "--report", report}, out, err);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool copying = false;
  while (!copying && std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    copying = fs::exists(backup + "/.incomplete/blobs.BLB", ec);
    if (!copying) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ::kill(pid, SIGINT);
  int code = test::WaitForExit(pid);
  if (!copying) GTEST_SKIP() << "the backup was done before it could be stopped";
  EXPECT_EQ(code, 4) << FileBytes(err);
  EXPECT_FALSE(fs::exists(backup)) << "the backup folder the run made is gone again";
  EXPECT_EQ(TableBytesWithoutBlobs(), before);
  json r = json::parse(FileBytes(report));
  EXPECT_EQ(r["outcome"], "stopped before anything was written");
  EXPECT_FALSE(r["running"].get<bool>());
}

}  // namespace
}  // namespace hollard
