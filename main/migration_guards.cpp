#include "main/migration_guards.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "engine/base/conversions.h"
#include "engine/base/file_handler.h"
#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/blob/blob_format.h"
#include "engine/data/checker.h"
#include "engine/data/repair.h"
#include "engine/format/table_format.h"
#include "engine/table/table.h"
#include "main/date_format.h"
#include "main/migration.h"
#include "main/source_table.h"
#include "main/text_file.h"

namespace hollard {

namespace fs = std::filesystem;

std::vector<std::string> ProjectsAlreadyInTarget(const std::string& sourceDir, const std::string& targetDir,
                                                 const TTextComparer& comparer) {
  std::vector<std::string> existing;
  ovrin::TOvrinTable projects;
  projects.SetDatabaseName(targetDir);
  projects.SetTableName("projects");
  projects.SetReadOnly(true);
  projects.Open();
  for (projects.First(); !projects.Eof(); projects.Next()) existing.push_back(projects.FieldByName("NAME").AsString());
  projects.Close();

  std::vector<std::string> found;
  TSourceTable source;
  source.SetDatabaseName(sourceDir);
  source.SetTableName("hollardp");
  source.Open();
  for (source.First(); !source.Eof(); source.Next()) {
    std::string name = source.FieldByName("PROJECT").AsString();
    if (name == "_HLRD_std.dpr") continue;
    for (const std::string& e : existing)
      if (comparer.Equal(e, name)) {
        found.push_back(name);
        break;
      }
  }
  return found;
}

namespace {

// A folder as a prefix of the paths in it: with its delimiter, except an empty one (the
// current folder).
std::string WithSlash(const std::string& folder) {
  return folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

// A folder as a command line takes it and as the user gave it: without the delimiter
// the run adds.
std::string WithoutSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// What one record of a target table takes: the record and its index entries (their keys
// are parts of the record: 37 to 113 bytes a record in the archives' indexes, taken as
// twice the record, at most 160, and 48 bytes), and the block of its memo and blob
// fields.
struct TRecordRoom {
  int64_t fixed = 4096;     // record and index entries
  int64_t block = 512;      // the table's blob block
  int64_t memoFields = 1;   // memo and blob fields
  // The blocks of a memo of `length` bytes (an empty one takes a block too).
  int64_t Memo(int64_t length) const {
    const int64_t payload = block - ovrin::blobfmt::kBlockHeaderSize;
    return std::max<int64_t>(1, (length + payload - 1) / payload) * block;
  }
};

TRecordRoom RecordRoom(const std::string& folder, const char* table) {
  TRecordRoom room;
  try {
    ovrin::TFileHandler data;
    const std::string path = ovrin::Platform().ResolveExisting(folder + table + ".DAT");
    data.SetFileName(path.empty() ? folder + table + ".DAT" : path);
    data.SetReadOnly(true);
    data.Open();
    const ovrin::TTableImage image = ovrin::ReadTableImage(data, [](const std::string&) { return true; }, false);
    room.fixed = image.header.RecordSize() + std::min<int64_t>(2 * image.header.RecordSize(), 160) + 48;
    room.block = std::max<int64_t>(ovrin::blobfmt::kBlockHeaderSize + 1, image.header.BlobBlockSize());
    room.memoFields = std::max<int16_t>(0, image.header.BlobFieldCount());
  } catch (const ovrin::Exception&) {
    // A table the preflight names anyway: a generous guess.
  }
  return room;
}

}  // namespace

int64_t RecordsRoom(const std::string& sourceFolder, const std::string& targetDir, const TSourceItems& items) {
  const std::string folder = WithSlash(targetDir);
  const std::string sourceDir = WithSlash(sourceFolder);
  const TRecordRoom revision = RecordRoom(folder, "revision"), modules = RecordRoom(folder, "modules");
  const TRecordRoom pjmodule = RecordRoom(folder, "pjmodule"), blobs = RecordRoom(folder, "blobs");
  // A revision's memos as long as the source's (the stored files' blocks are counted
  // apart); a module with its description and its links to projects.
  int64_t room = items.revisions * revision.fixed + items.storedFiles * blobs.fixed +
                 items.modules * (modules.fixed + modules.memoFields * modules.block + 2 * pjmodule.fixed);
  for (int64_t length : items.memoLengths) room += revision.Memo(length);
  // The projects, each a record with its memos.
  const TRecordRoom projects = RecordRoom(folder, "projects");
  room += static_cast<int64_t>(items.projects.size()) * (projects.fixed + projects.memoFields * projects.block);
  // Every line the run reads becomes a record, its text a memo as long as the line: the
  // history log's, the label key file's (an assignment), and the side files of the
  // source's projects (a module list's line adds a module only when it is missing: its
  // record without a description). Lines end at CR, LF or CR LF, as the run reads them.
  auto lines = [&](const std::string& path, const char* table, bool memo) {
    if (path.empty()) return;
    const TRecordRoom record = RecordRoom(folder, table);
    try {
      ForEachTextLine(path, [&](const std::string& line) {
        room += record.fixed + (memo && record.memoFields ? record.Memo(static_cast<int64_t>(line.size())) : 0);
      });
    } catch (const std::runtime_error&) {
      // A file that does not read is the preflight's to name.
    }
  };
  lines(ovrin::Platform().ResolveExisting(sourceDir + "hollardm.log"), "vcslog", true);
  lines(ovrin::Platform().ResolveExisting(sourceDir + "hollardm.key"), "rvlabels", false);
  // The folder's names in ASCII lower case, so that each project's side files are found
  // under any letter case with one listing.
  std::map<std::string, std::string> byName;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sourceDir.empty() ? "." : sourceDir, ec)) {
    std::error_code e;
    if (entry.is_regular_file(e)) byName.emplace(ovrin::AsciiLower(entry.path().filename().string()), entry.path().string());
  }
  const struct {
    const char* extension;
    const char* table;
    bool memo;
  } kSideFiles[] = {{".tdo", "todo", true}, {".prl", "modules", false}, {".pcr", "pjref", false}};
  for (const std::string& project : items.projects)
    for (const auto& kind : kSideFiles) {
      const std::string raw = ovrin::AsciiLower(ChangeFileExt(project, kind.extension));
      const std::string decoded =
          ovrin::AsciiLower(ChangeFileExt(ovrin::DecodeToUtf8(project, items.codePage.c_str()), kind.extension));
      auto found = byName.find(decoded);
      if (found == byName.end()) found = byName.find(raw);
      if (found != byName.end()) {
        lines(found->second, kind.table, kind.memo);
        byName.erase(found);  // a file that two projects' names find is read once
      }
    }
  // The users, and the first pages of every index.
  return room + (int64_t(1) << 20);
}

