// The data file format: header, field descriptors, record layout and the table cipher.
//
// File layout (all integers little-endian):
//   offset 0                          header, 127 bytes
//   127 + (i-1) * 768                 field descriptor i (i = 1 .. field count)
//   127 + count * 768 + (n-1) * size  record n (n = 1, 2, ...), the physical record number
//
// Header (127 bytes):
//   off width  field
//     0 i32    change counter (+1 at every header write)
//     4 i32    blob block size (0 means 512)
//     8 u8     format version, must be 3
//     9 i32    free chain head (most recently deleted record, 0 none)
//    13 i32    next record number (physical records + 1)
//    17 i32    last autoincrement value
//    21 u16    record size (the 9-byte prefix included)
//    23 u16    field count (at most 1024)
//    25 i16    blob field count (nonzero: a blob file belongs to the table)
//    27 f64    last update stamp (date-time - 693594.0)
//    35 51     not interpreted, written back unchanged
//    86 u8     encrypted (descriptors and records enciphered)
//    87 16     password: shortstring[15], characters enciphered with the password key
//   103 u16    locale language (0: none)
//   105 u16    locale sort; locale identifier = sort * 65536 + language
//   107 4      not interpreted
//   111 u16    calculated area size
//   113 u8     header-modified mark
//   114 13     not interpreted
//
// Field descriptor (768 bytes):
//     0 i16    field number (descriptor i carries i)
//     2 31     field name, shortstring[30]
//    33 51     not interpreted
//    84 u8     field type (TFieldCode)
//    85 u8     sub type (29 autoincrement with type 6, 21 money with 7, 22..28 blob kinds)
//    86 u8     declared size (types 1, 9, 15; at most 250)
//    87 u8     declared decimals (type 8)
//    88 u8     stored size (recomputed on load: not trusted)
//    89 u8     stored decimals (recomputed on load)
//    90 u16    offset of the indicator byte (autoincrement field: 5, its value)
//    92 u8     required
//    93 u8     not interpreted
//    94 51     minimum, shortstring[50]
//   145 51     maximum, shortstring[50]
//   196 51     default, shortstring[50] ("DATE", "TIME", "NOW" for the current values)
//   247 256    expression, shortstring[255] (a calculated field)
//   504 4      working area, cleared on load
//   508 260    not interpreted
//
// Record: u8 deleted, i32 record link (own number when active; next free when deleted),
// i32 record identifier, then per stored field an indicator byte (1 value, 0 null) and
// the stored bytes. The autoincrement field has no indicator: its value is at offset 5.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/coding.h"

