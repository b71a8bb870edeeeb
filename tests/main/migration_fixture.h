// A scripted user for the migration core and small hand-made archives: an old-layout
// folder with just the revision and project records a test names, and an empty
// new-layout archive beside it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/conversions.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "main/migration.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

namespace hollard::test {

// Records everything the run shows and answers questions from a script.
class TScriptedUser : public TMigrationUser {
 public:
  void AddLogLine(const std::string& text, bool scroll) override {
    log.push_back(text);
    scrolls += scroll;
  }
  void SetStepText(const std::string& text) override { stepTexts.push_back(text); }
  void SetGaugeMax(int maximum) override {
    gaugeMax = maximum;
    gauges.push_back({maximum, 0});
  }
  void SetGaugeProgress(int progress) override {
    EXPECT_LE(progress, gaugeMax);
    if (!gauges.empty()) gauges.back().second = progress;
  }
  void ProcessEvents() override { ++events; }
  void SetProjects(const std::vector<std::string>& list) override { projects = list; }
  void BeginQuestion(const std::string& question) override {
    questionText = question;
    questionsBegun.push_back(question);
  }
  std::optional<std::vector<int>> Ask(const std::string& module) override {
    asked.push_back(module);
    auto& script = questionText == "Module is hidden in:" ? hiddenAnswers : answers;
    auto it = script.find(module);
    if (it == script.end()) return std::nullopt;  // Skip
    std::vector<int> picked;
    for (const std::string& name : it->second)
      for (size_t i = 0; i < projects.size(); ++i)
        if (projects[i] == name) {
          picked.push_back(static_cast<int>(i));
          break;
        }
    return picked;
  }
  void EndQuestion() override {
    ++questionsEnded;
    projects.clear();
    questionText.clear();
  }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void SetBusyCursor(bool busy) override { busyChanges.push_back(busy); }
  bool StopRequested() override { return stopAfterLogLines >= 0 && log.size() >= static_cast<size_t>(stopAfterLogLines); }
  bool AskRunAnyway(const std::string& text) override {
    runAnywayAsked.push_back(text);
    return runAnyway;
  }
  bool AskPassword(const std::string& table, bool wrongBefore, std::string* password) override {
    passwordAsks.push_back({table, wrongBefore});
    if (passwords.empty()) return false;
    std::optional<std::string> next = passwords.front();
    passwords.erase(passwords.begin());
    if (!next) return false;  // Cancel
    *password = *next;
    return true;
  }

  // The log lines after `heading`, up to and including the first "Success." (or the run's
  // last "Success. Process ready."); with
  // stopAtHeading, also up to and including the next heading ("Converting ...").
  std::vector<std::string> Section(const std::string& heading, bool stopAtHeading = true) const {
    std::vector<std::string> out;
    bool in = false;
    for (const std::string& line : log) {
      if (!in) {
        in = line == heading;
        continue;
      }
      out.push_back(line);
      if (line == "Success." || line == "Success. Process ready." || (stopAtHeading && line.rfind("Converting ", 0) == 0)) break;
    }
    return out;
  }
  bool Logged(const std::string& line) const {
    for (const std::string& l : log)
      if (l == line) return true;
    return false;
  }
  int Count(const std::string& line) const {
    int n = 0;
    for (const std::string& l : log) n += l == line;
    return n;
  }

