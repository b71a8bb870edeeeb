#include "tools/archive_verify.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <set>
#include <tuple>

#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/table/table.h"
#include "main/migration.h"
#include "main/migration_guards.h"
#include "main/profile_file.h"
#include "main/source_table.h"
#include "main/text_compare.h"
#include "main/text_file.h"

namespace hollard {

namespace {

using ovrin::TOvrinTable;

class TVerifier {
 public:
  TVerifier(const std::string& source, const std::string& target, const TVerifyOptions& options)
      : source_(TMigration::WithDelimiter(source)), target_(TMigration::WithDelimiter(target)), options_(options), comparer_(options.codePage) {}

  TVerifyReport Run() {
    Dates();
    SourceTables();
    Users();
    Projects();
    Modules();
    Revisions();
    Labels();
    SideFiles();
    Log();
    return std::move(report_);
  }

 private:
  std::string Shown(const std::string& bytes) const { return ovrin::DecodeToUtf8(bytes, options_.codePage.c_str()); }
  // The key texts are compared by without regard to case: full case folding, as the
  // migration's lookups and working lists compare them, the same in every locale (a
  // locale's lower-casing would keep the Turkish capital I apart from i).
  std::string Fold(const std::string& text) const { return comparer_.SortKey(text); }
  // A module's folded key: the path's key with its length before it, then the name's.
  std::string FoldModule(const std::string& path, const std::string& name) const {
    std::string key = Fold(path);
    return std::to_string(key.size()) + ':' + key + Fold(name);
  }
  void Lost(const std::string& what) { report_.lost.push_back(what); }
  void Intended(const std::string& what) { report_.intended.push_back(what); }

  void OpenTarget(TOvrinTable& t, const std::string& name) {
    t.SetDatabaseName(target_);
    t.SetTableName(name);
    t.SetReadOnly(true);
    t.Open();
  }
  // Opens an old table and checks that it has every field verify reads of it, so that a
  // field the table lacks is named with the table's file (the reader's own message names
  // only the field).
  void OpenSource(TSourceTable& t, const std::string& name) {
    t.SetDatabaseName(source_);
    t.SetTableName(name);
    t.SetTableType(TTableType::Paradox);
    t.Open();
    static const std::map<std::string, std::vector<const char*>> kRead = {
        {"hollardm", {"PATH", "FNAME", "LOCKEDBY", "VERSION", "REVISION", "FLAG", "BINARY", "ASBINARY", "ASFSIZE"}},
        {"hollardp", {"PROJECT"}}};
    for (const char* field : kRead.at(name))
      if (t.File().FieldIndex(field) < 0)
        throw std::runtime_error("The source table " + t.File().Path() + " has no field '" + field + "'");
  }
  // Text as the target keeps it: cut to the string field's size.
  static std::string Stored(TOvrinTable& t, const char* field, const std::string& text) {
    ovrin::TField& f = t.FieldByName(field);
    size_t room = static_cast<size_t>(std::max(f.DataSize() - 1, 0));
    return f.DataType() == ovrin::TFieldType::String && text.size() > room ? text.substr(0, room) : text;
  }
  // Text as the field gives it back: a string field ends it at a NUL byte, cuts it to
  // the field's size and drops trailing blanks; a memo keeps every byte.
  static std::string ReadBack(TOvrinTable& t, const char* field, const std::string& text) {
    if (t.FieldByName(field).IsBlob()) return text;
    std::string s = Stored(t, field, text.substr(0, text.find('\0')));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  }

  // ---- the date format, settled as the migration settles it
  void Dates() {
    TDateFormatFinding finding = SettleDateFormat(source_, options_.dates, options_.settings, options_.codePage);
    settings_ = finding.settings;
    report_.dateFormat = finding.LogLine();
  }

  // ---- the source files: damaged or strange ones (a table cut short, a FIFO in a
  // file's place) are reported before anything is read from them
  void SourceTables() {
    for (const std::string& damage : SourceProblems(source_, options_.codePage)) Lost(damage);
  }