namespace ovrin {

class TFileHandler;

enum TFieldCode : uint8_t {
  fldUndefined = 0,
  fldString = 1,
  fldDate = 2,
  fldBlob = 3,
  fldBoolean = 4,
  fldSmallInt = 5,
  fldInteger = 6,
  fldFloat = 7,
  fldBcd = 8,
  fldBytes = 9,
  fldTime = 10,
  fldTimeStamp = 11,
  fldWord = 12,
  fldUnsigned = 13,
  fldExtended = 14,
  fldVarBytes = 15,
};

enum TFieldSubType : uint8_t {
  subNone = 0,
  subMoney = 21,
  subMemo = 22,
  subBinary = 23,
  subFormattedMemo = 24,
  subOle = 25,
  subGraphic = 26,
  subDbaseOle = 27,
  subTypedBinary = 28,
  subAutoInc = 29,
};

namespace datafmt {
constexpr uint8_t kVersion = 3;
constexpr size_t kHeaderSize = 127;
constexpr size_t kDescriptorSize = 768;
constexpr size_t kRecordPrefixSize = 9;
constexpr uint16_t kMaxFields = 1024;
constexpr uint8_t kMaxDeclaredSize = 250;
constexpr size_t kMaxFieldName = 30;
constexpr size_t kMaxPassword = 15;
constexpr int32_t kMaxRecordNumber = 100000000;
constexpr int64_t kMaxDataBytes = 2000000000;
constexpr int32_t kDefaultBlobBlockSize = 512;
constexpr uint16_t kAutoIncOffset = 5;

// Header offsets.
constexpr size_t hChangeCounter = 0, hBlobBlockSize = 4, hVersion = 8, hFreeChain = 9,
                 hNextRecord = 13, hLastAutoInc = 17, hRecordSize = 21, hFieldCount = 23,
                 hBlobFieldCount = 25, hLastUpdate = 27, hEncrypted = 86, hPassword = 87,
                 hLocaleLanguage = 103, hLocaleSort = 105, hCalcAreaSize = 111, hModified = 113;
// Descriptor offsets.
constexpr size_t dNumber = 0, dName = 2, dType = 84, dSubType = 85, dSize = 86, dDecimals = 87,
                 dStoredSize = 88, dStoredDecimals = 89, dOffset = 90, dRequired = 92, dMinimum = 94,
                 dMaximum = 145, dDefault = 196, dExpression = 247, dWorkArea = 504;
// Record prefix offsets.
constexpr size_t rDeleted = 0, rLink = 1, rIdentifier = 5;
}  // namespace datafmt

// The table cipher: byte ^= r ^ f, then r += 1 and f -= 1 (mod 256), per byte of a run.
// Enciphering and deciphering are the same operation.
struct TCipherKey {
  uint8_t rising;
  uint8_t falling;
};
constexpr TCipherKey kTableKey{0xA7, 0x3C};
constexpr TCipherKey kPasswordKey{0x51, 0xE9};
void ApplyCipher(uint8_t* bytes, size_t count, TCipherKey key);

class TTableHeader {
 public:
  std::array<uint8_t, datafmt::kHeaderSize> bytes{};

  int32_t ChangeCounter() const { return LoadLEI32(&bytes[datafmt::hChangeCounter]); }
  void SetChangeCounter(int32_t v) { StoreLE32(&bytes[datafmt::hChangeCounter], static_cast<uint32_t>(v)); }
  int32_t BlobBlockSizeRaw() const { return LoadLEI32(&bytes[datafmt::hBlobBlockSize]); }
  // The blob block size in bytes (512 when the header says 0).
  int32_t BlobBlockSize() const { return BlobBlockSizeRaw() == 0 ? datafmt::kDefaultBlobBlockSize : BlobBlockSizeRaw(); }
  uint8_t Version() const { return bytes[datafmt::hVersion]; }
  int32_t FreeChainHead() const { return LoadLEI32(&bytes[datafmt::hFreeChain]); }
  int32_t NextRecordNumber() const { return LoadLEI32(&bytes[datafmt::hNextRecord]); }
  int32_t LastAutoInc() const { return LoadLEI32(&bytes[datafmt::hLastAutoInc]); }
  uint16_t RecordSize() const { return LoadLE16(&bytes[datafmt::hRecordSize]); }
  uint16_t FieldCount() const { return LoadLE16(&bytes[datafmt::hFieldCount]); }
  int16_t BlobFieldCount() const { return LoadLEI16(&bytes[datafmt::hBlobFieldCount]); }
  double LastUpdate() const { return LoadLEDouble(&bytes[datafmt::hLastUpdate]); }
  bool Encrypted() const { return bytes[datafmt::hEncrypted] != 0; }
  uint16_t LocaleLanguage() const { return LoadLE16(&bytes[datafmt::hLocaleLanguage]); }
  uint16_t LocaleSort() const { return LoadLE16(&bytes[datafmt::hLocaleSort]); }
  uint16_t CalcAreaSize() const { return LoadLE16(&bytes[datafmt::hCalcAreaSize]); }
  bool Modified() const { return bytes[datafmt::hModified] != 0; }
  // The stored password, deciphered.
  std::string Password() const;

