#include "main/migration_guards.h"

#include <filesystem>

#include "engine/base/conversions.h"
#include "engine/base/file_handler.h"
#include "engine/base/platform.h"
#include "engine/blob/blob_format.h"
#include "engine/format/table_format.h"
#include "engine/table/table.h"
#include "main/source_table.h"

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

TBlobSpace BlobSpaceNeeded(const std::string& sourceDir, const std::string& targetDir) {
  std::string folder = targetDir.empty() || targetDir.back() == '/' ? targetDir : targetDir + "/";
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
  for (int32_t r = 0; r < file.RecordCount(); ++r)
    for (int f : fields) {
      int64_t length = file.BlobLength(r, f);
      if (length == 0) continue;
      ++space.blobs;
      space.needed += (length + payload - 1) / payload * blockSize;
    }
  return space;
}

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
    const TParadoxFile& file = table.File();
    if (static_cast<uint32_t>(file.RecordCount()) == file.HeaderRecordCount()) continue;
    found.push_back("The source table " + file.Path() + " is damaged: its data block chain holds " +
                    std::to_string(file.RecordCount()) + " records, its header counts " +
                    std::to_string(file.HeaderRecordCount()) + ".");
  }
  return found;
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
