// hollard-archive run in-process: its exit code and what it wrote to each stream.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tools/archive_tool.h"

namespace hollard::test {

struct TRun {
  int code;
  std::string out, err;
};

inline TRun Tool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int code = RunArchiveTool(args, out, err);
  return {code, out.str(), err.str()};
}

}  // namespace hollard::test