  // ---- users, projects, modules: exact, else merged by letter case, else lost
  void Users() {
    TOvrinTable users;
    OpenTarget(users, "users");
    for (users.First(); !users.Eof(); users.Next()) {
      std::string login = users.FieldByName("LOGIN").AsString();
      int32_t id = users.FieldByName("USERID").AsInteger();
      userExact_.emplace(login, id);
      userFolded_.emplace(Fold(login), id);
    }
    TSourceTable m;
    OpenSource(m, "hollardm");
    std::set<std::string> seen;
    for (m.First(); !m.Eof(); m.Next()) {
      std::string login = Stored(users, "LOGIN", m.FieldByName("LOCKEDBY").AsString());
      if (!seen.insert(login).second) continue;
      ++report_.checked["users"];
      if (userExact_.count(login)) continue;
      if (userFolded_.count(Fold(login)))
        Intended("user '" + Shown(login) + "' merged with a login that differs only in letter case");
      else
        Lost("user '" + Shown(login) + "' is missing");
    }
  }

  void Projects() {
    TOvrinTable projects;
    OpenTarget(projects, "projects");
    for (projects.First(); !projects.Eof(); projects.Next())
      projectIds_.emplace(projects.FieldByName("NAME").AsString(), projects.FieldByName("PROJECTID").AsInteger());
    TSourceTable p;
    OpenSource(p, "hollardp");
    for (p.First(); !p.Eof(); p.Next()) {
      std::string name = p.FieldByName("PROJECT").AsString();
      ++report_.checked["projects"];
      if (ovrin::AsciiEqualNoCase(name, "_HLRD_std.dpr")) {
        Intended("the standard project " + Shown(name) + " is not migrated");
        continue;
      }
      if (!projectIds_.count(Stored(projects, "NAME", name))) Lost("project '" + Shown(name) + "' is missing");
    }
  }

  void Modules() {
    TOvrinTable modules;
    OpenTarget(modules, "modules");
    for (modules.First(); !modules.Eof(); modules.Next()) {
      std::string path = modules.FieldByName("PATH").AsString(), name = modules.FieldByName("NAME").AsString();
      int32_t id = modules.FieldByName("MODULEID").AsInteger();
      moduleExact_.emplace(path + '\n' + name, id);
      moduleFolded_.emplace(FoldModule(path, name), id);
    }
    TSourceTable m;
    OpenSource(m, "hollardm");
    std::set<std::string> seen;
    for (m.First(); !m.Eof(); m.Next()) {
      std::string path = m.FieldByName("PATH").AsString(), name = m.FieldByName("FNAME").AsString();
      std::string key = Stored(modules, "PATH", path) + '\n' + Stored(modules, "NAME", name);
      if (!seen.insert(key).second) continue;
      ++report_.checked["modules"];
      if (key != path + '\n' + name) Intended("module " + Shown(path + name) + ": its path or name was cut to its field");
      if (moduleExact_.count(key)) continue;
      if (moduleFolded_.count(FoldModule(Stored(modules, "PATH", path), Stored(modules, "NAME", name))))
        Intended("module " + Shown(path + name) + " merged with a module that differs only in letter case");
      else
        Lost("module " + Shown(path + name) + " is missing");
    }
  }

  int32_t ModuleId(const std::string& path, const std::string& name) const {
    auto exact = moduleExact_.find(path + '\n' + name);
    if (exact != moduleExact_.end()) return exact->second;
    auto folded = moduleFolded_.find(FoldModule(path, name));
    return folded == moduleFolded_.end() ? 0 : folded->second;
  }

