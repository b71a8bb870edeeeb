// Step 16: the history log, one record per dated line, with the project, user and module
// the line names; then the run's closing lines.
#include "engine/base/conversions.h"
#include "engine/base/platform.h"
#include "engine/table/table.h"
#include "main/migration.h"
#include "main/text_file.h"

namespace hollard {

using ovrin::TOvrinTable;

namespace {

char AsciiUpperChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Keeps the text before the first occurrence of the mark, when there is one.
void CutBefore(std::string* text, const char* mark) {
  size_t at = text->find(mark);
  if (at != std::string::npos) text->erase(at);
}

}  // namespace

bool BackupEvent(const std::string& line) { return line.find(" - Backup (") != std::string::npos; }

TLogLine SplitLogLine(const std::string& line) {
  TLogLine out;
  size_t arrow = line.find('>');
  out.dateText = arrow == std::string::npos || arrow == 0 ? std::string() : line.substr(0, arrow - 1);
  std::string rest = line.substr(std::min(line.size(), out.dateText.size() + 4));
  size_t close = rest.find(']');
  out.user = close == std::string::npos ? std::string() : rest.substr(0, close);
  rest.erase(0, std::min(rest.size(), out.user.size() + 2));
  out.event = rest;
  CutBefore(&out.user, " on ");
  CutBefore(&out.user, " (as ");
  return out;
}

std::string ReplaceText(const std::string& text, const std::string& pattern, const std::string& replacement) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    bool match = pattern.size() <= text.size() - at && !pattern.empty();
    for (size_t i = 0; match && i < pattern.size(); ++i) match = AsciiUpperChar(text[at + i]) == AsciiUpperChar(pattern[i]);
    if (match) {
      out += replacement;
      at += pattern.size();
    } else {
      out += text[at++];
    }
  }
  return out;
}

std::string EventType(const std::string& line) {
  static const std::pair<const char*, const char*> kMarkers[] = {
      {"added to projectlist:", "a"}, {"removed from projectlist:", "r"}, {"check in:", "i"},
      {"checked out:", "o"},          {"change:", "c"},                   {"synchronized with archive:", "s"},
      {"- merge ", "m"},              {"branch: ", "b"},                  {"Archive tested", "t"},
      {"removed project:", "p"},      {"undo check out:", "u"}};
  std::string type;
  for (const auto& [marker, letter] : kMarkers)
    if (line.find(marker) != std::string::npos) type = letter;
  return type;
}

void TMigration::ConvertLogFile() {
  Log("Converting Log file...");
  TOvrinTable& log = OpenTarget(2, "vcslog");
  TOvrinTable& projects = OpenTarget(5, "projects");
  TOvrinTable& users = OpenTarget(6, "users");
  TOvrinTable& modules = OpenTarget(3, "modules");
  ShowStep("Converting  Log file... - Step 16/16");
  std::string file = sourceDir_ + "hollardm.log";
  std::string found = ovrin::Platform().ResolveExisting(file);
  if (!found.empty()) {
    Log("Converting " + file);
    // The log can be far larger than memory should hold, so it is read twice: once for
    // the gauge's length, then line by line. A read error is shown once, and the lines
    // before it are converted.
    int lines = 0;
    bool shown = false;
    auto readError = [&](const std::exception& e) {
      if (!shown) StepError(e.what());
      shown = true;
    };
    try {
      ForEachTextLine(found, [&lines](const std::string&) { ++lines; });
    } catch (const std::exception& e) {
      readError(e);
    }
    ResetGauge(lines);
    std::unique_ptr<TTextLineReader> reader;
    try {
      if (lines > 0) reader = std::make_unique<TTextLineReader>(found);
    } catch (const std::exception& e) {
      readError(e);
    }
    std::string line;
    for (int n = 0; reader && n < lines; ++n) {
      try {
        if (!reader->Next(&line)) break;
      } catch (const std::exception& e) {
        readError(e);
        break;
      }
      lineFile_ = found;
      lineNumber_ = n + 1;
      ConvertLogLine(line, n + 1, file, log, projects, users, modules);
    }
    lineNumber_ = 0;
  }
  log.Close();
  modules.Close();
  projects.Close();
  users.Close();
  Log("Success. Process ready.");
  user_.SetStepText("Success. Process ready.");
  Log("Process finished at " + NowText(), false);
  user_.ProcessEvents();
}

std::string TMigration::LogModulePattern(TOvrinTable& modules) {
  std::string pattern(modules.FieldByName("PATH").AsStringView());
  pattern += modules.FieldByName("NAME").AsStringView();
  return ovrin::AsciiLower(pattern);
}

std::string TMigration::LogProjectPattern(TOvrinTable& projects) { return projects.FieldByName("NAME").AsString(); }

void TMigration::ConvertLogLine(const std::string& line, int64_t number, const std::string& file, TOvrinTable& log,
                                TOvrinTable& projects, TOvrinTable& users, TOvrinTable& modules) {
  Advance();
  user_.ProcessEvents();
  if (line.empty()) return;
  if (BackupEvent(line)) {
    // Not converted, as the rules have it, but counted: the summary says so.
    report_.backupLines[file].Add({file, number, Shown(line)});
    return;
  }
  Log("Converting " + Shown(line));

  // The date first: a line passed over needs none of the lookups below.
  TLogLine parts = SplitLogLine(line);
  ovrin::TDateTime stamp = 0;
  if (!ovrin::TryTextToDateTime(parts.dateText, settings_, &stamp)) stamp = 0;
  if (stamp == 0) {
    // Passed over, as the rules have it, but counted: an undated line or one whose date
    // does not read is no event the target can hold.
    report_.passedOver[file].Add({file, number, Shown(line)});
    return;
  }

  // The first module (in table order) whose folder and name occur in the line, and the
  // first project whose name does, letters A to Z compared without case for the module.
  const std::string lowered = ovrin::AsciiLower(line);
  int32_t moduleId = 0, projectId = 0;
  std::string project;
  if (!walkLookups_) {
    logModulesImage_.Sync(modules);
    moduleId = logModulesImage_.Find(lowered).id;
    logProjectsImage_.Sync(projects);
    TTextImage::TFound found = logProjectsImage_.Find(line);
    projectId = found.id;
    project = found.pattern;
  } else {
    for (WalkFromFirst(modules); !modules.Eof(); modules.Next()) {
      std::string key = LogModulePattern(modules);
      if (!key.empty() && lowered.find(key) != std::string::npos) {
        moduleId = modules.FieldByName("MODULEID").AsInteger();
        break;
      }
    }
    for (WalkFromFirst(projects); !projects.Eof(); projects.Next()) {
      std::string name = LogProjectPattern(projects);
      if (!name.empty() && line.find(name) != std::string::npos) {
        projectId = projects.FieldByName("PROJECTID").AsInteger();
        project = name;
        break;
      }
    }
  }
  std::string type = EventType(line);

  // The event text loses "<project file name> -"; a line naming no project keeps all.
  std::string description =
      project.empty() ? parts.event : ReplaceText(parts.event, comparer_.Lower(SplitFileName(project).second) + " -", "");
  const std::string& userText = parts.user;

  log.Append();
  log.FieldByName("PROJECTID").SetAsInteger(projectId);
  log.FieldByName("USERID").SetAsInteger(Noted(log, "USERID", FindUserId(users, userText), userText));
  log.FieldByName("TSTAMP").SetAsDateTime(stamp);
  SetText(log, "TYPE", type);
  SetText(log, "DESCRIPTION", description);
  log.FieldByName("MODULEID").SetAsInteger(moduleId);
  log.Post();
  Added(log);
}

}  // namespace hollard