  // Module key -> project names to select before OK; a key not named is skipped.
  std::map<std::string, std::vector<std::string>> answers, hiddenAnswers;
  std::vector<std::string> log, stepTexts, errors, asked, projects, questionsBegun;
  std::vector<std::pair<int, int>> gauges;  // (maximum, last progress) per gauge start
  std::vector<bool> busyChanges;
  std::string questionText;
  int gaugeMax = 0, events = 0, scrolls = 0, questionsEnded = 0;
  // The user stops the run once this many log lines are shown (never when negative).
  int stopAfterLogLines = -1;
  // The passwords the user types, one per prompt (nothing: Cancel), and the prompts:
  // the table asked about and whether the password before was wrong.
  std::vector<std::optional<std::string>> passwords;
  std::vector<std::pair<std::string, bool>> passwordAsks;
  // The answer to every "Run anyway?" and the texts asked with it.
  bool runAnyway = false;
  std::vector<std::string> runAnywayAsked;
};

struct TRevisionRow {
  std::string path, fname, project, lockedBy;
  bool share = false, hidden = false, readonly = false;
  int options = 0;
  int version = 1, revision = 1, nr = 1, verstate = 0;
  std::string lcomment{}, vcomment{}, binary{}, asbinary{};
  int fsize = 0, flag2 = 0, compsize = 0, asfsize = 0, options2 = 0, ascompsize = 0;
  int flag = 0;  // the label number, 0 for none
};

struct TProjectRow {
  std::string name, createBy, lastUser;
};

inline TParadoxValue Text(const std::string& s) {
  TParadoxValue v;
  v.isNull = s.empty();
  v.text = s;
  return v;
}
inline TParadoxValue Number(int64_t n) {
  TParadoxValue v;
  v.isNull = false;
  v.integer = n;
  return v;
}
inline TParadoxValue Stamp(double ms) {
  TParadoxValue v;
  v.isNull = false;
  v.number = ms;
  return v;
}

// The revision table with the fields the steps read (others are left out).
inline void WriteRevisions(const std::string& folder, const std::vector<TRevisionRow>& rows) {
  std::vector<TParadoxColumn> columns = {
      {"PATH", pxAlpha, 255},      {"FNAME", pxAlpha, 64},       {"PROJECT", pxAlpha, 64},
      {"LOCKEDBY", pxAlpha, 32},   {"OPTIONS", pxLong, 4},       {"TSTAMP", pxTimestamp, 8},
      {"LOCKTSTAMP", pxTimestamp, 8}, {"READONLY", pxLogical, 1}, {"SHARE", pxLogical, 1},
      {"HIDDEN", pxLogical, 1},    {"LCOMMENT", pxAlpha, 255},   {"VCOMMENT", pxMemo, 50},
      {"VERSION", pxLong, 4},      {"REVISION", pxLong, 4},      {"NR", pxLong, 4},
      {"VERSTATE", pxShort, 2},    {"FSIZE", pxLong, 4},         {"FLAG2", pxLong, 4},
      {"COMPSIZE", pxLong, 4},     {"ASFSIZE", pxLong, 4},       {"OPTIONS2", pxLong, 4},
      {"ASCOMPSIZE", pxLong, 4},   {"FTIME", pxTimestamp, 8},    {"ASFTIME", pxTimestamp, 8},
      {"BINARY", pxBlob, 10},      {"ASBINARY", pxBlob, 10},     {"FLAG", pxLong, 4}};
  std::vector<std::vector<TParadoxValue>> values;
  int n = 0;
  for (const TRevisionRow& r : rows) {
    ++n;
    values.push_back({Text(r.path), Text(r.fname), Text(r.project), Text(r.lockedBy), Number(r.options),
                      Stamp(6.3e13 + n * 1000.0), Stamp(6.3e13 + n * 2000.0), Number(r.readonly), Number(r.share),
                      Number(r.hidden), Text(r.lcomment), Text(r.vcomment), Number(r.version), Number(r.revision),
                      Number(r.nr), Number(r.verstate), Number(r.fsize), Number(r.flag2), Number(r.compsize),
                      Number(r.asfsize), Number(r.options2), Number(r.ascompsize), Stamp(6.3e13 + n * 3000.0),
                      Stamp(6.3e13 + n * 4000.0), Text(r.binary), Text(r.asbinary), Number(r.flag)});
  }
  WriteParadoxTable(folder + "/hollardm.db", folder + "/hollardm.mb", columns, values);
}

inline void WriteProjects(const std::string& folder, const std::vector<TProjectRow>& rows) {
  std::vector<TParadoxColumn> columns = {{"PROJECT", pxAlpha, 64}, {"CREATEBY", pxAlpha, 32}, {"LASTUSER", pxAlpha, 32},
                                         {"CREATETIME", pxTimestamp, 8}, {"LASTACCESS", pxTimestamp, 8}};
  std::vector<std::vector<TParadoxValue>> values;
  for (const TProjectRow& r : rows)
    values.push_back({Text(r.name), Text(r.createBy), Text(r.lastUser), Stamp(6.31e13), Stamp(6.32e13)});
  WriteParadoxTable(folder + "/hollardp.db", "", columns, values);
}

// Every record of a target table as field -> text.
inline std::vector<std::map<std::string, std::string>> Records(const std::string& folder, const std::string& table) {
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName(table);
  t.Open();
  std::vector<std::map<std::string, std::string>> out;
  for (t.First(); !t.Eof(); t.Next()) {
    std::map<std::string, std::string> record;
    for (int i = 0; i < t.FieldCount(); ++i) record[t.Fields(i).FieldName()] = t.Fields(i).AsString();
    out.push_back(record);
  }
  return out;
}

inline std::vector<std::string> Column(const std::string& folder, const std::string& table, const std::string& field) {
  std::vector<std::string> out;
  for (auto& r : Records(folder, table)) out.push_back(r.at(field));
  return out;
}

inline void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A date-time field of every record as yyyy-mm-dd hh:nn:ss.
inline std::vector<std::string> StampColumn(const std::string& folder, const std::string& table,
                                            const std::string& field) {
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName(table);
  t.Open();
  std::vector<std::string> out;
  for (t.First(); !t.Eof(); t.Next())
    out.push_back(ovrin::FormatDateTime("yyyy-mm-dd hh:nn:ss", t.FieldByName(field).AsDateTime(),
                                        ovrin::FixedFormatSettings()));
  return out;
}

// The id of the first record whose key field holds the text, -1 when none does.
inline int32_t IdOf(const std::string& folder, const std::string& table, const std::string& keyField,
                    const std::string& key, const std::string& idField) {
  for (auto& r : Records(folder, table))
    if (r.at(keyField) == key) return std::stoi(r.at(idField));
  return -1;
}

using ovrin::test::FolderBytes;
using ovrin::test::FolderDigest;

// Makes one table of a new-layout archive anew, empty and enciphered with the password.
// Writes a generated old-layout archive of this size into `folder` (the generator's other
// options as they are by default); answers the options it was made with.
inline TSourceOptions WriteGeneratedArchive(const std::string& folder, int revisions, int modules, int projects,
                                            int64_t blobBytes) {
  TSourceOptions o;
  o.revisions = revisions;
  o.modules = modules;
  o.projects = projects;
  o.blobBytes = blobBytes;
  WriteSourceArchive(folder, PlanSourceArchive(o), o);
  return o;
}

inline void EncipherArchiveTable(const std::string& folder, const std::string& table, const std::string& password) {
  for (const TArchiveTable& t : NewLayoutTables())
    if (t.name == table) {
      ovrin::TTableSpec def = t.def;
      def.Password = password;
      ovrin::TCreateOptions options;
      options.Replace = true;
      ovrin::CreateTable(folder + "/" + table, def, options);
    }
}

// Adds the user "zed" to the archive's users table, then changes its key in the users'
// index behind the table's back: a table the consistency checker calls damaged.
inline void DamageUsersIndex(const std::string& folder) {
  {
    ovrin::TOvrinTable users;
    users.SetDatabaseName(folder);
    users.SetTableName("users");
    users.Open();
    users.Append();
    users.FieldByName("LOGIN").SetAsString("zed");
    users.Post();
  }
  std::string index = ovrin::test::FileBytes(folder + "/users.IDX");
  size_t at = index.find("ZED");
  if (at == std::string::npos) at = index.find("zed");
  ASSERT_NE(at, std::string::npos);
  index[at] = 'a';
  ovrin::test::WriteFileBytes(folder + "/users.IDX", index);
}

class MigrationFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    source = dir / "old.archive";
    target = dir / "new.archive";
    std::filesystem::create_directories(source);
    std::filesystem::create_directories(target);
    CreateNewLayoutArchive(target);
    // Fixed formats, whatever the machine's locale, with the generator's dates.
    settings = ovrin::FixedFormatSettings();
    ApplyDateFormat("dd.mm.yyyy", &settings);
  }
  void Run() {
    TMigration m(user, "windows-1252");
    m.SetSourceDir(source);
    m.SetTargetDir(target);
    m.SetFormatSettings(settings);
    m.SetDateFormat(dateChoice);
    m.SetForce(force);
    m.SetWalkLookups(walkLookups);
    m.SetMarkUnfinished(markUnfinished);
    // As the window runs it after its own preflight.
    if (settledDates) m.SetDateFinding(*settledDates);
    if (guardsChecked) m.SetGuardsChecked(true);
    m.Import();
    report = m.Report();
  }
  // An empty new-layout archive again and a user with the same answers and nothing
  // shown yet, for another run on the same source.
  void ResetTarget() {
    std::filesystem::remove_all(target);
    std::filesystem::create_directories(target);
    CreateNewLayoutArchive(target);
    TScriptedUser fresh;
    fresh.answers = user.answers;
    fresh.hiddenAnswers = user.hiddenAnswers;
    user = fresh;
    report = {};
  }
  ovrin::test::TempDir dir;
  std::string source, target;
  TScriptedUser user;
  TMigrationReport report;
  ovrin::TFormatSettings settings;
  bool walkLookups = false;  // the reference walks instead of the lookup images
  TDateFormatChoice dateChoice;  // found from the archive's texts unless a test says otherwise
  bool force = false;            // run although the preflight's source checks object
  bool markUnfinished = false;   // leave the mark of a run that has not finished, as the window's run
  std::optional<TDateFormatFinding> settledDates;  // the date format found before the run
  bool guardsChecked = false;                      // the preflight's guards were passed before the run
};

}  // namespace hollard::test
