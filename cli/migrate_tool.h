// hollard-migrate: the migration run from a terminal.
//
//   hollard-migrate SOURCE TARGET [--answers FILE | --interactive] [--log FILE]
//                   [--report FILE] [--dry-run] [--allow-duplicates] [--force]
//                   [--code-page NAME] [--backup DIR [--restore-on-failure]]
//                   [--password TEXT]... [--date-format PATTERN] [--time-separator C]
//                   [--quiet] [--list-questions FILE] [--strict-answers]
//
// Exit codes: 0 the run succeeded; 1 the preflight or a step failed, or the log or
// report could not be written; 2 the command line or the answers file is wrong; 3 a
// guard stopped the run before it wrote anything; 4 the run was stopped (a signal or
// standard output closed) between two records.
#pragma once

#include <atomic>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace hollard {

struct TMigrateConsole {
  std::istream& in;
  std::ostream& out;  // the log and the summary
  std::ostream& err;  // errors, the progress bar
  bool terminal = false;  // draw a progress bar on err
  bool outTerminal = true;  // out shows on that terminal too: a log line takes the bar off first
  // Set (to the signal's number) when the run is to stop; a signal handler may set it.
  const std::atomic<int>* stop = nullptr;
  // The descriptor `in` reads (-1: none, e.g. a string in tests): a question waits on it
  // in short steps, so that a stop asked for just before the wait is not lost in it.
  int inFd = -1;
  // Whether `in` holds read-ahead input of its own, which the descriptor does not show.
  bool (*inputBuffered)() = nullptr;
  // The progress bar's stream when it is not err itself: err may show control
  // characters as text (see main/terminal_text.h), the bar's own escapes must pass.
  std::ostream* bar = nullptr;
};

// The exit codes.
enum TMigrateExit { kExitSuccess = 0, kExitFailed = 1, kExitUsage = 2, kExitGuard = 3, kExitStopped = 4 };

int RunMigrateTool(const std::vector<std::string>& args, TMigrateConsole console);

}  // namespace hollard
