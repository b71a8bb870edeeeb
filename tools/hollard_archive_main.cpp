#include <unistd.h>

#include <iostream>

#include "engine/base/platform.h"
#include "main/terminal_text.h"
#include "tools/archive_tool.h"

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  std::vector<std::string> args(argv + 1, argv + argc);
  // Archive text bound for a terminal (dumped records, names in messages) shows its
  // control characters instead of sending them; a file or pipe gets every byte.
  hollard::TTerminalTextBuf outShown(std::cout.rdbuf()), errShown(std::cerr.rdbuf());
  std::ostream shownOut(&outShown), shownErr(&errShown);
  shownErr.setf(std::ios::unitbuf);
  return hollard::RunArchiveTool(args, ::isatty(1) ? shownOut : std::cout, ::isatty(2) ? shownErr : std::cerr);
}
