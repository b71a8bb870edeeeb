#include "engine/format/table_format.h"

#include <set>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/locale.h"

namespace ovrin {

using namespace datafmt;

void ApplyCipher(uint8_t* bytes, size_t count, TCipherKey key) {
  uint8_t r = key.rising, f = key.falling;
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(bytes[i] ^ r ^ f);
    ++r;
    --f;
  }
}

void TTableHeader::Set8(size_t at, uint8_t v) {
  if (bytes[at] != v) SetModified(true);
  bytes[at] = v;
}
void TTableHeader::Set16(size_t at, uint16_t v) {
  if (LoadLE16(&bytes[at]) != v) SetModified(true);
  StoreLE16(&bytes[at], v);
}
void TTableHeader::Set32(size_t at, int32_t v) {
  if (LoadLEI32(&bytes[at]) != v) SetModified(true);
  StoreLE32(&bytes[at], static_cast<uint32_t>(v));
}

std::string TTableHeader::Password() const {
  uint8_t field[1 + kMaxPassword];
  std::copy(&bytes[hPassword], &bytes[hPassword] + sizeof field, field);
  ApplyCipher(field + 1, kMaxPassword, kPasswordKey);
  return LoadShortString(field, kMaxPassword);
}

void TTableHeader::SetPassword(const std::string& password) {
  uint8_t field[1 + kMaxPassword];
  StoreShortString(field, kMaxPassword, password);
  ApplyCipher(field + 1, kMaxPassword, kPasswordKey);
  std::copy(field, field + sizeof field, &bytes[hPassword]);
  SetModified(true);
}

uint16_t StoredSizeOf(uint8_t type, uint8_t declaredSize) {
  switch (type) {
    case fldUndefined:
    case fldBytes:
      return declaredSize;
    case fldString:
      return static_cast<uint16_t>(declaredSize + 1);
    case fldBoolean:
    case fldSmallInt:
    case fldWord:
      return 2;
    case fldDate:
    case fldBlob:
    case fldInteger:
    case fldTime:
    case fldUnsigned:
      return 4;
    case fldFloat:
    case fldBcd:
    case fldTimeStamp:
      return 8;
    case fldExtended:
      return 10;
    default:
      return declaredSize;
  }
}

namespace {

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= 129 && c <= 254);
}

bool HasDeclaredSize(uint8_t type) { return type == fldString || type == fldBytes || type == fldVarBytes; }

bool IsWord(const std::string& text, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (AsciiEqualNoCase(text, w)) return true;
  return false;
}

}  // namespace

bool IsValidDescriptorText(uint8_t type, const std::string& text) {
  if (text.empty()) return true;
  switch (type) {
    case fldDate: return IsWord(text, {"DATE"}) || IsDateText(text);
    case fldBoolean: return IsBooleanText(text);
    case fldSmallInt: return IsSmallIntText(text);
    case fldInteger: return IsIntegerText(text);
    case fldFloat: return IsFloatText(text);
    case fldBcd: return IsBcdText(text);
    case fldTime: return IsWord(text, {"TIME"}) || IsTimeText(text);
    case fldTimeStamp:
      return IsWord(text, {"NOW", "DATE", "TIME"}) || IsDateText(text) || IsDateTimeText(text) || IsTimeText(text);
    case fldWord: return IsWordText(text);
    default: return true;
  }
}

std::vector<TFieldDescriptor> DefineFields(const std::vector<TFieldSpec>& fields, uint16_t language,
                                           uint16_t sort, const std::string& fileName,
                                           uint16_t* recordSize, uint16_t* calcAreaSize) {
  if (fields.empty() || fields.size() > kMaxFields) RaiseEngineError(errFieldLimit, fileName);
  std::vector<TFieldDescriptor> out(fields.size());
  std::set<std::string> names;
  for (size_t i = 0; i < fields.size(); ++i) {
    const TFieldSpec& def = fields[i];
    std::string name = TrimChar(def.Name, ' ').substr(0, kMaxFieldName);
    if (name.empty() || !IsNameStart(static_cast<unsigned char>(name[0])) ||
        !names.insert(AsciiUpper(name)).second)
      RaiseEngineError(errFieldName, fileName, name.empty() ? def.Name : name);
    if (def.Type == fldUndefined || (HasDeclaredSize(def.Type) && def.Size > kMaxDeclaredSize))
      RaiseEngineError(errFieldDefinition, fileName, name);
    // Calculated fields cannot be laid out in a stored table that opens again, so a
    // definition with an expression is refused here.
    if (!def.Expression.empty()) RaiseEngineError(errValidityCheck, fileName, name);
    bool textsOk = WithTableSettings(language, sort, [&] {
      return IsValidDescriptorText(def.Type, def.Minimum) && IsValidDescriptorText(def.Type, def.Maximum) &&
             IsValidDescriptorText(def.Type, def.Default);
    });
    if (!textsOk || def.Minimum.size() > 50 || def.Maximum.size() > 50 || def.Default.size() > 50)
      RaiseEngineError(errValidityCheck, fileName, name);
    TFieldDescriptor& d = out[i];
    d.SetFieldNumber(static_cast<int16_t>(i + 1));
    d.SetName(name);
    d.SetType(def.Type);
    d.SetSubType(def.SubType);
    d.SetDeclaredSize(HasDeclaredSize(def.Type) || def.Type > fldVarBytes ? def.Size : 0);
    d.SetDeclaredDecimals(def.Type == fldBcd ? def.Decimals : 0);
    d.SetRequired(def.Required);
    d.SetMinimum(def.Minimum);
    d.SetMaximum(def.Maximum);
    d.SetDefault(def.Default);
  }
  uint32_t running = kRecordPrefixSize;
  for (TFieldDescriptor& d : out) {
    uint16_t stored = StoredSizeOf(d.Type(), d.DeclaredSize());
    d.SetStoredSize(static_cast<uint8_t>(stored));
    d.SetStoredDecimals(d.DeclaredDecimals());
    if (d.IsAutoInc()) {
      d.SetOffset(kAutoIncOffset);
    } else {
      d.SetOffset(static_cast<uint16_t>(running));
      running += stored + 1u;
    }
    if (running > 0xFFFF) RaiseEngineError(errRecordTooBig, fileName);
  }
  *recordSize = static_cast<uint16_t>(running);
  *calcAreaSize = 0;
  return out;
}