TBlobSpace BlobSpaceNeeded(const std::string& sourceDir, const std::string& targetDir, const std::string& codePage) {
  std::string folder = WithSlash(targetDir);
  ovrin::TFileHandler data;
  std::string dataPath = ovrin::Platform().ResolveExisting(folder + "blobs.DAT");
  data.SetFileName(dataPath.empty() ? folder + "blobs.DAT" : dataPath);
  data.SetReadOnly(true);
  data.Open();
  ovrin::TTableImage image = ovrin::ReadTableImage(data, [](const std::string&) { return true; });
  int64_t blockSize = image.header.BlobBlockSize();
  if (blockSize <= 0) blockSize = 512;
  data.Close();
  std::string blobPath = ovrin::Platform().ResolveExisting(folder + "blobs.BLB");
  int64_t used = blobPath.empty() ? ovrin::blobfmt::kHeaderSize : static_cast<int64_t>(fs::file_size(blobPath));

  TBlobSpace space;
  space.available = std::max<int64_t>(0, ovrin::blobfmt::kMaxEndOfFile - used);
  space.diskFree = FreeBytes(folder);
  int64_t payload = blockSize - ovrin::blobfmt::kBlockHeaderSize;
  TSourceTable source;
  source.SetDatabaseName(sourceDir);
  source.SetTableName("hollardm");
  source.Open();
  TParadoxFile& file = source.File();
  std::vector<int> fields;
  for (const char* name : {"BINARY", "ASBINARY"}) {
    int f = file.FieldIndex(name);
    if (f >= 0 && file.Fields()[static_cast<size_t>(f)].IsBlob()) fields.push_back(f);
  }
  // The other memo fields (the revisions' comments), and the modules by path and name.
  std::vector<int> memos;
  for (int f = 0; f < static_cast<int>(file.Fields().size()); ++f)
    if (file.Fields()[static_cast<size_t>(f)].IsBlob() && std::find(fields.begin(), fields.end(), f) == fields.end())
      memos.push_back(f);
  const int pathField = file.FieldIndex("PATH"), nameField = file.FieldIndex("FNAME");
  std::set<std::string> modules;
  TSourceItems items;
  items.revisions = file.RecordCount();
  for (int32_t r = 0; r < file.RecordCount(); ++r) {
    for (int f : fields) {
      int64_t length = file.BlobLength(r, f);
      if (length == 0) continue;
      ++space.blobs;
      space.needed += (length + payload - 1) / payload * blockSize;
    }
    for (int f : memos) items.memoLengths.push_back(file.BlobLength(r, f));
    if (pathField >= 0 && nameField >= 0) modules.insert(file.Text(r, pathField) + '\0' + file.Text(r, nameField));
  }
  items.storedFiles = space.blobs;
  items.codePage = codePage;
  try {
    TSourceTable projectTable;
    projectTable.SetDatabaseName(sourceDir);
    projectTable.SetTableName("hollardp");
    projectTable.Open();
    TParadoxFile& projectFile = projectTable.File();
    const int name = projectFile.FieldIndex("PROJECT");
    for (int32_t r = 0; name >= 0 && r < projectFile.RecordCount(); ++r) {
      std::string project = projectFile.Text(r, name);
      if (project != "_HLRD_std.dpr") items.projects.push_back(std::move(project));
    }
  } catch (const ovrin::Exception&) {
    // A project table that does not read is the preflight's to name.
  }
  items.modules = pathField >= 0 && nameField >= 0 ? static_cast<int64_t>(modules.size()) : items.revisions;
  space.records = RecordsRoom(sourceDir, folder, items);
  return space;
}

