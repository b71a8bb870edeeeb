// hollard-archive: the project's archive tool. Each subcommand is an object that writes
// to the streams it is given, so that tests run it in-process and check its text and
// exit code.
//
//   make-source DIR [--revisions N] [--modules M] [--projects P] [--blob-bytes SIZE]
//               [--seed S] [--date-format F]      write an old-layout archive
//   create DIR [--replace]                        write an empty new-layout archive
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace hollard {

// Runs the tool with its arguments (without the program name); answers the exit code.
int RunArchiveTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace hollard
