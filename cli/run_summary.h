// The end of a terminal run: the summary as text and as the JSON report.
#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

#include "cli/terminal_user.h"
#include "main/migration.h"

namespace hollard {

// How the run went around the migration itself.
struct TRunContext {
  bool dryRun = false;
  std::string target;
  std::string backup;         // the folder the target's table files were copied to, if any
  bool restoreAsked = false;  // put the backup back when a step failed or the run stopped
  bool restored = false;      // it was put back
  std::string restoreError;   // why putting it back failed
  bool backupIncomplete = false;  // the backup lost files since it was made: never to be put back
  int stopSignal = 0;         // the signal that stopped the run (0: none, or the output closed)
  bool outputGone = false;    // standard output was closed during the run
  std::string preflightNote;  // what the preflight looked for, when it did not find it
};

// The exit code of a run that reached its steps, as far as the run itself tells it (a
// report file that cannot be written makes it 1 too).
int StartedRunExitCode(const TMigrationReport& report, const TTerminalUser& user);
// The report as JSON: always valid, whatever bytes the archive's names and the folders
// hold (see JsonText); with the run's exit code and its outcome in words, as the report
// of a run that ended before its steps has them.
nlohmann::json ReportJson(const TMigrationReport& report, const TTerminalUser& user, const TRunContext& run);
// The report of a run that has not ended yet: written before the first step, so that a
// report file that cannot be written is found before anything is, and a run killed on
// the way leaves a report that says so.
nlohmann::json RunningReportJson(const TRunContext& run);
void PrintSummary(std::ostream& out, const TMigrationReport& report, const TTerminalUser& user,
                  const TRunContext& run);
// The shell command that copies the backup's files back over the target's.
std::string RestoreCommand(const std::string& backup, const std::string& target);
// A text as JSON may carry it: valid UTF-8 stays, each byte that is not part of a valid
// sequence is written as the four characters \xNN.
std::string JsonText(const std::string& text);
// Every string of the document, keys too, passed through JsonText (keys keep their
// order in an ordered document).
template <typename TJson>
TJson JsonTexts(const TJson& document) {
  if (document.is_string()) return JsonText(document.template get_ref<const std::string&>());
  if (document.is_array()) {
    TJson out = TJson::array();
    for (const TJson& e : document) out.push_back(JsonTexts(e));
    return out;
  }
  if (document.is_object()) {
    TJson out = TJson::object();
    for (auto it = document.begin(); it != document.end(); ++it) out[JsonText(it.key())] = JsonTexts(it.value());
    return out;
  }
  return document;
}
// The report of a run that ended before its first step: refused by a guard (exit 3),
// stopped (4), failed (1), or done listing its questions (0); with the messages shown.
nlohmann::json EarlyReportJson(const TRunContext& run, int exitCode, const std::vector<std::string>& messages,
                               int stopSignal);

}  // namespace hollard
