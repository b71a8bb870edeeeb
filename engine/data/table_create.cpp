#include "engine/data/table_create.h"

#include <memory>
#include <set>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/blob/blob_format.h"
#include "engine/index/index_format.h"
#include "engine/index/keys.h"

namespace ovrin {

namespace {
std::string BaseName(const std::string& path) { return RemoveExtension(TrimChar(path, ' ')); }
}  // namespace

std::string DataFileName(const std::string& path) { return BaseName(path) + ".DAT"; }
std::string IndexFileName(const std::string& path) { return BaseName(path) + ".IDX"; }
std::string BlobFileName(const std::string& path) { return BaseName(path) + ".BLB"; }

namespace {

// The key fields of an index definition, checked against the descriptors.
std::vector<TKeyField> KeyFieldsOf(const TIndexSpec& index, const std::string& indexName,
                                   const std::vector<TFieldDescriptor>& fields, const std::string& fileName,
                                   std::vector<uint16_t>* numbers) {
  if (index.Fields.empty() || index.Fields.size() > idxfmt::kMaxKeyFields)
    RaiseEngineError(errIndexLimit, fileName, "", "", indexName);
  std::vector<TKeyField> keyFields;
  for (size_t i = 0; i < index.Fields.size(); ++i) {
    const std::string& name = index.Fields[i];
    const TFieldDescriptor* found = nullptr;
    for (const TFieldDescriptor& f : fields)
      if (AsciiEqualNoCase(f.Name(), TrimChar(name, ' '))) found = &f;
    if (!found) RaiseEngineError(errIndexFieldNumber, fileName, name, "", indexName);
    if (found->Type() == fldBlob) RaiseEngineError(errIndexFieldType, fileName, name, "", indexName);
    numbers->push_back(static_cast<uint16_t>(found->FieldNumber()));
    TKeyField k;
    k.type = found->Type();
    k.storedSize = found->StoredSize();
    k.offset = found->Offset();
    k.autoInc = found->IsAutoInc();
    k.descending = i < index.FieldDescending.size() && index.FieldDescending[i];
    keyFields.push_back(k);
  }
  return keyFields;
}

void DescribeIndex(TIndexHeader& header, int slot, const TIndexSpec& index, const std::string& indexName,
                   const std::vector<TFieldDescriptor>& fields, const std::string& fileName) {
  if (index.Compression > idxfmt::cmpFull)
    throw EDatabaseError("Invalid compression " + std::to_string(index.Compression) + " for index " + indexName);
  std::vector<uint16_t> numbers;
  std::vector<TKeyField> keyFields = KeyFieldsOf(index, indexName, fields, fileName, &numbers);
  bool unique = slot == 0 || index.Unique;
  uint32_t length = KeyLengthFor(keyFields, !unique);
  if (length > kMaxKeyLength) RaiseEngineError(errKeySize, fileName, "", "", indexName);
  TIndexDescriptor d = header.Slot(slot);
  d.SetName(slot == 0 ? std::string() : index.Name);
  d.SetKeyLength(static_cast<uint16_t>(length));
  d.SetDescending(index.Descending);
  d.SetCaseInsensitive(index.CaseInsensitive);
  d.SetUnique(unique);
  d.SetCompression(index.Compression);
  d.SetFieldCount(static_cast<uint8_t>(keyFields.size()));
  for (size_t i = 0; i < keyFields.size(); ++i) {
    d.SetFieldNumber(static_cast<int>(i), numbers[i]);
    d.SetFieldDescending(static_cast<int>(i), keyFields[i].descending);
  }
}

// Removes what a failed creation wrote.
struct TCleanup {
  std::vector<std::unique_ptr<TFileHandler>> files;
  bool done = false;
  ~TCleanup() {
    if (done) return;
    for (auto& f : files) {
      try {
        f->Close();
        f->Delete();
      } catch (...) {
      }
    }
  }
};

TFileHandler& NewFile(TCleanup& cleanup, const std::string& name, bool inMemory) {
  auto file = std::make_unique<TFileHandler>();
  file->SetInMemory(inMemory);
  file->SetExclusive(true);
  file->SetFileName(name);
  file->Create();
  cleanup.files.push_back(std::move(file));
  return *cleanup.files.back();
}

bool FileExists(const std::string& name, bool inMemory) {
  TFileHandler probe;
  probe.SetInMemory(inMemory);
  probe.SetFileName(name);
  return probe.Exists();
}

void RemoveFile(const std::string& name, bool inMemory) {
  TFileHandler probe;
  probe.SetInMemory(inMemory);
  probe.SetFileName(name);
  if (probe.Exists()) probe.Delete();
}

}  // namespace

std::string ExistingTableFile(const std::string& path) {
  for (const std::string& name : {DataFileName(path), IndexFileName(path), BlobFileName(path)})
    if (std::string found = Platform().ResolveExisting(name); !found.empty()) return found;
  return {};
}

void DeleteTableFiles(const std::string& path, bool inMemory) {
  for (const std::string& name : {DataFileName(path), IndexFileName(path), BlobFileName(path)})
    RemoveFile(name, inMemory);
}

void CreateTable(const std::string& path, const TTableSpec& def, const TCreateOptions& options) {
  const std::string dataName = DataFileName(path);
  const std::string indexName = IndexFileName(path);
  const std::string blobName = BlobFileName(path);

  // Everything is checked before any file is touched.
  if (def.LocaleLanguage != 0 && !IsLocaleInstalled(def.LocaleLanguage, def.LocaleSort))
    RaiseEngineError(errLanguageDriver, dataName);
  if (def.Password.size() > datafmt::kMaxPassword) RaiseEngineError(errInvalidPassword, dataName);
  if (def.BlobBlockSize != 0 && !IsValidBlockSize(def.BlobBlockSize))
    RaiseEngineError(errBlobFieldsOrBlockSize, dataName);
  uint16_t recordSize = 0, calcAreaSize = 0;
  std::vector<TFieldDescriptor> fields =
      DefineFields(def.Fields, def.LocaleLanguage, def.LocaleSort, dataName, &recordSize, &calcAreaSize);
  int blobFields = 0;
  for (const TFieldDescriptor& f : fields) blobFields += f.IsBlob() ? 1 : 0;

  TIndexHeader index = TIndexHeader::NewImage();
  bool noPrimary = def.Primary.Fields.empty();
  index.SetNoPrimary(noPrimary);
  if (!noPrimary) DescribeIndex(index, 0, def.Primary, idxfmt::kPrimaryName, fields, dataName);
  if (def.Secondary.size() > idxfmt::kMaxSecondary) RaiseEngineError(errIndexLimit, dataName);
  std::set<std::string> names;
  for (size_t i = 0; i < def.Secondary.size(); ++i) {
    const TIndexSpec& s = def.Secondary[i];
    std::string name = TrimChar(s.Name, ' ');
    if (name.empty()) RaiseEngineError(errIndexNameMissing, dataName);
    if (name.size() > 30 || AsciiEqualNoCase(name, idxfmt::kDeletedName) || AsciiEqualNoCase(name, idxfmt::kPrimaryName))
      RaiseEngineError(errInvalidIndexName, dataName, "", "", name);
    if (!names.insert(AsciiUpper(name)).second) RaiseEngineError(errIndexExists, dataName, "", "", name);
    TIndexSpec named = s;
    named.Name = name;
    DescribeIndex(index, static_cast<int>(i + 1), named, name, fields, dataName);
  }
  index.SetSecondaryCount(static_cast<uint8_t>(def.Secondary.size()));

  if (!options.Replace) {
    for (const std::string& name : {dataName, indexName, blobName})
      if (FileExists(name, options.InMemory)) throw EDatabaseError("Table " + dataName + " already exists.");
  }

  TTableHeader header;
  header.SetVersion(datafmt::kVersion);
  header.SetBlobBlockSizeRaw(def.BlobBlockSize == datafmt::kDefaultBlobBlockSize ? 0 : def.BlobBlockSize);
  header.SetNextRecordNumber(1);
  header.SetRecordSize(recordSize);
  header.SetFieldCount(static_cast<uint16_t>(fields.size()));
  header.SetBlobFieldCount(static_cast<int16_t>(blobFields));
  header.SetLocale(def.LocaleLanguage, def.LocaleSort);
  header.SetCalcAreaSize(calcAreaSize);
  bool encrypted = !def.Password.empty();
  if (encrypted) {
    header.SetEncrypted(true);
    header.SetPassword(def.Password);
  }
  std::vector<uint8_t> block(fields.size() * datafmt::kDescriptorSize);
  for (size_t i = 0; i < fields.size(); ++i)
    std::copy(fields[i].bytes.begin(), fields[i].bytes.end(), block.begin() + ptrdiff_t(i * datafmt::kDescriptorSize));
  if (encrypted) ApplyCipher(block.data(), block.size(), kTableKey);

  TCleanup cleanup;
  TFileHandler& data = NewFile(cleanup, dataName, options.InMemory);
  header.SetModified(true);
  WriteTableHeader(data, header);
  data.Seek(datafmt::kHeaderSize, 0);
  data.Write(block.data(), static_cast<uint32_t>(block.size()));
  TFileHandler& indexFile = NewFile(cleanup, indexName, options.InMemory);
  WriteIndexHeader(indexFile, index, encrypted);
  if (blobFields > 0) {
    TFileHandler& blob = NewFile(cleanup, blobName, options.InMemory);
    TBlobHeader blobHeader = TBlobHeader::NewImage();
    WriteBlobHeader(blob, blobHeader, encrypted);
  } else if (options.Replace) {
    RemoveFile(blobName, options.InMemory);
  }
  for (auto& f : cleanup.files) f->Close();
  cleanup.done = true;
}

}  // namespace ovrin