TTableImage ReadTableImage(TFileHandler& file, const std::function<bool(const std::string&)>& passwordKnown,
                           bool checkLength) {
  const std::string& name = file.FileName();
  TTableImage image;
  file.Seek(0, 0);
  file.Read(image.header.bytes.data(), kHeaderSize);
  image.header.SetModified(false);
  const TTableHeader& h = image.header;
  if (h.Version() != kVersion) RaiseEngineError(errVersion, name);
  if (h.LocaleLanguage() != 0 && !IsLocaleInstalled(h.LocaleLanguage(), h.LocaleSort()))
    RaiseEngineError(errLanguageDriver, name);
  if (h.Encrypted() && !passwordKnown(h.Password())) RaiseEngineError(errNoRights, name);

  // The descriptors must fit in the file before anything is allocated for them.
  uint16_t count = h.FieldCount();
  int64_t fileSize = file.Size();
  if (count > kMaxFields || fileSize < h.RecordsStart()) RaiseEngineError(errHeaderCorrupt, name);
  std::vector<uint8_t> block(size_t(count) * kDescriptorSize);
  file.Seek(kHeaderSize, 0);
  if (!block.empty()) file.Read(block.data(), static_cast<uint32_t>(block.size()));
  if (h.Encrypted()) ApplyCipher(block.data(), block.size(), kTableKey);
  image.descriptors.resize(count);

  uint32_t running = kRecordPrefixSize;
  for (uint16_t i = 0; i < count; ++i) {
    TFieldDescriptor& d = image.descriptors[i];
    std::copy(&block[size_t(i) * kDescriptorSize], &block[size_t(i) * kDescriptorSize] + kDescriptorSize, d.bytes.begin());
    d.ClearWorkArea();
    if (HasDeclaredSize(d.Type()) && d.DeclaredSize() > kMaxDeclaredSize) RaiseEngineError(errHeaderCorrupt, name);
    uint16_t stored = StoredSizeOf(d.Type(), d.DeclaredSize());
    d.SetStoredSize(static_cast<uint8_t>(stored));
    d.SetStoredDecimals(d.DeclaredDecimals());
    bool ok;
    if (d.IsAutoInc()) {
      ok = d.Offset() == kAutoIncOffset;
    } else if (d.IsCalculated()) {
      // How a stored table would lay out calculated fields is not settled, so a table
      // that carries one does not open.
      ok = false;
    } else {
      ok = d.Offset() == running;
      running += stored + 1u;
    }
    if (!ok || d.FieldNumber() != i + 1) RaiseEngineError(errHeaderCorrupt, name);
  }
  if (h.RecordSize() != running) RaiseEngineError(errHeaderCorrupt, name);
  // Without calculated fields there is no calculation area; a size there would enlarge
  // every record buffer past the record (or wrap it round below it).
  if (h.CalcAreaSize() != 0) RaiseEngineError(errHeaderCorrupt, name);
  if (!checkLength) return image;

  int64_t data = fileSize - h.RecordsStart();
  if (data > 0) {
    if (data % h.RecordSize() != 0 || data / h.RecordSize() + 1 != h.NextRecordNumber())
      RaiseEngineError(errHeaderCorrupt, name);
  } else if (h.NextRecordNumber() != 1) {
    // No records at all: the next one must be record 1, or later appends would leave a
    // hole that reads beyond the end of the file.
    RaiseEngineError(errHeaderCorrupt, name);
  }
  if (h.FreeChainHead() < 0 || h.FreeChainHead() >= h.NextRecordNumber()) RaiseEngineError(errHeaderCorrupt, name);
  return image;
}

int32_t ReadChangeCounter(TFileHandler& file, bool encrypted) {
  uint8_t counter[4];
  file.Seek(0, 0);
  file.Read(counter, 4);
  if (encrypted) ApplyCipher(counter, 4, kTableKey);
  return LoadLEI32(counter);
}

void WriteTableHeader(TFileHandler& file, TTableHeader& header) {
  header.SetChangeCounter(header.ChangeCounter() + 1);
  header.SetLastUpdate(Now() - kDateDelta);
  file.Seek(0, 0);
  file.Write(header.bytes.data(), kHeaderSize);
  header.SetModified(false);
}

}  // namespace ovrin
