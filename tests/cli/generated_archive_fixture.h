// A generated old-layout archive in "old" and an empty new-layout archive in "new" of a
// temporary folder, for tests that run the built programs as processes of their own;
// and the exit status of such a process.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

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

// Waits for a child process: its exit code, or 128 + the signal that ended it.
inline int WaitForExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace hollard::test