namespace {

// What is wrong with an opened source table whose header reads: records its data block
// chain does not reach (a chain cut short, blocks an older or overwritten header does not
// count), or records that hold nothing but zero bytes, as a copy cut short leaves them
// (the steps would make blank revisions or projects of them). Empty when nothing is.
std::string TableDamage(const TParadoxFile& file) {
  const std::string table = "The source table " + file.Path() + " is damaged: ";
  if (static_cast<uint32_t>(file.RecordCount()) != file.HeaderRecordCount())
    return table + "its data block chain holds " + std::to_string(file.RecordCount()) + " records, its header counts " +
           std::to_string(file.HeaderRecordCount()) + ".";
  if (file.BlocksInFile() > file.HeaderBlockCount())
    return table + "its file holds " + std::to_string(file.BlocksInFile()) + " data blocks, its header counts " +
           std::to_string(file.HeaderBlockCount()) + " (the records in the others are not reached).";
  int64_t zero = 0;
  std::string first;
  for (int32_t r = 0; r < file.RecordCount(); ++r) {
    const uint8_t* record = file.Record(r);
    if (std::any_of(record, record + file.RecordSize(), [](uint8_t b) { return b != 0; })) continue;
    if (++zero <= 3) first += (first.empty() ? "" : ", ") + std::to_string(r + 1);
  }
  if (zero > 0)
    return table + std::to_string(zero) + " of its " + std::to_string(file.RecordCount()) +
           (zero == 1 ? " records holds nothing but zero bytes (record " : " records hold nothing but zero bytes (records ") +
           first + (zero > 3 ? ", ..." : "") +
           "), as a copy cut short leaves them.";
  return {};
}

// The fields the steps read of each old table, with how they read them.
enum TReadAs { kText, kInteger, kDateTime, kLogical, kBlob };
const std::vector<std::pair<const char*, TReadAs>>& FieldsTheStepsRead(const std::string& table) {
  static const std::map<std::string, std::vector<std::pair<const char*, TReadAs>>> kRead = {
      {"hollardm",
       {{"PATH", kText},        {"FNAME", kText},      {"PROJECT", kText},      {"LOCKEDBY", kText},
        {"LCOMMENT", kText},    {"VCOMMENT", kText},   {"VERSION", kInteger},   {"REVISION", kInteger},
        {"NR", kInteger},       {"VERSTATE", kInteger}, {"OPTIONS", kInteger},  {"OPTIONS2", kInteger},
        {"FSIZE", kInteger},    {"FLAG2", kInteger},   {"COMPSIZE", kInteger},  {"ASFSIZE", kInteger},
        {"ASCOMPSIZE", kInteger}, {"FLAG", kInteger},  {"TSTAMP", kDateTime},   {"LOCKTSTAMP", kDateTime},
        {"FTIME", kDateTime},   {"ASFTIME", kDateTime}, {"READONLY", kLogical}, {"SHARE", kLogical},
        {"HIDDEN", kLogical},   {"BINARY", kBlob},     {"ASBINARY", kBlob}}},
      {"hollardp",
       {{"PROJECT", kText}, {"CREATEBY", kText}, {"LASTUSER", kText}, {"CREATETIME", kDateTime},
        {"LASTACCESS", kDateTime}}}};
  return kRead.at(table);
}

// The fields the steps read of the table that it lacks: a step fails at the first of them,
// after the steps before it have written. Empty when it has them all.
std::string MissingFields(const TParadoxFile& file, const std::string& table) {
  std::string missing;
  int count = 0;
  for (const auto& [field, readAs] : FieldsTheStepsRead(table))
    if (file.FieldIndex(field) < 0) missing += (count++ ? ", " : "") + std::string(field);
  if (count == 0) return {};
  return "The source table " + file.Path() + " lacks " + (count == 1 ? "the field " : "the fields ") + missing +
         " that the run reads (the step that reads " + (count == 1 ? "it" : "the first") +
         " would fail after the steps before it have written).";
}

// The values of the number, date and logical fields the steps read that do not read as the
// steps read them (a field whose type changed in a damaged header, a number beyond 32
// bits): the step fails at the first of them after the steps before it have written.
// Empty when every one reads. (Texts read as any type does; blobs are checked with the
// blob file.)
std::string ValuesThatDoNotRead(const TParadoxFile& file, const std::string& table) {
  std::vector<std::pair<int, TReadAs>> fields;
  for (const auto& [name, kind] : FieldsTheStepsRead(table))
    if (int f = file.FieldIndex(name); f >= 0 && kind != kText && kind != kBlob) fields.push_back({f, kind});
  int64_t count = 0;
  std::string first;
  for (int32_t r = 0; r < file.RecordCount(); ++r)
    for (const auto& [f, kind] : fields) {
      std::string why;
      try {
        if (kind == kInteger) {
          const int64_t v = file.Integer(r, f);
          if (v < INT32_MIN || v > INT32_MAX) why = std::to_string(v) + " is beyond a 32-bit integer";
        } else if (kind == kDateTime) {
          file.DateTime(r, f);
        } else {
          file.Logical(r, f);
        }
      } catch (const std::exception& e) {
        why = e.what();
      }
      if (why.empty() || ++count > 3) continue;
      first += (first.empty() ? "" : "; ") + std::string("record ") + std::to_string(r + 1) + ", field " +
               file.Fields()[static_cast<size_t>(f)].name + ": " + why;
    }
  if (count == 0) return {};
  return "The source table " + file.Path() + " holds " + std::to_string(count) +
         (count == 1 ? " value" : " values") + " that the steps cannot read (" + first + (count > 3 ? "; ..." : "") +
         "): the step that reads the first would fail after the steps before it have written.";
}

}  // namespace