  // ---- revisions and their stored files, byte for byte
  void Revisions() {
    TOvrinTable revisions, blobs;
    OpenTarget(revisions, "revision");
    OpenTarget(blobs, "blobs");
    std::map<std::tuple<int32_t, int32_t, int32_t>, std::deque<int32_t>> byNumber;
    std::map<int32_t, int32_t> userOf;
    for (revisions.First(); !revisions.Eof(); revisions.Next()) {
      int32_t id = revisions.FieldByName("REVISIONID").AsInteger();
      byNumber[{revisions.FieldByName("MODULEID").AsInteger(), revisions.FieldByName("VERSION").AsInteger(),
                revisions.FieldByName("REVISION").AsInteger()}]
          .push_back(id);
      userOf[id] = revisions.FieldByName("USERID").AsInteger();
    }
    // Blobs records by revision: their places in the table, in table order.
    std::map<int32_t, std::vector<std::vector<uint8_t>>> blobsOf;
    for (blobs.First(); !blobs.Eof(); blobs.Next())
      blobsOf[blobs.FieldByName("REVISIONID").AsInteger()].push_back(blobs.GetBookmark());

    TSourceTable m;
    OpenSource(m, "hollardm");
    for (m.First(); !m.Eof(); m.Next()) {
      ++report_.checked["revisions"];
      std::string path = m.FieldByName("PATH").AsString(), name = m.FieldByName("FNAME").AsString();
      int32_t version = m.FieldByName("VERSION").AsInteger(), revision = m.FieldByName("REVISION").AsInteger();
      std::string what = "revision " + Shown(path + name) + " " + std::to_string(version) + "." + std::to_string(revision);
      auto queue = byNumber.find({ModuleId(path, name), version, revision});
      if (queue == byNumber.end() || queue->second.empty()) {
        Lost(what + " is missing");
        continue;
      }
      int32_t id = queue->second.front();
      queue->second.pop_front();
      if (int32_t label = m.FieldByName("FLAG").AsInteger()) sourceLabels_.push_back({id, label, what});
      // The user: the lookup finds the locker's login, or nothing for an unknown one.
      std::string login = m.FieldByName("LOCKEDBY").AsString();
      int32_t expectedUser = 0;
      if (auto exact = userExact_.find(login); exact != userExact_.end())
        expectedUser = exact->second;
      else if (auto folded = userFolded_.find(Fold(login)); folded != userFolded_.end())
        expectedUser = folded->second;
      if (userOf[id] != expectedUser && expectedUser != 0)
        Lost(what + ": user " + std::to_string(userOf[id]) + " instead of " + std::to_string(expectedUser));
      // The file, then the form file when there is one.
      std::vector<std::string> files = {m.FieldByName("BINARY").AsBytes()};
      if (m.FieldByName("ASFSIZE").AsInteger() > 0) {
        files.push_back(m.FieldByName("ASBINARY").AsBytes());
      } else if (size_t bytes = m.FieldByName("ASBINARY").AsBytes().size(); bytes > 0) {
        Intended(what + ": its form file (" + std::to_string(bytes) + " bytes) is not stored: its size (ASFSIZE) is " +
                 std::to_string(m.FieldByName("ASFSIZE").AsInteger()));
      }
      const auto& places = blobsOf[id];
      for (size_t i = 0; i < files.size(); ++i) {
        ++report_.checked["stored files"];
        const char* which = i == 0 ? "its stored file" : "its form file";
        if (i >= places.size()) {
          Lost(what + ": " + which + " is missing");
          continue;
        }
        blobs.GotoBookmark(places[i]);
        if (blobs.FieldByName("FILEDATA").AsBytes() != files[i]) Lost(what + ": " + which + " differs from the source");
      }
    }
  }

  // ---- labels and their assignments
  // An assignment names the label the run made for the key file's number (any label of
  // that name: earlier runs may have made one too); a number the run made no label for
  // (not in the key file's list) is not assigned.
  void Labels() {
    TOvrinTable labels, assignments;
    OpenTarget(labels, "labels");
    OpenTarget(assignments, "rvlabels");
    std::map<std::string, std::set<int32_t>> labelIds;
    for (labels.First(); !labels.Eof(); labels.Next())
      labelIds[labels.FieldByName("LABEL").AsString()].insert(labels.FieldByName("LABELID").AsInteger());
    std::map<int32_t, std::string> keyNames;  // the key file's number -> the label's name as stored
    TProfileFile keys(source_ + "hollardm.key");
    for (int n = 1; n <= 1000; ++n) {
      std::string name = keys.ReadString("Keys", std::to_string(n), "_empty_");
      if (name == "_empty_") break;
      ++report_.checked["labels"];
      keyNames[n] = Stored(labels, "LABEL", name);
      if (!labelIds.count(keyNames[n])) Lost("label " + std::to_string(n) + " '" + Shown(name) + "' is missing");
    }
    std::map<int32_t, std::set<int32_t>> assigned;  // revision -> its labels' ids
    for (assignments.First(); !assignments.Eof(); assignments.Next())
      assigned[assignments.FieldByName("REVISIONID").AsInteger()].insert(assignments.FieldByName("LABELID").AsInteger());
    for (const auto& [revisionId, label, what] : sourceLabels_) {
      ++report_.checked["label assignments"];
      const std::set<int32_t>& has = assigned[revisionId];
      if (auto named = keyNames.find(label); named != keyNames.end()) {
        const std::set<int32_t>& wanted = labelIds[named->second];
        if (std::none_of(wanted.begin(), wanted.end(), [&](int32_t id) { return has.count(id) > 0; }))
          Lost(what + ": label " + std::to_string(label) + " '" + Shown(named->second) + "' is not assigned");
      } else {
        Intended(what + ": label number " + std::to_string(label) + " is not in the key file's list: not assigned");
      }
    }
  }

