// hollard-archive: the project's archive tool. Each subcommand is an object that writes
// to the streams it is given, so that tests run it in-process and check its text and
// exit code.
//
//   make-source DIR [--revisions N] [--modules M] [--projects P] [--blob-bytes SIZE]
//               [--seed S] [--date-format F] [--time-separator C] [--replace]
//                                                 write an old-layout archive
//   create DIR [--replace]                        write an empty new-layout archive
//   tables, schema, dump, check, verify, repair   look at, prove and mend archives
//   --version, --help                             the program's version; its usage
//
// Every value of the command line is checked before any work (code pages, date formats,
// time separators, folders that must exist or be made, and in dump the index, filter and
// range the table is asked for); a wrong one is exit code 2 with a message naming the
// option, an unknown command exit code 2 naming it. An engine error that says a table
// is damaged is followed by the check and repair commands for that table; running out
// of memory is the engine's error 11016. Nothing is written over by accident: make-source
// refuses a folder that holds an archive unless given --replace, repair a log file that
// is one of the archive's table files.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace hollard {

// Runs the tool with its arguments (without the program name); answers the exit code:
// 0 done (sound, nothing lost), 1 the work failed or a table is damaged, 2 the command
// line is wrong, 3 (check, repair) a table is in use by another program. Every run ends
// by flushing `out`; output that could not be written is told on `err` and makes a run
// that had succeeded exit with 1.
int RunArchiveTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace hollard
