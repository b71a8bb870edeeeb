#include "main/run_summary.h"

#include <iomanip>

#include "engine/base/locale.h"

namespace hollard {

std::string StepRange(const TStepOutcome& s) {
  return s.firstStep == s.lastStep ? std::to_string(s.firstStep)
                                   : std::to_string(s.firstStep) + "-" + std::to_string(s.lastStep);
}

int FailedSteps(const TMigrationReport& report) {
  int failed = 0;
  for (const TStepOutcome& s : report.steps)
    if (!s.succeeded && !(s.stopped && s.errors.empty())) ++failed;
  return failed;
}

namespace {

// A heading, then per file how many of its lines, the first few of them each cut to a
// line's worth (the log holds them whole), and how many more.
void PrintLines(std::ostream& out, const char* heading, const std::map<std::string, TPassedOver>& files) {
  if (files.empty()) return;
  out << "  " << heading << ":\n";
  for (const auto& [file, lines] : files) {
    out << "    " << file << ": " << lines.count << "\n";
    for (const TDatedText& t : lines.first) out << "      line " << t.line << ": " << ovrin::CutUtf8(t.text, 200) << "\n";
    if (lines.count > static_cast<int64_t>(lines.first.size()))
      out << "      and " << lines.count - static_cast<int64_t>(lines.first.size()) << " more\n";
  }
}

}  // namespace

void PrintReportSummary(std::ostream& out, const TMigrationReport& report, bool dryRun) {
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
  PrintLines(out, "Lines passed over (no valid date in the log; a date that does not read in a ToDo list)",
             report.passedOver);
  PrintLines(out, "Side-file lines taken once (the same line as an earlier one, or differing from it only in letter case)",
             report.mergedLines);
  PrintLines(out, "Backup events not converted (history log lines that hold \" - Backup (\")", report.backupLines);
  if (report.formsNotStored.count > 0) {
    out << "  Form files not stored (their size, ASFSIZE, is 0 or less, yet they hold bytes): "
        << report.formsNotStored.count << "\n";
    for (const std::string& form : report.formsNotStored.first) out << "    " << ovrin::CutUtf8(form, 200) << "\n";
    if (report.formsNotStored.count > static_cast<int64_t>(report.formsNotStored.first.size()))
      out << "    and " << report.formsNotStored.count - static_cast<int64_t>(report.formsNotStored.first.size())
          << " more\n";
  }
  if (!report.unmatched.empty()) {
    out << "  Names that find nothing in the target (written as id 0; a label is not assigned;\n"
           "      under rvlabels.LABELID the label numbers no label was made for, not assigned):\n";
    for (const auto& [what, names] : report.unmatched) {
      out << "    " << std::left << std::setw(20) << what << " " << names.count << "  e.g.";
      for (size_t i = 0; i < names.first.size(); ++i)
        out << (i ? ", \"" : " \"") << ovrin::CutUtf8(names.first[i], 60) << "\"";
      out << "\n";
    }
  }
  out << "  Steps:\n";
  for (const TStepOutcome& s : report.steps) {
    const char* outcome = s.succeeded ? "ok" : s.stopped && s.errors.empty() ? "STOPPED" : "FAILED";
    out << "    " << std::left << std::setw(6) << StepRange(s) << std::setw(27) << s.procedure << std::right
        << std::fixed << std::setprecision(2) << std::setw(8) << s.seconds << " s  " << outcome << "\n";
    for (const std::string& e : s.errors) {
      // Each line of a message under the step, also the lines after its first.
      size_t start = 0;
      for (size_t end; (end = e.find('\n', start)) != std::string::npos; start = end + 1)
        out << "          " << e.substr(start, end - start) << "\n";
      out << "          " << e.substr(start) << "\n";
    }
  }
}

}  // namespace hollard