std::vector<std::string> SourceTablesCutShort(const std::string& sourceDir) {
  std::vector<std::string> found;
  for (const char* name : {"hollardm", "hollardp"}) {
    TSourceTable table;
    table.SetDatabaseName(sourceDir);
    table.SetTableName(name);
    try {
      table.Open();
    } catch (const ovrin::Exception&) {
      continue;
    }
    std::string damage = TableDamage(table.File());
    if (!damage.empty()) found.push_back(damage);
  }
  return found;
}

namespace {

// The side files with these extensions of the projects whose names stay inside the
// folder, each once.
std::vector<std::string> ProjectSideFiles(const std::string& folder, const std::vector<std::string>& projects,
                                          std::initializer_list<const char*> extensions, const std::string& codePage) {
  std::vector<std::string> paths;
  std::set<std::string> seen;
  for (const std::string& project : projects) {
    if (project.find_first_of("/\\") != std::string::npos || project.find("..") != std::string::npos) continue;
    for (const char* extension : extensions) {
      std::string path = FindSideFile(folder, project, extension, codePage);
      if (!path.empty() && seen.insert(path).second) paths.push_back(path);
    }
  }
  return paths;
}

}  // namespace

std::vector<std::string> SourceProblems(const std::string& sourceDir, const std::string& codePage) {
  std::vector<std::string> found;
  std::string folder = WithSlash(sourceDir);
  std::vector<std::string> projects;
  for (const char* name : {"hollardm", "hollardp"}) {
    TSourceTable table;
    table.SetDatabaseName(folder);
    table.SetTableName(name);
    try {
      table.Open();
      const TParadoxFile& file = table.File();
      if (std::string damage = TableDamage(file); !damage.empty()) {
        found.push_back(damage);
        continue;
      }
      if (std::string missing = MissingFields(file, name); !missing.empty()) found.push_back(missing);
      else if (std::string unread = ValuesThatDoNotRead(file, name); !unread.empty()) found.push_back(unread);
      file.CheckBlobFile();
      if (std::string(name) == "hollardp")
        for (table.First(); !table.Eof(); table.Next()) projects.push_back(table.FieldByName("PROJECT").AsString());
    } catch (const ovrin::Exception& e) {
      found.push_back(e.Message());
    }
  }
  // Files read whole or line by line: each a regular file holding no run of zero bytes in
  // place of its text, those read whole bounded.
  auto check = [&](const std::string& path, int64_t maxBytes) {
    try {
      CheckSideFile(path, maxBytes);
      int64_t zeros = 0;
      int64_t at = ZeroFilledAt(path, &zeros);
      if (at >= 0)
        found.push_back("The side file " + path + " is damaged: it holds " + std::to_string(zeros) +
                        (zeros == 1 ? " zero byte" : " zero bytes") + ", a run of them from offset " +
                        std::to_string(at) + ", in place of text.");
    } catch (const std::exception& e) {
      found.push_back(e.what());
    }
  };
  for (const char* name : {"hollardm.key", "hollardm.log"}) {
    std::string path = ovrin::Platform().ResolveExisting(folder + name);
    if (!path.empty()) check(path, std::string(name) == "hollardm.key" ? kMaxSideFileBytes : 0);
  }
  for (const std::string& path : ProjectSideFiles(folder, projects, {".tdo", ".prl", ".pcr"}, codePage))
    check(path, kMaxSideFileBytes);
  return found;
}

