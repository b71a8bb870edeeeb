#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "cli/migrate_tool.h"
#include "engine/base/platform.h"
#include "main/terminal_text.h"

namespace {

std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

// Asks the run to stop at its next point between two records. Only async-signal-safe
// calls here: the flag, and one line on the error stream.
extern "C" void AskToStop(int signal) {
  int expected = 0;
  if (gStopSignal.compare_exchange_strong(expected, signal)) {
    static const char kText[] = "\nStopping after the record in hand...\n";
    ssize_t written = ::write(2, kText, sizeof kText - 1);
    (void)written;
  }
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = AskToStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a question waiting for a line on the terminal returns, and the run
  // stops instead of waiting for an answer.
  action.sa_flags = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  // A reader that goes away (| head, quitting less) is a write error the run sees and
  // stops on, not the end of the process in the middle of a record.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  InstallStopHandlers();
  std::vector<std::string> args(argv + 1, argv + argc);
  // The progress bar needs a terminal on standard error that understands its escapes.
  const char* term = std::getenv("TERM");
  bool dumb = term != nullptr && std::string(term) == "dumb";
  // Archive text bound for a terminal shows its control characters instead of sending
  // them; a file or pipe gets every byte.
  hollard::TTerminalTextBuf outShown(std::cout.rdbuf()), errShown(std::cerr.rdbuf());
  std::ostream shownOut(&outShown), shownErr(&errShown);
  shownErr.setf(std::ios::unitbuf);
  std::ostream& out = ::isatty(1) ? shownOut : std::cout;
  std::ostream& err = ::isatty(2) ? shownErr : std::cerr;
  hollard::TMigrateConsole console{std::cin, out, err, ::isatty(2) != 0 && !dumb, ::isatty(1) != 0};
  console.bar = &std::cerr;
  console.stop = &gStopSignal;
  console.inFd = 0;
  // std::cin reads through stdin's buffer: lines read ahead there (a pipe delivers
  // several at once) are waiting input that a poll on descriptor 0 does not see.
  console.inputBuffered = [] { return stdin->_IO_read_ptr < stdin->_IO_read_end; };
  return hollard::RunMigrateTool(args, console);
}
