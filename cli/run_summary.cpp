#include "cli/run_summary.h"

#include <cmath>
#include <iomanip>

namespace hollard {

using nlohmann::json;

namespace {

std::string Steps(const TStepOutcome& s) {
  return s.firstStep == s.lastStep ? std::to_string(s.firstStep)
                                   : std::to_string(s.firstStep) + "-" + std::to_string(s.lastStep);
}

}  // namespace

json ReportJson(const TMigrationReport& report, const TTerminalUser& user, bool dryRun, const std::string& backup) {
  json j;
  j["succeeded"] = !report.Failed();
  j["dryRun"] = dryRun;
  if (report.preflightFailed) j["preflight"] = report.preflightMessage;
  j["added"] = report.added;
  j["changed"] = report.changed;
  j["cut"] = report.cut;
  if (!report.dateFormat.empty()) j["dateFormat"] = report.dateFormat;
  j["passedOver"] = json::object();
  for (const auto& [file, passed] : report.passedOver) {
    json first = json::array();
    for (const TDatedText& t : passed.first) first.push_back({{"line", t.line}, {"text", t.text}});
    j["passedOver"][file] = {{"count", passed.count}, {"first", first}};
  }
  j["steps"] = json::array();
  for (const TStepOutcome& s : report.steps)
    j["steps"].push_back({{"procedure", s.procedure},
                          {"steps", Steps(s)},
                          {"succeeded", s.succeeded},
                          {"seconds", std::round(s.seconds * 1000) / 1000},
                          {"errors", s.errors}});
  j["skippedQuestions"] = json::array();
  for (const TSkippedQuestion& q : user.skipped)
    j["skippedQuestions"].push_back({{"question", q.question}, {"module", q.module}, {"why", q.why}});
  j["unknownProjects"] = user.unknownProjects;
  j["unknownKeys"] = user.UnknownKeys();
  if (!backup.empty()) j["backup"] = backup;
  return j;
}

void PrintSummary(std::ostream& out, const TMigrationReport& report, const TTerminalUser& user, bool dryRun,
                  const std::string& backup, const std::string& target) {
  out << "\nSummary" << (dryRun ? " (dry run: the target was not touched)" : "") << "\n";
  if (report.preflightFailed) {
    out << "  The run did not start: " << report.preflightMessage << "\n";
    return;
  }
  if (!report.dateFormat.empty()) out << "  " << report.dateFormat << "\n";
  out << (dryRun ? "  Records that would be added:\n" : "  Records added:\n");
  if (report.added.empty()) out << "    none\n";
  for (const auto& [table, n] : report.added) out << "    " << std::left << std::setw(10) << table << " " << n << "\n";
  if (!report.changed.empty()) {
    out << (dryRun ? "  Records that would be changed:\n" : "  Records changed:\n");
    for (const auto& [table, n] : report.changed) out << "    " << std::left << std::setw(10) << table << " " << n << "\n";
  }
  if (!report.cut.empty()) {
    out << "  Texts cut to their field's size (longer in the archive than the target holds):\n";
    for (const auto& [field, n] : report.cut) out << "    " << std::left << std::setw(20) << field << " " << n << "\n";
  }
  if (!report.passedOver.empty()) {
    out << "  Lines passed over (no valid date in the log; a date that does not read in a ToDo list):\n";
    for (const auto& [file, passed] : report.passedOver) {
      out << "    " << file << ": " << passed.count << "\n";
      for (const TDatedText& t : passed.first) out << "      line " << t.line << ": " << t.text << "\n";
    }
  }
  out << "  Steps:\n";
  for (const TStepOutcome& s : report.steps) {
    out << "    " << std::left << std::setw(6) << Steps(s) << std::setw(27) << s.procedure << std::right << std::fixed
        << std::setprecision(2) << std::setw(8) << s.seconds << " s  " << (s.succeeded ? "ok" : "FAILED") << "\n";
    for (const std::string& e : s.errors) out << "          " << e << "\n";
  }
  if (!user.skipped.empty()) {
    out << "  Questions answered with Skip:\n";
    for (const TSkippedQuestion& q : user.skipped)
      out << "    " << q.question << ": " << q.module << " (" << q.why << ")\n";
  }
  const std::vector<std::string> unknownKeys = user.UnknownKeys();
  if (!unknownKeys.empty()) {
    out << "  Warning: answers for modules the run did not ask about (left out; check the keys):\n";
    for (const std::string& k : unknownKeys) out << "    " << k << "\n";
  }
  if (!user.unknownProjects.empty()) {
    out << "  Answers naming a project the target does not hold (left out):\n";
    for (const std::string& m : user.unknownProjects) out << "    " << m << "\n";
  }
  if (!backup.empty() && report.Failed())
    out << "  To undo this run, copy the files in " << backup << " back into " << target << ".\n";
  out << (report.Failed() ? "Result: FAILED\n" : "Result: success\n");
}

}  // namespace hollard