std::string BackupAdvice(const std::string& table) {
  return "put the table's files (" + table + ".DAT, " + table + ".IDX and any " + table +
         ".BLB) back from a backup. A backup that a migration run made with --backup holds the archive as it was "
         "before that run: put all of its files back and run the migration again.";
}

std::string HeaderLostAdvice(const std::string& table) {
  return "The header of its data file, which holds the table's fields and record count, does not read, and "
         "'hollard-archive repair' cannot rebuild it: " + BackupAdvice(table);
}

namespace {

// A text of the archive as a message shows it: decoded, and cut after about 60
// characters (at a character's start) with "..." when longer.
std::string ShownText(const std::string& text, const std::string& codePage) {
  constexpr size_t kShownBytes = 60;
  std::string shown = ovrin::DecodeToUtf8(text.substr(0, kShownBytes * 2), codePage.c_str());
  if (shown.size() <= kShownBytes && text.size() > kShownBytes * 2) return shown + "...";
  return ovrin::CutUtf8(shown, kShownBytes);
}

}  // namespace

std::vector<std::string> ToDoProblems(const std::string& sourceDir, const ovrin::TFormatSettings& settings,
                                      const std::string& codePage) {
  std::string folder = WithSlash(sourceDir);
  std::vector<std::string> projects;
  try {
    TSourceTable table;
    table.SetDatabaseName(folder);
    table.SetTableName("hollardp");
    table.Open();
    for (table.First(); !table.Eof(); table.Next()) projects.push_back(table.FieldByName("PROJECT").AsString());
  } catch (const ovrin::Exception&) {
    return {};  // the source's checks and the steps report it
  }
  constexpr int kShown = 3;
  std::vector<std::string> found;
  for (const std::string& path : ProjectSideFiles(folder, projects, {".tdo"}, codePage)) {
    std::vector<std::string> shown, cutShown;
    int64_t count = 0, number = 0, cut = 0;
    std::set<std::string> seen;
    try {
      ForEachTextLine(path, [&](const std::string& line) {
        ++number;
        // The step converts each distinct line once.
        if (!seen.insert(line).second) return;
        const TToDoLine todo = SplitToDoLine(line);
        // A description that no "|" ends is no field of the line: the step keeps the line
        // without it, and says nothing.
        if (std::count(line.begin(), line.end(), '|') == 2) {
          const std::string text = line.substr(line.rfind('|') + 1);
          if (text.find_first_not_of(" \t") != std::string::npos && ++cut <= kShown)
            cutShown.push_back("line " + std::to_string(number) + ": '" + ShownText(text, codePage) + "'");
        }
        std::string what;
        ovrin::TDateTime created = 0;
        char ds = 0, ts = 0;
        // A creation date that starts like a date and does not read is the date format's
        // to report; one that does not even start like one reads in no format.
        if (todo.created.empty() && std::count(line.begin(), line.end(), '|') == 1 &&
            line.find_first_not_of(" \t", line.find('|') + 1) != std::string::npos) {
          // The date is a field only when a '|' ends it.
          what = "the creation date '" + ShownText(line.substr(line.find('|') + 1), codePage) +
                 "' stands without the '|' that ends it";
        } else if (!StartsLikeDate(todo.created, &ds, &ts) &&
                   !ovrin::TryTextToDateTime(todo.created, settings, &created)) {
          what = "the creation date '" + ShownText(todo.created, codePage) + "' is no date";
        } else {
          try {
            ovrin::TextToInteger(todo.priority);
          } catch (const ovrin::EConvertError&) {
            // Digits alone (blanks around them, as the reading allows) that do not convert
            // stand for a number too large for the field when they are more than its ten
            // (leading zeros apart); more than nineteen in all the reading refuses anyway.
            std::string p = todo.priority;
            p.erase(0, p.find_first_not_of(' '));
            p.erase(p.find_last_not_of(' ') + 1);
            const size_t start = !p.empty() && (p[0] == '+' || p[0] == '-') ? 1 : 0;
            const size_t significant = p.find_first_not_of('0', start);
            const bool number = p.size() > start && p.find_first_not_of("0123456789", start) == std::string::npos &&
                                significant != std::string::npos && p.size() - significant >= 10;
            what = "the priority '" + ShownText(todo.priority, codePage) + "' is " +
                   (number ? "out of range (from -2147483648 to 2147483647)" : "no whole number");
          }
        }
        if (what.empty()) return;
        if (++count <= kShown) shown.push_back("line " + std::to_string(number) + ": " + what);
      });
    } catch (const std::exception&) {
      continue;  // the source's checks report a file that cannot be read
    }
    if (cut > 0) {
      std::string m = "The ToDo file " + path + " holds " + std::to_string(cut) +
                      (cut == 1 ? " line" : " lines") + " whose description the ToDo step would leave out (";
      for (size_t i = 0; i < cutShown.size(); ++i) m += (i ? "; " : "") + cutShown[i];
      if (cut > kShown) m += "; and " + std::to_string(cut - kShown) + " more";
      m += "): the text after the creation date is a description only when a '|' ends it.";
      found.push_back(m);
    }
    if (count == 0) continue;
    std::string m = "The ToDo file " + path + " holds " + std::to_string(count) +
                    (count == 1 ? " line" : " lines") + " the ToDo step cannot convert (";
    for (size_t i = 0; i < shown.size(); ++i) m += (i ? "; " : "") + shown[i];
    if (count > kShown) m += "; and " + std::to_string(count - kShown) + " more";
    m += "). The step converts a file's lines in sorted order and would stop at the first of them in that "
         "order, leaving out the lines after it and the ToDo lists of the projects after this one.";
    found.push_back(m);
  }
  return found;
}