  // Setters mark the header modified when the value changes.
  void SetBlobBlockSizeRaw(int32_t v) { Set32(datafmt::hBlobBlockSize, v); }
  void SetVersion(uint8_t v) { Set8(datafmt::hVersion, v); }
  void SetFreeChainHead(int32_t v) { Set32(datafmt::hFreeChain, v); }
  void SetNextRecordNumber(int32_t v) { Set32(datafmt::hNextRecord, v); }
  void SetLastAutoInc(int32_t v) { Set32(datafmt::hLastAutoInc, v); }
  void SetRecordSize(uint16_t v) { Set16(datafmt::hRecordSize, v); }
  void SetFieldCount(uint16_t v) { Set16(datafmt::hFieldCount, v); }
  void SetBlobFieldCount(int16_t v) { Set16(datafmt::hBlobFieldCount, static_cast<uint16_t>(v)); }
  void SetLastUpdate(double v) { StoreLEDouble(&bytes[datafmt::hLastUpdate], v); }
  void SetEncrypted(bool v) { Set8(datafmt::hEncrypted, v ? 1 : 0); }
  void SetPassword(const std::string& password);
  void SetLocale(uint16_t language, uint16_t sort) {
    Set16(datafmt::hLocaleLanguage, language);
    Set16(datafmt::hLocaleSort, sort);
  }
  void SetCalcAreaSize(uint16_t v) { Set16(datafmt::hCalcAreaSize, v); }
  void SetModified(bool v) { bytes[datafmt::hModified] = v ? 1 : 0; }

  // Offset of record n and of the first record.
  int64_t RecordsStart() const { return int64_t(datafmt::kHeaderSize) + int64_t(FieldCount()) * datafmt::kDescriptorSize; }
  int64_t RecordOffset(int32_t n) const { return RecordsStart() + int64_t(n - 1) * RecordSize(); }

 private:
  void Set8(size_t at, uint8_t v);
  void Set16(size_t at, uint16_t v);
  void Set32(size_t at, int32_t v);
};

class TFieldDescriptor {
 public:
  std::array<uint8_t, datafmt::kDescriptorSize> bytes{};

  int16_t FieldNumber() const { return LoadLEI16(&bytes[datafmt::dNumber]); }
  std::string Name() const { return LoadShortString(&bytes[datafmt::dName], datafmt::kMaxFieldName); }
  uint8_t Type() const { return bytes[datafmt::dType]; }
  uint8_t SubType() const { return bytes[datafmt::dSubType]; }
  uint8_t DeclaredSize() const { return bytes[datafmt::dSize]; }
  uint8_t DeclaredDecimals() const { return bytes[datafmt::dDecimals]; }
  uint8_t StoredSize() const { return bytes[datafmt::dStoredSize]; }
  uint8_t StoredDecimals() const { return bytes[datafmt::dStoredDecimals]; }
  uint16_t Offset() const { return LoadLE16(&bytes[datafmt::dOffset]); }
  bool Required() const { return bytes[datafmt::dRequired] != 0; }
  std::string Minimum() const { return LoadShortString(&bytes[datafmt::dMinimum], 50); }
  std::string Maximum() const { return LoadShortString(&bytes[datafmt::dMaximum], 50); }
  std::string Default() const { return LoadShortString(&bytes[datafmt::dDefault], 50); }
  std::string Expression() const { return LoadShortString(&bytes[datafmt::dExpression], 255); }
  bool IsAutoInc() const { return Type() == fldInteger && SubType() == subAutoInc; }
  bool IsCalculated() const { return bytes[datafmt::dExpression] != 0; }
  bool IsBlob() const { return Type() == fldBlob; }

