// The built hollard-migrate on a pseudo-terminal: questions typed with --interactive
// (an empty line and the end of input are Skips the summary lists), "k of n", the
// progress bar fitting the terminal's width, or left out with TERM=dumb, and archive
// text whose control characters are shown, not obeyed (hollard-archive too).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "main/target_lock.h"
#include "tests/cli/generated_archive_fixture.h"
#include "tests/support/file_bytes.h"

namespace hollard {
namespace {

struct TTerminalRun {
  int code;
  std::string screen;  // everything the program wrote to the terminal, with the echo
};

// Runs hollard-migrate with its standard descriptors on a new pseudo-terminal of the
// given width; `typed` is written to it at once (the terminal keeps it until read), or
// once the program has written `waitFor`.
TTerminalRun RunOnTerminal(const std::vector<std::string>& args, const std::string& typed, const char* term,
                           unsigned short columns = 80, const std::string& waitFor = "",
                           const char* program = HOLLARD_MIGRATE_TOOL) {
  struct winsize size {};
  size.ws_col = columns;
  size.ws_row = 24;
  int master = -1;
  std::fflush(nullptr);
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    ::setenv("TERM", term, 1);
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  TTerminalRun run{-1, {}};
  if (pid < 0) return run;
  bool typedYet = false;
  auto type = [&] {
    if (typedYet || typed.empty()) return;
    typedYet = true;
    EXPECT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  };
  if (waitFor.empty()) type();
  // Read until the program has ended and closed its side (EIO on Linux).
  char buffer[4096];
  while (true) {
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0) {
      run.screen.append(buffer, static_cast<size_t>(n));
      if (!waitFor.empty() && run.screen.find(waitFor) != std::string::npos) type();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  ::close(master);
  run.code = test::WaitForExit(pid);
  return run;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class TerminalSessionTest : public test::GeneratedArchiveTest {
 protected:
  // 12 modules: two shared (the second and seventh) and two hidden ones.
  TerminalSessionTest() : GeneratedArchiveTest(40, 12, 3) {}
};

TEST_F(TerminalSessionTest, EmptyLinesAndTheEndOfInputAreSkipsListedInTheSummary) {
  // An empty line and Ctrl-D (which skips every remaining question) were left out of
  // the summary and the report.
  const std::string report = dir / "report.json";
  // The first question: an empty line; the second: the end of input (Ctrl-D at the
  // start of a line), which answers the last two without asking.
  TTerminalRun run = RunOnTerminal({source, target, "--interactive", "--report", report}, "\n\x04", "xterm");
  ASSERT_EQ(run.code, 0) << run.screen;
  EXPECT_NE(run.screen.find("(1 of 2) Module is shared between: "), std::string::npos) << run.screen;
  EXPECT_NE(run.screen.find("(2 of 2) Module is shared between: "), std::string::npos) << run.screen;
  // Asked no more after the end of input.
  EXPECT_EQ(run.screen.find("Module is hidden in:"), std::string::npos) << run.screen;
  EXPECT_EQ(Count(run.screen, "Numbers of the projects"), 2u) << run.screen;
  EXPECT_NE(run.screen.find("Questions answered with Skip:"), std::string::npos) << run.screen;
  EXPECT_EQ(Count(run.screen, " (empty line)\r\n"), 1u) << run.screen;
  EXPECT_EQ(Count(run.screen, " (end of input)\r\n"), 3u) << run.screen;

  nlohmann::json j = nlohmann::json::parse(ovrin::test::FileBytes(report));
  ASSERT_EQ(j["skippedQuestions"].size(), 4u) << j.dump(2);
  EXPECT_EQ(j["skippedQuestions"][0]["question"], "shared");
  EXPECT_EQ(j["skippedQuestions"][0]["why"], "empty line");
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(j["skippedQuestions"][i]["why"], "end of input") << i;
  EXPECT_EQ(j["skippedQuestions"][2]["question"], "hidden");
  EXPECT_EQ(j["skippedQuestions"][3]["question"], "hidden");
  EXPECT_TRUE(j["succeeded"].get<bool>());
}

TEST_F(TerminalSessionTest, CtrlCAtAQuestionStopsTheRunThere) {
  // The wait for a line is broken off by the signal; the run stops at its next record
  // and the question is listed as left by the stop, not as the end of the input.
  const std::string report = dir / "report.json";
  TTerminalRun run = RunOnTerminal({source, target, "--interactive", "--report", report}, "\x03", "xterm", 80,
                                   "Numbers of the projects");
  ASSERT_EQ(run.code, 4) << run.screen;
  EXPECT_NE(run.screen.find("Stopped at step 7 (signal 2)"), std::string::npos) << run.screen;
  EXPECT_NE(run.screen.find(" (the run was stopped)\r\n"), std::string::npos) << run.screen;
  EXPECT_EQ(run.screen.find(" (end of input)"), std::string::npos) << run.screen;
  nlohmann::json j = nlohmann::json::parse(ovrin::test::FileBytes(report));
  EXPECT_EQ(j["stoppedAtStep"], 7);
  test::ExpectTablesSound(target);
}

TEST_F(TerminalSessionTest, TheBarFitsTheTerminalAndIsLeftOutWithTermDumb) {
  TTerminalRun dumb = RunOnTerminal({source, target, "--quiet"}, "", "dumb", 60);
  ASSERT_EQ(dumb.code, 0) << dumb.screen;
  EXPECT_EQ(dumb.screen.find('\033'), std::string::npos) << dumb.screen;
  EXPECT_NE(dumb.screen.find("Result: success"), std::string::npos);

  // A second archive into a fresh target, on a terminal of 60 columns.
  std::filesystem::remove_all(target);
  std::filesystem::create_directories(target);
  CreateNewLayoutArchive(target);
  TTerminalRun shown = RunOnTerminal({source, target, "--quiet"}, "", "xterm", 60);
  ASSERT_EQ(shown.code, 0) << shown.screen;
  ASSERT_NE(shown.screen.find("\r\033[Kstep 1 of 16: "), std::string::npos) << shown.screen;
  // Each drawn line: from the clearing escape to the next escape or line end.
  for (size_t at = shown.screen.find("\r\033[K"); at != std::string::npos; at = shown.screen.find("\r\033[K", at + 1)) {
    size_t end = shown.screen.find_first_of("\r\n", at + 4);
    std::string line = shown.screen.substr(at + 4, end == std::string::npos ? std::string::npos : end - at - 4);
    EXPECT_LE(line.size(), 59u) << line;
  }
  // --quiet: no log line on the terminal, the summary still there.
  EXPECT_EQ(shown.screen.find("Adding "), std::string::npos);
  EXPECT_NE(shown.screen.find("Result: success"), std::string::npos);
}

TEST_F(TerminalSessionTest, ArchiveTextShowsItsControlCharactersInsteadOfSendingThem) {
  // A log line of the archive with a title, a clear-screen and a colour escape: sent to
  // the terminal as they stood, they cleared the screen (and the errors on it). Shown
  // in caret notation on the terminal now; the log file keeps every byte.
  const std::string logName = source + "/hollardm.log";
  std::string log = ovrin::test::FileBytes(logName);
  const std::string stamp = log.substr(0, log.find(" > "));
  const std::string escapes = "\x1b]0;TITLE\x07\x1b[2J\x1b[31m";
  {
    std::FILE* f = std::fopen(logName.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    const std::string line = stamp + " > [ada] Main.dpr - x.pas - check in: " + escapes + "red\r\n";
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
  const std::string runLog = dir / "run.log";
  TTerminalRun run = RunOnTerminal({source, target, "--log", runLog}, "", "xterm");
  ASSERT_EQ(run.code, 0) << run.screen;
  EXPECT_NE(run.screen.find("check in: ^[]0;TITLE^G^[[2J^[[31mred\r\n"), std::string::npos) << run.screen;
  // The only escapes on the screen are the progress bar's own.
  size_t barEscapes = 0;
  for (size_t at = run.screen.find('\033'); at != std::string::npos; at = run.screen.find('\033', at + 1)) {
    EXPECT_EQ(run.screen.compare(at, 3, "\033[K"), 0) << run.screen.substr(at, 20);
    ++barEscapes;
  }
  EXPECT_GT(barEscapes, 0u);
  EXPECT_NE(ovrin::test::FileBytes(runLog).find("check in: " + escapes + "red\n"), std::string::npos);

  // hollard-archive's dump of the log table on a terminal.
  TTerminalRun dump = RunOnTerminal({"dump", target, "vcslog"}, "", "xterm", 80, "", HOLLARD_ARCHIVE_TOOL);
  ASSERT_EQ(dump.code, 0) << dump.screen;
  EXPECT_NE(dump.screen.find("check in: ^[]0;TITLE^G^[[2J^[[31mred"), std::string::npos) << dump.screen;
  EXPECT_EQ(dump.screen.find('\033'), std::string::npos) << dump.screen;
}

}  // namespace
}  // namespace hollard