const std::vector<std::string>& TargetTableNames() {
  static const std::vector<std::string> names{"users",  "projects", "modules", "pjmodule", "revision", "blobs",
                                              "labels", "rvlabels", "todo",    "pjref",    "vcslog"};
  return names;
}

std::vector<TTargetProblem> TargetProblems(const std::string& targetDir, bool checkConsistency,
                                           const std::function<void(const std::string&)>& opening) {
  const std::string folder = WithSlash(targetDir);
  const std::string shown = WithoutSlash(folder);
  std::vector<TTargetProblem> found;
  auto add = [&](const std::string& table, const std::string& message, bool damaged = false) {
    found.push_back({table, message, damaged});
  };
  for (const std::string& name : TargetTableNames()) {
    const std::string dataFile = ovrin::Platform().ResolveExisting(folder + name + ".DAT");
    if (dataFile.empty()) {
      add(name, "The target table " + name + " is missing: there is no " + folder + name + ".DAT.");
      continue;
    }
    // Each of the table's files must be a file: a folder, FIFO or device in a file's
    // place is no table the engine can open.
    std::string strange;
    for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
      std::string file = ovrin::Platform().ResolveExisting(folder + name + extension);
      std::error_code ec;
      if (!file.empty() && !fs::is_regular_file(file, ec)) strange = file;
    }
    if (!strange.empty()) {
      add(name, "The target table " + name + " cannot be opened: " + strange +
                    " is not a regular file (a folder, FIFO or device in its place). The target folder must hold the "
                    "archive's table files.");
      continue;
    }
    if (ovrin::Platform().ResolveExisting(folder + name + ".IDX").empty()) {
      add(name, "The target table " + name + " has no index file " + folder + name +
                    ".IDX. Run 'hollard-archive repair " + shown + " " + name + "' to build it again.");
      continue;
    }
    // Each of the table's files must take writes; the engine would open a read-only
    // data file for reading only and every post would fail. A file this user may not
    // read, or that the system will not let it write (a read-only mount), is named with
    // the system's reason: making it writable would not be the cure.
    std::string readOnly, refused;
    for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
      std::string file = ovrin::Platform().ResolveExisting(folder + name + extension);
      bool isReadOnly = false;
      if (file.empty() || ovrin::Platform().IsReadOnly(file, &isReadOnly) != 0) continue;
      struct stat st;
      const bool ownerMayWrite = ::stat(file.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
      if (::access(file.c_str(), R_OK) != 0)
        refused += (refused.empty() ? "" : ", ") + file + " cannot be read (" + std::strerror(errno) + ")";
      else if (isReadOnly && ownerMayWrite && ::access(file.c_str(), W_OK) != 0)
        refused += (refused.empty() ? "" : ", ") + file + " cannot be written (" + std::strerror(errno) + ")";
      else if (isReadOnly)
        readOnly += (readOnly.empty() ? "" : ", ") + file;
    }
    if (!refused.empty()) {
      add(name, "The target table " + name + " cannot be used: " + refused +
                    (readOnly.empty() ? std::string()
                                      : ", " + readOnly + (readOnly.find(',') == std::string::npos ? " is" : " are") +
                                            " read-only") +
                    ". The run reads and writes every file of the target's tables.");
      continue;
    }
    if (!readOnly.empty()) {
      add(name, "The target table " + name + " cannot be written: " + readOnly +
                    (readOnly.find(',') == std::string::npos ? " is" : " are") + " read-only. Make " +
                    (readOnly.find(',') == std::string::npos ? "it" : "them") + " writable and run again.");
      continue;
    }
    const std::string inUse = "The target table " + name + " (" + dataFile +
                              ") is in use by another program, which holds it open exclusively. Close that program "
                              "and run again.";
    const std::string repairHint = "\nRun 'hollard-archive check " + shown + "' for the details and 'hollard-archive "
                                   "repair " + shown + " " + name + "' to mend it.";
    ovrin::TOvrinTable table;
    table.SetDatabaseName(folder);
    table.SetTableName(name);
    table.SetReadOnly(false);
    try {
      if (opening) opening(name);
      table.Open();
      bool cannotWrite = table.ReadOnly();
      table.Close();
      if (cannotWrite) {
        add(name, "The target table " + name + " (" + dataFile + ") opens for reading only. Make its files writable "
                  "and run again.");
        continue;
      }
    } catch (const ovrin::EOvrinEngineError& e) {
      // No password for an enciphered table: the run asks for it when it needs the table.
      if (e.ErrorCode() == ovrin::errInvalidPassword || e.ErrorCode() == ovrin::errNoRights) continue;
      if (ovrin::TableInUse(folder + name, false)) {
        add(name, inUse);
      } else {
        std::string advice;
        if (!ovrin::DataHeaderReadable(folder + name))
          advice = "\n" + HeaderLostAdvice(name);
        else if (ovrin::IsDamageError(e.ErrorCode()))
          advice = repairHint;
        add(name, "The target table " + name + " (" + dataFile + ") does not open: " + e.Message() + advice);
      }
      continue;
    } catch (const ovrin::Exception& e) {
      add(name, "The target table " + name + " (" + dataFile + ") does not open: " + e.Message());
      continue;
    }
    if (!checkConsistency) continue;
    ovrin::TCheckReport report = ovrin::CheckTable(folder + name, 4);
    if (report.inUse) {
      add(name, inUse);
    } else if (!report.Ok()) {
      std::string message = "The target table " + name + " is damaged:";
      for (const std::string& p : report.problems) message += "\n  " + p;
      message += repairHint;
      add(name, message, true);
    }
  }
  return found;
}