  void SetFieldNumber(int16_t v) { StoreLE16(&bytes[datafmt::dNumber], static_cast<uint16_t>(v)); }
  void SetName(const std::string& v) { StoreShortString(&bytes[datafmt::dName], datafmt::kMaxFieldName, v); }
  void SetType(uint8_t v) { bytes[datafmt::dType] = v; }
  void SetSubType(uint8_t v) { bytes[datafmt::dSubType] = v; }
  void SetDeclaredSize(uint8_t v) { bytes[datafmt::dSize] = v; }
  void SetDeclaredDecimals(uint8_t v) { bytes[datafmt::dDecimals] = v; }
  void SetStoredSize(uint8_t v) { bytes[datafmt::dStoredSize] = v; }
  void SetStoredDecimals(uint8_t v) { bytes[datafmt::dStoredDecimals] = v; }
  void SetOffset(uint16_t v) { StoreLE16(&bytes[datafmt::dOffset], v); }
  void SetRequired(bool v) { bytes[datafmt::dRequired] = v ? 1 : 0; }
  void SetMinimum(const std::string& v) { StoreShortString(&bytes[datafmt::dMinimum], 50, v); }
  void SetMaximum(const std::string& v) { StoreShortString(&bytes[datafmt::dMaximum], 50, v); }
  void SetDefault(const std::string& v) { StoreShortString(&bytes[datafmt::dDefault], 50, v); }
  void SetExpression(const std::string& v) { StoreShortString(&bytes[datafmt::dExpression], 255, v); }
  void ClearWorkArea() { std::fill(&bytes[datafmt::dWorkArea], &bytes[datafmt::dWorkArea] + 4, 0); }
};

// Stored size of a field from its type code and declared size (wider than a byte so
// that a damaged declared size cannot wrap).
uint16_t StoredSizeOf(uint8_t type, uint8_t declaredSize);

// One field of a table to be created.
struct TFieldSpec {
  TFieldSpec() = default;
  TFieldSpec(std::string name, uint8_t type, uint8_t subType = 0, uint8_t size = 0, uint8_t decimals = 0,
            bool required = false, std::string minimum = {}, std::string maximum = {}, std::string defaultText = {},
            std::string expression = {})
      : Name(std::move(name)), Type(type), SubType(subType), Size(size), Decimals(decimals), Required(required),
        Minimum(std::move(minimum)), Maximum(std::move(maximum)), Default(std::move(defaultText)),
        Expression(std::move(expression)) {}

  std::string Name;
  uint8_t Type = fldUndefined;
  uint8_t SubType = subNone;
  uint8_t Size = 0;      // characters or bytes of types 1, 9 and 15
  uint8_t Decimals = 0;  // type 8
  bool Required = false;
  std::string Minimum, Maximum, Default, Expression;
};

// The descriptors of a new descriptor set, by the field definition rules: names (10038),
// numbers, types and sizes (10000), minimum, maximum and default texts in the table's
// locale settings (10006), decimals, stored sizes and offsets. Field numbers are the
// positions in the list. Raises with the data file's name.
std::vector<TFieldDescriptor> DefineFields(const std::vector<TFieldSpec>& fields, uint16_t language,
                                           uint16_t sort, const std::string& fileName,
                                           uint16_t* recordSize, uint16_t* calcAreaSize);

// Whether a descriptor text converts to the field's type (rule 3 of field definition),
// in the installed settings.
bool IsValidDescriptorText(uint8_t type, const std::string& text);

// A table's header and descriptors as read and validated from an open data file.
struct TTableImage {
  TTableHeader header;
  std::vector<TFieldDescriptor> descriptors;
};

// Reads the header and descriptors of an open data file and runs the open-time checks
// in order: version (12035), locale (15878), password (10498: passwordKnown is asked
// with the deciphered password and answers whether it may be used), descriptor layout,
// record size and file size (8961). Every size is checked before it sizes a read.
// Without checkLength the records' part of the file is not compared with the header's
// record count and free chain (what a repair cuts and mends), only the structure read.
TTableImage ReadTableImage(TFileHandler& file, const std::function<bool(const std::string&)>& passwordKnown,
                           bool checkLength = true);

// The change counter of a table file (its first 4 bytes, deciphered when the table is
// enciphered), as other users compare it to notice a change.
int32_t ReadChangeCounter(TFileHandler& file, bool encrypted);

// Writes the header (change counter + 1, update stamp now, modified mark as given in
// the image, then cleared) at offset 0.
void WriteTableHeader(TFileHandler& file, TTableHeader& header);

}  // namespace ovrin
