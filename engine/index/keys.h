// Keys: fixed-length byte strings built from a record's key fields, so that in a table
// without a locale unsigned byte comparison is the index order.
//
// Per key field: an indicator byte (1 value, 0 null) and the field's stored size S of
// encoded data: integers, dates and times big-endian with the top bit inverted; booleans
// and words big-endian; BCD as 64-bit with the top bit inverted; floats and timestamps
// as sortable doubles; strings copied (upper-cased for case-insensitive indexes; by the
// table locale's mapping when it has one) and zero-filled; other types copied. A
// non-unique secondary index appends the record identifier (4 bytes, integer form).
// The rest of the key up to L is zero.
//
// Descending: in a table without a locale, a descending field of an ascending index is
// inverted from its indicator byte on (S bytes for a string, whose last byte stays, S + 1
// for other types); a descending index reverses the comparison instead. With a locale,
// strings compare by the locale's collation field by field and descending is applied in
// the comparison.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/format/table_format.h"
#include "engine/index/index_format.h"

namespace ovrin {

struct TKeyField {
  uint8_t type = 0;
  uint16_t storedSize = 0;
  uint16_t offset = 0;  // indicator byte in the record (autoincrement: the value at 5)
  bool autoInc = false;
  bool descending = false;
};

// Everything needed to build and compare the keys of one index slot.
class TKeyBuilder {
 public:
  TKeyBuilder() = default;
  // Raises 10023 (a field number no descriptor carries) or 12292 (a blob field) naming
  // the file and the index.
  TKeyBuilder(const TIndexHeader& header, int slot, const std::vector<TFieldDescriptor>& fields,
              uint16_t language, uint16_t sort, const std::string& fileName);

  int Slot() const { return slot_; }
  uint16_t KeyLength() const { return keyLength_; }
  bool Descending() const { return descending_; }
  bool IdSuffix() const { return idSuffix_; }
  const std::vector<TKeyField>& Fields() const { return fields_; }
  TIndexShape Shape() const { return shape_; }

  // Builds the key of a record buffer (the record identifier is read from its bytes 5..8).
  void Build(const uint8_t* record, uint8_t* key) const;
  // -1, 0 or 1 over the first n bytes, in index order (descending index: reversed).
  // Keys without text under a locale compare as bytes, here (the binary searches of a
  // change make dozens of comparisons).
  int Compare(const uint8_t* a, const uint8_t* b, size_t n) const {
    if (n > keyLength_) n = keyLength_;
    if (slot_ != idxfmt::kDeletedSlot && language_ != 0) return CompareWithText(a, b, n);
    const int c = std::memcmp(a, b, n);
    const int sign = c < 0 ? -1 : (c > 0 ? 1 : 0);
    return descending_ ? -sign : sign;
  }
  int Compare(const uint8_t* a, const uint8_t* b) const { return Compare(a, b, keyLength_); }
  // Key bytes of the first fieldCount key fields; with a partial length c for the next
  // (string) field, c + 1 more bytes.
  size_t PrefixLength(int fieldCount, int partialLength = -1) const;
  // Fills the key from the prefix on: for a search key or a range start 0x00 in an
  // ascending index and 0xFF in a descending one; for a range end the opposite.
  void FillSearchKey(uint8_t* key, size_t prefix) const;
  void FillRangeEnd(uint8_t* key, size_t prefix) const;

 private:
  // Compare for keys whose text fields compare under the index's locale.
  int CompareWithText(const uint8_t* a, const uint8_t* b, size_t n) const;
  int slot_ = 0;
  uint16_t keyLength_ = 0;
  bool descending_ = false;
  bool caseInsensitive_ = false;
  bool idSuffix_ = false;
  uint16_t language_ = 0, sort_ = 0;
  std::vector<TKeyField> fields_;
  TIndexShape shape_;
};

// The "Sys Deleted" key of a record: its deleted flag, then its identifier in key form.
void BuildDeletionKey(const uint8_t* record, uint8_t* key);

// Key length of an index over the given fields: the sum of (S + 1), plus 4 for a
// non-unique secondary index.
uint16_t KeyLengthFor(const std::vector<TKeyField>& fields, bool idSuffix);

// Successor and predecessor of a key read as one big-endian number; all 0xFF stays all
// 0xFF, all 0x00 stays all 0x00.
void KeySuccessor(uint8_t* key, size_t length);
void KeyPredecessor(uint8_t* key, size_t length);

}  // namespace ovrin