namespace {

std::string Megabytes(int64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

}  // namespace

std::string DuplicatesMessage(const std::vector<std::string>& shownNames, const std::string& target) {
  std::string names;
  for (const std::string& n : shownNames) names += " " + n;
  return "The target already holds projects of this archive:" + names + ".\nIt looks as if this archive was migrated into " +
         target + " before; a second run would add every project, module and revision again.";
}

std::string UnfinishedMessage(const std::string& target, const std::string& mark) {
  return "An earlier run into " + target + " did not finish (" + mark +
         "): the target holds part of an archive, which a second run would add again. Put back the copy of the "
         "target made before that run, then run again.";
}

int64_t FreeBytes(const std::string& folder) {
  struct statvfs disk;
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &disk) != 0) return -1;
  // Root may write into the blocks a file system keeps back for it.
  const uint64_t blocks = ::geteuid() == 0 ? disk.f_bfree : disk.f_bavail;
  return static_cast<int64_t>(blocks * disk.f_frsize);
}

std::string DiskFullNote(const std::string& folder) {
  const int64_t free = FreeBytes(folder);
  if (free < 0 || free >= (1 << 20)) return {};
  return "The disk that holds " + WithoutSlash(folder) + " is full (" + std::to_string(free) + " bytes free).";
}

std::string SpaceMessage(const TBlobSpace& space, const std::string& target) {
  const std::string need = "The " + std::to_string(space.blobs) + " stored files need " + Megabytes(space.needed);
  if (!space.FitsFile())
    return need + " in the target's blob file, which can grow by only " + Megabytes(space.available) + "; " +
           Megabytes(space.needed - space.available) + " would not fit, and the revisions step would fail part way.";
  return need + ", the records, memos and indexes about " + Megabytes(space.records) +
         (space.copied ? " more, the copy of the target's tables " + Megabytes(space.copied) : " more") +
         ", and the disk that holds " + target + " has only " + Megabytes(space.diskFree) +
         " free; the run would fail part way when the disk is full.";
}

std::vector<std::string> TargetTableFiles(const std::string& targetDir) {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(targetDir)) {
    if (!entry.is_regular_file()) continue;
    std::string ext = ovrin::AsciiUpper(entry.path().extension().string());
    if (ext == ".DAT" || ext == ".IDX" || ext == ".BLB") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace hollard
