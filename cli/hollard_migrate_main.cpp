#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "cli/migrate_tool.h"
#include "engine/base/platform.h"

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  std::vector<std::string> args(argv + 1, argv + argc);
  // The progress bar needs a terminal on standard error that understands its escapes.
  const char* term = std::getenv("TERM");
  bool dumb = term != nullptr && std::string(term) == "dumb";
  hollard::TMigrateConsole console{std::cin, std::cout, std::cerr, ::isatty(2) != 0 && !dumb, ::isatty(1) != 0};
  return hollard::RunMigrateTool(args, console);
}