  // ---- ToDo lists, module lists, cross-references
  struct TSideLine {
    std::string text;
    int64_t number;  // the line it was first read from
  };
  std::vector<TSideLine> SideLines(const std::string& project, const char* extension, std::string* file) {
    std::vector<TSideLine> lines;
    if (project.find_first_of("/\\") != std::string::npos || project.find("..") != std::string::npos) return lines;
    std::vector<std::string> others;
    std::string found = FindSideFile(source_, project, extension, options_.codePage, &others);
    if (found.empty()) return lines;
    *file = found;
    for (const std::string& other : others)
      Intended(other + " is left: its name differs from " + found + " only in letter case");
    CheckSideFile(found, kMaxSideFileBytes);
    TWorkingList list(comparer_);
    std::map<std::string, int64_t> firstLine;
    int64_t number = 0, merged = 0;
    std::string firstMerged;
    ForEachTextLine(found, [&](const std::string& line) {
      firstLine.emplace(line, ++number);
      const int before = list.Count();
      list.Add(line);
      if (list.Count() == before && !line.empty() && ++merged == 1)
        firstMerged = "line " + std::to_string(number) + ": " + Shown(line);
    });
    if (merged > 0)
      Intended(found + ": " + std::to_string(merged) + (merged == 1 ? " line" : " lines") +
               " taken once with an earlier line (the same, or differing only in letter case); the first, " + firstMerged);
    for (int i = 0; i < list.Count(); ++i) lines.push_back({list[i], firstLine[list[i]]});
    return lines;
  }
  // A module list's or cross-reference file's blank line, which the migration passes over.
  bool Blank(const TSideLine& line, const std::string& file) {
    if (!BlankLine(line.text)) return false;
    Intended(file + ", line " + std::to_string(line.number) + ": a blank line, passed over");
    return true;
  }
  void PassedOver(const std::string& file, int64_t number, const std::string& line) {
    report_.passedOver.push_back(file + ", line " + std::to_string(number) + ": " + Shown(line));
  }

