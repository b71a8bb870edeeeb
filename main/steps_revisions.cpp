// Step 10: every stored revision, with its file (and the form file kept with a unit)
// copied byte for byte into the target's blobs table.
#include "engine/table/table.h"
#include "main/migration.h"

namespace hollard {

using ovrin::TOvrinTable;

namespace {

// The extension of a file name: from its last '.' after the last backslash or colon to
// the end, the dot included; empty when there is none.
std::string ExtensionOf(const std::string& name) {
  size_t folder = name.find_last_of("\\:");
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (folder != std::string::npos && dot < folder)) return std::string();
  return name.substr(dot);
}

std::string FormFileName(const std::string& name) {
  std::string extension = ExtensionOf(name);
  return name.substr(0, name.size() - extension.size()) + ".dfm";
}

}  // namespace

void TMigration::CopyBlob(const char* sourceField, ovrin::TField& target) {
  // The stored file is read whole from the source's blob file into one buffer, kept from
  // one file to the next, and handed to the target's blob as it is.
  std::string_view bytes = source_->FieldByName(sourceField).BytesInto(blobBuffer_);
  target.SetAsBytes(bytes);
}

// One "blobs" record: the stored file of the current source record (or its form file)
// with the sizes and check value the old archive kept for it.
void TMigration::AppendBlob(TOvrinTable& blobs, int32_t revisionId, const std::string& extension,
                            const TStoredFileFields& from) {
  blobs.Append();
  blobs.FieldByName("REVISIONID").SetAsInteger(revisionId);
  SetText(blobs, "EXTENSION", extension);
  blobs.FieldByName("ORIGTIME").SetAsDateTime(source_->FieldByName(from.time).AsDateTime());
  blobs.FieldByName("ORIGSIZE").SetAsInteger(source_->FieldByName(from.size).AsInteger());
  blobs.FieldByName("ORIGCRC").SetAsInteger(source_->FieldByName(from.crc).AsInteger());
  blobs.FieldByName("COMPSIZE").SetAsInteger(source_->FieldByName(from.compressed).AsInteger());
  CopyBlob(from.data, blobs.FieldByName("FILEDATA"));
  blobs.Post();
  Added(blobs);
}

void TMigration::ConvertRevisions() {
  Log("Converting revisions...");
  OpenSource("hollardm");
  source_->First();
  TOvrinTable& revisions = OpenTarget(2, "revision");
  TOvrinTable& blobs = OpenTarget(4, "blobs");
  TOvrinTable& modules = OpenTarget(5, "modules");
  TOvrinTable& users = OpenTarget(6, "users");
  StartGauge("Converting revisions... - Step 10/16", source_->RecordCount());
  // The stored files' lengths as the records declare them, for the user's count of the
  // bytes copied; read without the blob file. A record that does not read counts 0.
  TParadoxFile& file = source_->File();
  std::vector<int> blobFields;
  for (const char* field : {"BINARY", "ASBINARY"}) {
    int f = file.FieldIndex(field);
    blobFields.push_back(f >= 0 && file.Fields()[static_cast<size_t>(f)].IsBlob() ? f : -1);
  }
  auto declared = [&](int32_t record, size_t which) -> int64_t {
    if (blobFields[which] < 0) return 0;
    try {
      return file.BlobLength(record, blobFields[which]);
    } catch (const std::exception&) {
      return 0;
    }
  };
  int64_t bytesTotal = 0, bytesDone = 0;
  for (int32_t r = 0; r < file.RecordCount(); ++r) bytesTotal += declared(r, 0) + declared(r, 1);
  user_.SetBytesCopied(0, bytesTotal);
  for (source_->First(); !source_->Eof(); source_->Next()) {
    Advance();
    user_.ProcessEvents();
    std::string path = source_->FieldByName("PATH").AsString(), name = source_->FieldByName("FNAME").AsString();
    int32_t version = source_->FieldByName("VERSION").AsInteger();
    int32_t revision = source_->FieldByName("REVISION").AsInteger();
    int32_t nr = source_->FieldByName("NR").AsInteger();
    std::string numbers =
        " " + std::to_string(version) + "." + std::to_string(revision) + " [" + std::to_string(nr) + "]";
    Log("Converting " + Shown(path + name) + numbers);

    revisions.Append();
    revisions.FieldByName("MODULEID").SetAsInteger(FindModuleId(modules, name, path));
    revisions.FieldByName("USERID").SetAsInteger(FindUserId(users, source_->FieldByName("LOCKEDBY").AsString()));
    revisions.FieldByName("VERSION").SetAsInteger(version);
    revisions.FieldByName("VERSTATE").SetAsInteger(source_->FieldByName("VERSTATE").AsInteger());
    revisions.FieldByName("REVISION").SetAsInteger(revision);
    SetText(revisions, "COMMENT_I", source_->FieldByName("LCOMMENT").AsString());
    SetText(revisions, "COMMENT_O", source_->FieldByName("VCOMMENT").AsString());
    revisions.FieldByName("IDEVERSION").SetAsInteger(400);
    revisions.Post();
    Added(revisions);
    int32_t revisionId = revisions.FieldByName("REVISIONID").AsInteger();

    AppendBlob(blobs, revisionId, ExtensionOf(name), {"FTIME", "FSIZE", "FLAG2", "COMPSIZE", "BINARY"});
    if (source_->FieldByName("ASFSIZE").AsInteger() > 0) {
      Log("Converting " + Shown(path + FormFileName(name)) + numbers);
      AppendBlob(blobs, revisionId, ".dfm", {"ASFTIME", "ASFSIZE", "OPTIONS2", "ASCOMPSIZE", "ASBINARY"});
    } else if (int64_t bytes = declared(source_->Current(), 1); bytes > 0) {
      // Not stored, as the rules have it (a size of 0 or less says there is no form file),
      // but its bytes are counted for the summary.
      report_.formsNotStored.Add(Shown(path + FormFileName(name)) + numbers + " (" + std::to_string(bytes) +
                                 " bytes, ASFSIZE " + std::to_string(source_->FieldByName("ASFSIZE").AsInteger()) + ")");
    }
    bytesDone += declared(source_->Current(), 0) + declared(source_->Current(), 1);
    user_.SetBytesCopied(bytesDone, bytesTotal);
  }
  std::string().swap(blobBuffer_);
  EndStep();
}

}  // namespace hollard
