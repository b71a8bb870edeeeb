// Steps 13 to 15: the per-project side files beside the old tables (ToDo lists, the
// module lists users keep, cross-references between projects), each named after its
// target project's file name.
#include "engine/base/conversions.h"
#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/table/table.h"
#include "main/migration.h"
#include "main/text_file.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <filesystem>
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

namespace {

// A name folded by full Unicode case folding, the same for every locale; empty for a
// name that is not UTF-8 (such a name is found by its bytes only).
std::u16string FoldedName(const std::string& utf8) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return {};
  std::u16string text(static_cast<size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8(text.data(), length, nullptr, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (U_FAILURE(status)) return {};
  std::u16string folded(text.size() * 3 + 8, u'\0');
  int32_t n = u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), text.data(),
                            static_cast<int32_t>(text.size()), U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return {};
  folded.resize(static_cast<size_t>(n));
  return folded;
}

}  // namespace

std::string FindSideFile(const std::string& sourceDir, const std::string& projectName, const std::string& extension,
                         const std::string& codePage, std::vector<std::string>* others) {
  if (others) others->clear();
  const std::string raw = ChangeFileExt(projectName, extension);
  std::vector<std::string> names = {ovrin::DecodeToUtf8(raw, codePage.c_str())};
  if (names[0] != raw) names.push_back(raw);
  // The folder's entries in byte order: of several that match, the first is taken.
  std::vector<std::string> entries;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(sourceDir.empty() ? "." : sourceDir, ec))
    entries.push_back(entry.path().filename().string());
  std::sort(entries.begin(), entries.end());
  auto ascii = [](const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  };
  auto folds = [&](const std::string& a, const std::string& b) {
    // Between ASCII names full folding is ASCII case folding, without the cost.
    if (ascii(a) && ascii(b)) return ovrin::AsciiEqualNoCase(a, b);
    std::u16string fa = FoldedName(a);
    return !fa.empty() && fa == FoldedName(b);
  };
  // The exact name, then the name without regard to ASCII case, then without regard to
  // case under full folding; the decoded name before the raw bytes at each stage.
  const std::function<bool(const std::string&, const std::string&)> stages[] = {
      [](const std::string& a, const std::string& b) { return a == b; },
      [](const std::string& a, const std::string& b) { return ovrin::AsciiEqualNoCase(a, b); },
      folds,
  };
  for (const auto& matches : stages)
    for (const std::string& name : names)
      for (const std::string& entry : entries) {
        if (!matches(entry, name)) continue;
        if (others)
          for (const std::string& other : entries)
            if (other != entry && std::any_of(names.begin(), names.end(), [&](const std::string& n) {
                  return ovrin::AsciiEqualNoCase(other, n) || folds(other, n);
                }))
              others->push_back(sourceDir + other);
        return sourceDir + entry;
      }
  return std::string();
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
    std::vector<std::string> others;
    std::string found = FindSideFile(sourceDir_, name, extension, comparer_.CodePage(), &others);
    if (found.empty()) continue;
    // The folder is a file-system name already; only the project's part is decoded.
    Log("Converting " + sourceDir_ + Shown(ChangeFileExt(name, extension)));
    if (!others.empty()) {
      std::string line = "Read " + found + "; left the files whose names differ from it only in letter case:";
      for (const std::string& other : others) line += " " + other;
      Log(line);
    }
    list_.Clear();
    // The line each text was first read from, for messages.
    std::unordered_map<std::string, int64_t> firstLine;
    try {
      CheckSideFile(found, kMaxSideFileBytes);
      int64_t number = 0;
      ForEachTextLine(found, [&](const std::string& line) {
        ++number;
        firstLine.emplace(line, number);
        const int before = list_.Count();
        list_.Add(line);
        // Taken once with an earlier line, as the rules have it, but counted.
        if (list_.Count() == before && !line.empty()) report_.mergedLines[found].Add({found, number, Shown(line)});
      });
    } catch (const std::exception& e) {
      StepError(e.what());
    }
    int32_t projectId = projects.FieldByName("PROJECTID").AsInteger();
    for (int i = 0; i < list_.Count(); ++i) {
      StopPoint();
      lineFile_ = found;
      lineNumber_ = firstLine[list_[i]];
      try {
        convert(projectId, list_[i]);
      } catch (const ovrin::EConvertError& e) {
        // The message quotes the line's text in the archive's code page.
        throw ovrin::EConvertError(found + ", line " + std::to_string(firstLine[list_[i]]) + ": " + Shown(e.Message()));
      }
    }
    lineNumber_ = 0;
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
    int32_t userId = login.empty() ? 0 : Noted(todo, "USERID", std::max(FindUserId(users, login), 0), login);
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

bool BlankLine(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

bool TMigration::PassedOverBlank(const std::string& line) {
  // A blank line names no module and no project: it made a module without a name, or a
  // cross-reference to project 0 that nothing counted.
  if (!BlankLine(line)) return false;
  Log("Passed over a blank line of " + lineFile_ + " (line " + std::to_string(lineNumber_) + ")");
  return true;
}

void TMigration::ConvertModuleLists() {
  Log("Converting User Module list...");
  TOvrinTable& projects = OpenTarget(1, "projects");
  TOvrinTable& lookups = OpenTarget(5, "modules");
  TOvrinTable& modules = OpenTarget(2, "modules");
  ShowStep("Converting User Module list... - Step 14/16");
  ConvertProjectFiles(projects, ".prl", [&](int32_t, const std::string& line) {
    if (PassedOverBlank(line)) return;
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
    if (PassedOverBlank(line)) return;
    // Looked up in lower case; a name that finds nothing is shown as the line has it.
    const std::string name = SplitFileName(line).second;
    int32_t reference = Noted(references, "REFERENCE", FindProjectId(lookups, comparer_.Lower(name)), name);
    references.Append();
    references.FieldByName("PROJECTID").SetAsInteger(projectId);
    references.FieldByName("REFERENCE").SetAsInteger(reference);
    references.Post();
    Added(references);
  });
  EndStep();
}

}  // namespace hollard
