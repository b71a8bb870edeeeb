#include <iostream>

#include "engine/base/platform.h"
#include "tools/archive_tool.h"

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  std::vector<std::string> args(argv + 1, argv + argc);
  return hollard::RunArchiveTool(args, std::cout, std::cerr);
}
