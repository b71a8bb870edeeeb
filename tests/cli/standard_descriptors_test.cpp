// The programs started with standard descriptors closed, as cron and scripts do
// (`2>&-`, `<&-`): the first table a program opens must not take a closed descriptor's
// number, or a message meant for standard error is written over that table, and answers
// are read from a table opened as standard input.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/base/platform.h"
#include "engine/data/checker.h"
#include "tests/cli/generated_archive_fixture.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

namespace hollard {
namespace {

namespace fs = std::filesystem;

// Runs a program with the given standard descriptors closed (the others on /dev/null, or
// stdin from a file); answers its exit status.
int RunWithClosed(const char* program, const std::vector<std::string>& args, const std::vector<int>& closed,
                  const std::string& input = "") {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = ::open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
    int out = ::open("/dev/null", O_WRONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::close(in);
    ::close(out);
    for (int fd : closed) ::close(fd);
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  return test::WaitForExit(pid);
}

class StandardDescriptorsTest : public test::GeneratedArchiveTest {
 protected:
  void ExpectTargetSound() { test::ExpectTablesSound(target); }
};

TEST_F(StandardDescriptorsTest, ClosedStandardOutputAndErrorNeverWriteIntoATable) {
  // The log lines and messages would otherwise land in the first tables opened.
  const auto sourceBytes = ovrin::test::FolderBytes(source);
  int code = RunWithClosed(HOLLARD_MIGRATE_TOOL, {source, target, "--date-format", "dd.mm.yyyy"}, {1, 2});
  EXPECT_EQ(code, 0);
  ExpectTargetSound();
  EXPECT_EQ(ovrin::test::FolderBytes(source), sourceBytes);
}

TEST_F(StandardDescriptorsTest, ClosedStandardInputAnswersNothing) {
  // Every question is skipped, exactly as with an empty input, and no table is read as
  // the answers.
  const std::string other = dir / "other";
  fs::create_directories(other);
  CreateNewLayoutArchive(other);
  const std::string empty = dir / "empty.txt";
  std::fclose(std::fopen(empty.c_str(), "w"));
  int closed = RunWithClosed(HOLLARD_MIGRATE_TOOL, {source, target, "--date-format", "dd.mm.yyyy", "--interactive"},
                             {0});
  int answered = RunWithClosed(HOLLARD_MIGRATE_TOOL, {source, other, "--date-format", "dd.mm.yyyy", "--interactive"},
                               {}, empty);
  EXPECT_EQ(closed, answered);
  ExpectTargetSound();
  EXPECT_EQ(ovrin::test::FileBytes(target + "/pjmodule.DAT").size(), ovrin::test::FileBytes(other + "/pjmodule.DAT").size());
}

TEST(StandardDescriptorsFunctionTest, ClosedDescriptorsAreOpenedOnDevNull) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    ::close(0);
    ::close(2);
    if (!ovrin::EnsureStandardDescriptors()) _exit(1);
    if (::fcntl(0, F_GETFD) == -1 || ::fcntl(2, F_GETFD) == -1) _exit(2);
    // The next file opened gets a number above the standard ones.
    int fd = ::open("/dev/null", O_RDONLY);
    _exit(fd > 2 ? 0 : 3);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace hollard
