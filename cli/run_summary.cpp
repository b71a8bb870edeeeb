#include "cli/run_summary.h"

#include <cmath>
#include <filesystem>
#include <iomanip>

#include "main/run_summary.h"
#include "main/target_lock.h"

namespace hollard {

using nlohmann::json;

int StartedRunExitCode(const TMigrationReport& report, const TTerminalUser& user) {
  if (report.Failed()) return kExitFailed;
  if (report.Stopped()) return kExitStopped;
  return user.logFailed ? kExitFailed : kExitSuccess;
}

json ReportJson(const TMigrationReport& report, const TTerminalUser& user, const TRunContext& run) {
  json j;
  j["succeeded"] = !report.Failed() && !report.Stopped();
  // Started: a step ran, so the target may hold what the run wrote.
  const bool started = !report.steps.empty();
  j["started"] = started;
  j["exitCode"] = StartedRunExitCode(report, user);
  j["outcome"] = report.Failed()    ? (started ? "failed" : "failed before the first step")
                 : report.Stopped() ? (started ? "stopped" : "stopped before anything was written")
                 : user.logFailed   ? "done, but the log file is incomplete"
                                    : "done";
  j["dryRun"] = run.dryRun;
  j["stopped"] = report.Stopped();
  if (report.Stopped()) j["stoppedAtStep"] = report.stoppedAtStep;
  if (run.stopSignal) j["stopSignal"] = run.stopSignal;
  if (run.outputGone) j["outputClosed"] = true;
  if (report.preflightFailed) j["preflight"] = report.preflightMessage;
  j["added"] = report.added;
  j["changed"] = report.changed;
  j["cut"] = report.cut;
  if (!report.dateFormat.empty()) j["dateFormat"] = report.dateFormat;
  for (const auto& [key, lists] : {std::pair{"passedOver", &report.passedOver}, std::pair{"backupLines", &report.backupLines},
                              std::pair{"mergedLines", &report.mergedLines}}) {
    j[key] = json::object();
    for (const auto& [file, passed] : *lists) {
      json first = json::array();
      for (const TDatedText& t : passed.first) first.push_back({{"line", t.line}, {"text", t.text}});
      j[key][file] = {{"count", passed.count}, {"first", first}};
    }
  }
  j["formsNotStored"] = {{"count", report.formsNotStored.count}, {"first", report.formsNotStored.first}};
  j["unmatched"] = json::object();
  for (const auto& [what, names] : report.unmatched) j["unmatched"][what] = {{"count", names.count}, {"first", names.first}};
  j["steps"] = json::array();
  for (const TStepOutcome& s : report.steps)
    j["steps"].push_back({{"procedure", s.procedure},
                          {"steps", StepRange(s)},
                          {"succeeded", s.succeeded},
                          {"seconds", std::round(s.seconds * 1000) / 1000},
                          {"errors", s.errors}});
  j["skippedQuestions"] = json::array();
  for (const TSkippedQuestion& q : user.skipped)
    j["skippedQuestions"].push_back({{"question", q.question}, {"module", q.module}, {"why", q.why}});
  j["unknownProjects"] = user.unknownProjects;
  j["unknownKeys"] = user.UnknownKeys();
  if (!run.backup.empty()) {
    j["backup"] = run.backup;
    if (report.Failed() || report.Stopped()) {
      j["restored"] = run.restored;
      if (!run.restored && !run.backupIncomplete) j["restoreCommand"] = RestoreCommand(run.backup, run.target);
      if (!run.restoreError.empty()) j["restoreError"] = run.restoreError;
    }
  }
  if (user.logFailed) j["logError"] = user.logError;
  return JsonTexts(j);
}

json RunningReportJson(const TRunContext& run) {
  json j;
  j["succeeded"] = false;
  j["running"] = true;
  j["dryRun"] = run.dryRun;
  j["target"] = run.target;
  return JsonTexts(j);
}

std::string RestoreCommand(const std::string& backup, const std::string& target) {
  // Single quotes keep every byte as it is; a name that is not valid UTF-8 (a Latin-1
  // folder) is written in the shell's $'...' form with \xNN escapes instead, so that
  // the command stays one valid UTF-8 text (the report's JSON carries it as it is).
  auto quoted = [](const std::string& text) {
    if (JsonText(text) != text) {
      std::string q = "$'";
      for (unsigned char c : text) {
        static const char kHex[] = "0123456789abcdef";
        if (c >= 0x80 || c < 0x20 || c == '\'' || c == '\\')
          q += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
        else
          q += static_cast<char>(c);
      }
      return q + "'";
    }
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  // Absolute, so that the command works from any folder (cron starts elsewhere).
  auto folder = [](const std::string& f) {
    std::error_code ec;
    std::string absolute = std::filesystem::absolute(f, ec).lexically_normal().string();
    if (ec) absolute = f;
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    return absolute;
  };
  // The mark of the unfinished run goes too: the target is then as before the run.
  return "cp -p -- " + quoted(folder(backup)) + "/* " + quoted(folder(target)) + "/ && rm -f -- " +
         quoted(folder(target)) + "/" + TUnfinishedRun::kFileName;
}

std::string JsonText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* b = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = b[i];
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool valid = length > 0 && i + length <= n;
    for (size_t k = 1; valid && k < length; ++k) valid = (b[i + k] & 0xC0) == 0x80;
    if (valid && length > 1) {
      // No overlong forms, surrogates or values above U+10FFFF.
      uint32_t v = length == 2 ? (c & 0x1Fu) : length == 3 ? (c & 0x0Fu) : (c & 0x07u);
      for (size_t k = 1; k < length; ++k) v = (v << 6) | (b[i + k] & 0x3Fu);
      static const uint32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
      valid = v >= kLowest[length] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF);
    }
    if (valid) {
      out.append(text, i, length);
      i += length;
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
    }
  }
  return out;
}

