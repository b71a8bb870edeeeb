// Steps 13 to 15: the per-project side files beside the old tables (ToDo lists, the
// module lists users keep, cross-references between projects), each named after its
// target project's file name.
#include "engine/base/conversions.h"
#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/table/table.h"
#include "main/migration.h"
#include "main/text_file.h"

#include <unordered_map>

namespace hollard {

using ovrin::TOvrinTable;

std::pair<std::string, std::string> SplitFileName(const std::string& path) {
  size_t cut = path.find_last_of("\\:");
  size_t at = cut == std::string::npos ? 0 : cut + 1;
  return {path.substr(0, at), path.substr(at)};
}

std::string ChangeFileExt(const std::string& name, const std::string& extension) {
  size_t at = name.find_last_of(".\\:/");
  if (at != std::string::npos && name[at] == '.') return name.substr(0, at) + extension;
  return name + extension;
}

std::string FindSideFile(const std::string& sourceDir, const std::string& projectName, const std::string& extension,
                         const std::string& codePage) {
  const std::string raw = ChangeFileExt(projectName, extension);
  std::string decoded = ovrin::DecodeToUtf8(raw, codePage.c_str());
  if (decoded != raw) {
    std::string found = ovrin::Platform().ResolveExisting(sourceDir + decoded);
    if (!found.empty()) return found;
  }
  return ovrin::Platform().ResolveExisting(sourceDir + raw);
}

namespace {

// A project name is joined to the source folder; one that holds a folder delimiter or a
// parent reference could name a file outside it.
bool LeavesFolder(const std::string& name) {
  return name.find_first_of("/\\") != std::string::npos || name.find("..") != std::string::npos;
}

}  // namespace

void TMigration::ConvertProjectFiles(TOvrinTable& projects, const char* extension,
                                     const std::function<void(int32_t, const std::string&)>& convert) {
  ResetGauge(projects.RecordCount());
  for (projects.First(); !projects.Eof(); projects.Next()) {
    Advance();
    user_.ProcessEvents();
    std::string name = projects.FieldByName("NAME").AsString();
    if (LeavesFolder(name)) {
      Log("Passed over the " + std::string(extension) + " file of project " + Shown(name) +
          ": its name would lead out of the source folder");
      continue;
    }
    std::string found = FindSideFile(sourceDir_, name, extension, comparer_.CodePage());
    if (found.empty()) continue;
    // The folder is a file-system name already; only the project's part is decoded.
    Log("Converting " + sourceDir_ + Shown(ChangeFileExt(name, extension)));
    list_.Clear();
    // The line each text was first read from, for messages.
    std::unordered_map<std::string, int64_t> firstLine;
    try {
      CheckSideFile(found, kMaxSideFileBytes);
      int64_t number = 0;
      ForEachTextLine(found, [&](const std::string& line) {
        ++number;
        firstLine.emplace(line, number);
        list_.Add(line);
      });
    } catch (const std::exception& e) {
      StepError(e.what());
    }
    int32_t projectId = projects.FieldByName("PROJECTID").AsInteger();
    for (int i = 0; i < list_.Count(); ++i) {
      try {
        convert(projectId, list_[i]);
      } catch (const ovrin::EConvertError& e) {
        throw ovrin::EConvertError(found + ", line " + std::to_string(firstLine[list_[i]]) + ": " + e.Message());
      }
    }
  }
}

TToDoLine SplitToDoLine(const std::string& line) {
  std::string rest = line;
  auto take = [&rest]() {
    size_t bar = rest.find('|');
    if (bar == std::string::npos) return std::string();
    std::string field = rest.substr(0, bar);
    rest.erase(0, bar + 1);
    return field;
  };
  TToDoLine out;
  out.priority = take();
  out.created = take();
  out.description = take();
  out.state = take();
  size_t bar = rest.find('|');
  out.login = bar == std::string::npos ? std::string() : rest.substr(bar + 1);
  return out;
}

void TMigration::ConvertToDoLists() {
  Log("Converting ToDo list...");
  TOvrinTable& projects = OpenTarget(1, "projects");
  TOvrinTable& todo = OpenTarget(2, "todo");
  ShowStep("Converting  ToDo list... - Step 13/16");
  TOvrinTable& users = OpenTarget(5, "users");
  ConvertProjectFiles(projects, ".tdo", [&](int32_t projectId, const std::string& line) {
    auto [priority, created, description, state, login] = SplitToDoLine(line);
    int32_t userId = login.empty() ? 0 : std::max(FindUserId(users, login), 0);
    todo.Append();
    todo.FieldByName("PROJECTID").SetAsInteger(projectId);
    todo.FieldByName("USERID").SetAsInteger(userId);
    todo.FieldByName("RESPONSIBLE").SetAsInteger(userId);
    todo.FieldByName("CREATED").SetAsDateTime(ovrin::TextToDateTime(created, settings_));
    todo.FieldByName("PRIORITY").SetAsInteger(ovrin::TextToInteger(priority));
    SetText(todo, "CATEGORY", std::string());
    SetText(todo, "STATE", state);
    SetText(todo, "DESCRIPTION", description);
    todo.FieldByName("TARGETDATE").SetAsDateTime(0);
    todo.FieldByName("DONEDATE").SetAsDateTime(0);
    todo.Post();
    Added(todo);
  });
  EndStep();
}

void TMigration::ConvertModuleLists() {
  Log("Converting User Module list...");
  TOvrinTable& projects = OpenTarget(1, "projects");
  TOvrinTable& lookups = OpenTarget(5, "modules");
  TOvrinTable& modules = OpenTarget(2, "modules");
  ShowStep("Converting User Module list... - Step 14/16");
  ConvertProjectFiles(projects, ".prl", [&](int32_t, const std::string& line) {
    auto [folder, file] = SplitFileName(line);
    std::string name = comparer_.Lower(file), path = comparer_.Lower(folder);
    if (FindModuleId(lookups, name, path) != 0) return;
    modules.Append();
    SetText(modules, "NAME", name);
    SetText(modules, "PATH", path);
    modules.Post();
    Added(modules);
    modulesImage_.Appended(modules);
  });
  EndStep();
}

void TMigration::ConvertCrossReferences() {
  Log("Converting Cross-references...");
  TOvrinTable& projects = OpenTarget(1, "projects");
  TOvrinTable& lookups = OpenTarget(5, "projects");
  TOvrinTable& references = OpenTarget(2, "pjref");
  ShowStep("Converting Cross-references... - Step 15/16");
  ConvertProjectFiles(projects, ".pcr", [&](int32_t projectId, const std::string& line) {
    int32_t reference = FindProjectId(lookups, comparer_.Lower(SplitFileName(line).second));
    references.Append();
    references.FieldByName("PROJECTID").SetAsInteger(projectId);
    references.FieldByName("REFERENCE").SetAsInteger(reference);
    references.Post();
    Added(references);
  });
  EndStep();
}

}  // namespace hollard