  void SideFiles() {
    TOvrinTable todo, references, modules;
    OpenTarget(todo, "todo");
    OpenTarget(references, "pjref");
    OpenTarget(modules, "modules");
    std::map<int32_t, std::multiset<std::string>> todoOf;
    for (todo.First(); !todo.Eof(); todo.Next())
      todoOf[todo.FieldByName("PROJECTID").AsInteger()].insert(todo.FieldByName("DESCRIPTION").AsString());
    std::map<int32_t, int64_t> referencesOf;
    for (references.First(); !references.Eof(); references.Next()) ++referencesOf[references.FieldByName("PROJECTID").AsInteger()];
    for (const auto& [project, id] : projectIds_) {
      std::string file;
      for (const TSideLine& line : SideLines(project, ".tdo", &file)) {
        // Every line is counted, whether its date reads or not.
        ++report_.checked["ToDo lines"];
        TToDoLine parts = SplitToDoLine(line.text);
        ovrin::TDateTime created = 0;
        if (!ovrin::TryTextToDateTime(parts.created, settings_, &created)) {
          PassedOver(file, line.number, line.text);
          continue;
        }
        ++report_.checked["ToDo items"];
        std::string description = ReadBack(todo, "DESCRIPTION", parts.description);
        auto& items = todoOf[id];
        auto it = items.find(description);
        if (it == items.end())
          Lost("ToDo item '" + Shown(parts.description) + "' of project " + Shown(project) + " (" + file + ", line " +
               std::to_string(line.number) + ") is missing");
        else
          items.erase(it);
      }
      for (const TSideLine& line : SideLines(project, ".prl", &file)) {
        if (Blank(line, file)) continue;
        ++report_.checked["module list entries"];
        auto [folder, name] = SplitFileName(line.text);
        std::string path = comparer_.Lower(folder), lower = comparer_.Lower(name);
        // The migration cut a longer text to its field: counted, not lost.
        if (Stored(modules, "PATH", path) != path || Stored(modules, "NAME", lower) != lower)
          ++report_.checked["module list entries cut to their field"];
        std::string storedPath = ReadBack(modules, "PATH", path), storedName = ReadBack(modules, "NAME", lower);
        if (ModuleId(storedPath, storedName) == 0)
          Lost("module list entry " + Shown(line.text) + " of project " + Shown(project) + " (" + file + ", line " +
               std::to_string(line.number) + ") has no module");
      }
      std::vector<TSideLine> refs = SideLines(project, ".pcr", &file);
      refs.erase(std::remove_if(refs.begin(), refs.end(), [&](const TSideLine& l) { return Blank(l, file); }), refs.end());
      report_.checked["cross-references"] += static_cast<int64_t>(refs.size());
      if (static_cast<int64_t>(refs.size()) > referencesOf[id])
        Lost("project " + Shown(project) + ": " + std::to_string(refs.size()) + " cross-references, " +
             std::to_string(referencesOf[id]) + " in the target");
    }
  }

  // ---- the history log: every line with a valid date, by its time stamp; the others
  // are passed over by the migration's rules and listed apart
  void Log() {
    std::string found = ovrin::Platform().ResolveExisting(source_ + "hollardm.log");
    if (found.empty()) return;
    CheckSideFile(found);
    TOvrinTable log;
    OpenTarget(log, "vcslog");
    std::multiset<double> stamps;
    for (log.First(); !log.Eof(); log.Next()) stamps.insert(log.FieldByName("TSTAMP").AsDateTime());
    int64_t number = 0, backups = 0;
    std::string firstBackup;
    ForEachTextLine(found, [&](const std::string& line) {
      ++number;
      if (line.empty()) return;
      if (BackupEvent(line)) {
        if (++backups == 1) firstBackup = "line " + std::to_string(number) + ": " + Shown(line);
        return;
      }
      ++report_.checked["log lines"];
      ovrin::TDateTime stamp = 0;
      if (!ovrin::TryTextToDateTime(SplitLogLine(line).dateText, settings_, &stamp) || stamp == 0) {
        PassedOver(found, number, line);
        return;
      }
      ++report_.checked["dated log lines"];
      // The stored stamp is whole milliseconds.
      auto it = stamps.lower_bound(stamp - 1e-8);
      if (it == stamps.end() || *it > stamp + 1e-8) Lost("log line " + std::to_string(number) + " is missing: " + Shown(line));
      else stamps.erase(it);
    });
    if (backups > 0)
      Intended(found + ": " + std::to_string(backups) + (backups == 1 ? " line" : " lines") +
               " of backup events (holding \" - Backup (\") not converted; the first, " + firstBackup);
  }

  std::string source_, target_;
  const TVerifyOptions& options_;
  TTextComparer comparer_;
  ovrin::TFormatSettings settings_;
  TVerifyReport report_;
  std::map<std::string, int32_t> userExact_, userFolded_, projectIds_, moduleExact_, moduleFolded_;
  std::vector<std::tuple<int32_t, int32_t, std::string>> sourceLabels_;
};

}  // namespace

TVerifyReport VerifyMigration(const std::string& sourceDir, const std::string& targetDir, const TVerifyOptions& options) {
  return TVerifier(sourceDir, targetDir, options).Run();
}

}  // namespace hollard