json EarlyReportJson(const TRunContext& run, int exitCode, const std::vector<std::string>& messages, int stopSignal) {
  json j;
  j["succeeded"] = exitCode == 0;
  j["running"] = false;
  j["started"] = false;  // no step ran: nothing was written to the target
  j["dryRun"] = run.dryRun;
  j["target"] = run.target;
  j["exitCode"] = exitCode;
  j["outcome"] = exitCode == 3   ? "refused by a guard"
                 : exitCode == 4 ? "stopped before anything was written"
                 : exitCode == 0 ? "done without writing"
                                 : "failed before the first step";
  if (stopSignal) j["stopSignal"] = stopSignal;
  j["messages"] = messages;
  return JsonTexts(j);
}

void PrintSummary(std::ostream& out, const TMigrationReport& report, const TTerminalUser& user,
                  const TRunContext& run) {
  const bool dryRun = run.dryRun;
  out << "\nSummary" << (dryRun ? " (dry run: the target was not touched)" : "") << "\n";
  if (report.preflightFailed) {
    out << "  The run did not start: " << report.preflightMessage << "\n";
    if (!run.preflightNote.empty()) out << "  (" << run.preflightNote << ")\n";
    return;
  }
  PrintReportSummary(out, report, dryRun);
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
  if (report.Stopped()) {
    out << "  Stopped at step " << report.stoppedAtStep;
    if (run.stopSignal) out << " (signal " << run.stopSignal << ")";
    else if (run.outputGone) out << " (standard output could not be written: closed, or a full disk)";
    out << "; every table was closed.\n";
  }
  if (user.logFailed) out << "  The log file " << user.logName << " could not be written: " << user.logError << ".\n";
  if (!run.backup.empty() && (report.Failed() || report.Stopped())) {
    if (run.restored) {
      out << "  The backup in " << run.backup << " was put back: " << run.target << " is as it was before the run.\n";
    } else {
      if (!run.restoreError.empty()) out << "  Putting the backup back failed: " << run.restoreError << "\n";
      if (run.backupIncomplete) {
        // Copied back, what is left of it would mix old tables with new ones.
        out << "  Do not put " << run.backup << " back: it is no longer the whole copy of " << run.target
            << ". The target holds part of this run's records.\n";
      } else {
        out << "  To put " << run.target << " back as it was before this run (with no other program using it):\n"
            << "    " << RestoreCommand(run.backup, run.target) << "\n";
        if (!run.restoreAsked) out << "  (with --restore-on-failure the run puts the backup back by itself)\n";
      }
    }
  } else if (report.Stopped() && !dryRun) {
    out << "  The target holds the records of the steps before step " << report.stoppedAtStep
        << " and part of that step's. Running the same archive into it again would add them twice; put back a "
           "copy of the target made before this run and run again.\n";
  } else if (report.Failed() && !dryRun) {
    // A failed step ends and the run goes on with the next one.
    out << "  The target holds what this run wrote: the records of the steps that succeeded and part of the "
           "failed steps'. Running the same archive into it again would add them twice; mend the cause, put back "
           "a copy of the target made before this run and run again.\n";
  }
  out << (report.Failed()    ? "Result: FAILED\n"
          : report.Stopped() ? "Result: STOPPED\n"
          : user.logFailed   ? "Result: success, but the log file is incomplete\n"
                             : "Result: success\n");
}

}  // namespace hollard
