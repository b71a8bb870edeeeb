#include "tools/archive_schema.h"

#include "engine/base/errors.h"
#include "engine/index/index_format.h"

namespace hollard {

using namespace ovrin;

namespace {

TFieldSpec Auto(const char* name) { return TFieldSpec{name, fldInteger, subAutoInc}; }
TFieldSpec Int(const char* name) { return TFieldSpec{name, fldInteger}; }
TFieldSpec Small(const char* name) { return TFieldSpec{name, fldSmallInt}; }
TFieldSpec Str(const char* name, uint8_t size) { return TFieldSpec{name, fldString, subNone, size}; }
TFieldSpec Stamp(const char* name) { return TFieldSpec{name, fldTimeStamp}; }
TFieldSpec Memo(const char* name) { return TFieldSpec{name, fldBlob, subMemo}; }
TFieldSpec Binary(const char* name) { return TFieldSpec{name, fldBlob, subBinary}; }

TIndexSpec Primary(const char* field) {
  TIndexSpec i;
  i.Fields = {field};
  i.Unique = true;
  return i;
}

TIndexSpec Index(const char* name, std::vector<std::string> fields, uint8_t compression = 0,
                bool caseInsensitive = false, bool descending = false) {
  TIndexSpec i;
  i.Name = name;
  i.Fields = std::move(fields);
  i.Compression = compression;
  i.CaseInsensitive = caseInsensitive;
  i.Descending = descending;
  return i;
}

std::vector<TArchiveTable> Build() {
  std::vector<TArchiveTable> t;
  auto add = [&](const char* name, std::vector<TFieldSpec> fields, TIndexSpec primary,
                 std::vector<TIndexSpec> secondary, int32_t blockSize = 0) {
    TArchiveTable table;
    table.name = name;
    table.def.Fields = std::move(fields);
    table.def.Primary = std::move(primary);
    table.def.Secondary = std::move(secondary);
    table.def.BlobBlockSize = blockSize;
    t.push_back(std::move(table));
  };
  add("users",
      {Auto("USERID"), Str("LOGIN", 50), Str("PW", 250), Str("IPADDR", 50), Small("RIGHTS"), Str("DELETED", 1),
       Memo("DESCRIPTION")},
      Primary("USERID"), {Index("LOGIN", {"LOGIN"}, idxfmt::cmpFull, true)});
  add("projects",
      {Auto("PROJECTID"), Str("NAME", 250), Stamp("CREATED"), Int("CREATEDBY"), Int("LASTUSER"), Stamp("LASTACCESS"),
       Str("HISTORY", 250), Str("DELETED", 1), Memo("DESCRIPTION")},
      Primary("PROJECTID"), {Index("NAME", {"NAME"}, idxfmt::cmpDuplicate, true)});
  add("modules",
      {Auto("MODULEID"), Int("USERID"), Str("NAME", 100), Str("PATH", 250), Stamp("TSTAMP"), Stamp("LOCKTSTAMP"),
       Str("READONLY", 1), Int("LASTUSER"), Int("FLAGS"), Memo("DESCRIPTION")},
      Primary("MODULEID"),
      {Index("NAME", {"NAME"}, idxfmt::cmpFull, true), Index("PATHNAME", {"PATH", "NAME"}, idxfmt::cmpTrailing)});
  add("pjmodule", {Int("PROJECTID"), Int("MODULEID"), Str("HIDDEN", 1)}, TIndexSpec{},
      {Index("PROJECTID", {"PROJECTID", "MODULEID"}), Index("MODULEID", {"MODULEID"})});
  add("revision",
      {Auto("REVISIONID"), Int("MODULEID"), Int("USERID"), Int("VERSION"), Int("REVISION"), Int("VERSTATE"),
       Memo("COMMENT_I"), Memo("COMMENT_O"), Int("IDEVERSION")},
      Primary("REVISIONID"),
      {Index("MODREV", {"MODULEID", "VERSION", "REVISION"}), Index("USERID", {"USERID"}, idxfmt::cmpDuplicate)});
  add("blobs",
      {Auto("BLOBID"), Int("REVISIONID"), Str("EXTENSION", 64), Stamp("ORIGTIME"), Int("ORIGSIZE"), Int("ORIGCRC"),
       Int("COMPSIZE"), Binary("FILEDATA")},
      Primary("BLOBID"), {Index("REVISIONID", {"REVISIONID"})}, 4096);
  add("labels", {Auto("LABELID"), Memo("LABEL"), Memo("DESCRIPTION")}, Primary("LABELID"), {});
  add("rvlabels", {Int("REVISIONID"), Int("LABELID")}, TIndexSpec{},
      {Index("REVISIONID", {"REVISIONID"}), Index("LABELID", {"LABELID"})});
  add("todo",
      {Auto("TODOID"), Int("PROJECTID"), Int("USERID"), Int("RESPONSIBLE"), Stamp("CREATED"), Int("PRIORITY"),
       Str("CATEGORY", 50), Str("STATE", 250), Memo("DESCRIPTION"), Stamp("TARGETDATE"), Stamp("DONEDATE")},
      Primary("TODOID"), {Index("PROJECTID", {"PROJECTID"})});
  add("pjref", {Int("PROJECTID"), Int("REFERENCE")}, TIndexSpec{}, {Index("PROJECTID", {"PROJECTID", "REFERENCE"})});
  add("vcslog",
      {Auto("LOGID"), Int("PROJECTID"), Int("USERID"), Int("MODULEID"), Stamp("TSTAMP"), Str("TYPE", 1),
       Memo("DESCRIPTION")},
      Primary("LOGID"), {Index("TSTAMP", {"TSTAMP"}, idxfmt::cmpNone, false, true), Index("PROJECTID", {"PROJECTID"})});
  return t;
}

}  // namespace

const std::vector<TArchiveTable>& NewLayoutTables() {
  static const std::vector<TArchiveTable> tables = Build();
  return tables;
}

void CreateNewLayoutArchive(const std::string& folder, bool replace,
                            const std::function<void(int replaced)>& onFailure) {
  std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  TCreateOptions options;
  options.Replace = replace;
  if (!replace)
    for (const TArchiveTable& t : NewLayoutTables())
      if (std::string found = ExistingTableFile(base + t.name); !found.empty())
        throw EDatabaseError("Table " + found + " already exists.");
  std::vector<std::string> made;
  int replaced = 0;
  try {
    for (const TArchiveTable& t : NewLayoutTables()) {
      const bool existed = replace && !ExistingTableFile(base + t.name).empty();
      CreateTable(base + t.name, t.def, options);
      if (existed) ++replaced;
      else made.push_back(base + t.name);
    }
  } catch (...) {
    if (onFailure) onFailure(replaced);
    for (const std::string& path : made) {
      try {
        DeleteTableFiles(path);
      } catch (...) {
      }
    }
    throw;
  }
}

}  // namespace hollard
