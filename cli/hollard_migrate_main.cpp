#include <unistd.h>

#include <iostream>

#include "cli/migrate_tool.h"
#include "engine/base/platform.h"

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  std::vector<std::string> args(argv + 1, argv + argc);
  hollard::TMigrateConsole console{std::cin, std::cout, std::cerr, ::isatty(2) != 0};
  return hollard::RunMigrateTool(args, console);
}
