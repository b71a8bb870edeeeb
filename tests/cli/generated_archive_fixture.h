// A generated old-layout archive in "old" and an empty new-layout archive in "new" of a
// temporary folder, for tests that run the built programs as processes of their own;
// and the exit status of such a process.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/data/checker.h"

#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

namespace hollard::test {

class GeneratedArchiveTest : public ::testing::Test {
 protected:
  // The size of the generated archive; a test may change it before SetUp runs.
  explicit GeneratedArchiveTest(int revisions = 40, int modules = 12, int projects = 3, int64_t blobBytes = 0) {
    options_.revisions = revisions;
    options_.modules = modules;
    options_.projects = projects;
    if (blobBytes > 0) options_.blobBytes = blobBytes;
  }
  void SetUp() override {
    source = dir / "old";
    target = dir / "new";
    std::filesystem::create_directories(source);
    std::filesystem::create_directories(target);
    WriteSourceArchive(source, PlanSourceArchive(options_), options_);
    CreateNewLayoutArchive(target);
  }
  ovrin::test::TempDir dir;
  std::string source, target;

 private:
  TSourceOptions options_;
};

// Starts a program with its standard output and error on the given descriptors, standard
// input on /dev/null and the environment variables given ("NAME=value") added; answers
// the process.
inline pid_t StartProgram(const char* program, const std::vector<std::string>& args, int out, int err,
                          const std::vector<std::string>& environment = {}) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const std::string& e : environment) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  return pid;
}

// The same with standard output and error written to files.
inline pid_t StartProgram(const char* program, const std::vector<std::string>& args, const std::string& out,
                          const std::string& err, const std::vector<std::string>& environment = {}) {
  int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = StartProgram(program, args, o, e, environment);
  ::close(o);
  ::close(e);
  return pid;
}

// Every table of a new-layout archive passes the consistency checker.
inline void ExpectTablesSound(const std::string& folder, const std::string& when = "") {
  for (const TArchiveTable& t : NewLayoutTables()) {
    if (!std::filesystem::exists(folder + "/" + t.name + ".DAT")) continue;
    ovrin::TCheckReport r = ovrin::CheckTable(folder + "/" + t.name);
    EXPECT_TRUE(r.Ok()) << when << " " << t.name << ": " << (r.problems.empty() ? "does not open" : r.problems.front());
  }
}

// Waits for a child process: its exit code, or 128 + the signal that ended it.
inline int WaitForExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace hollard::test
