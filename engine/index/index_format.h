// The index file format: a 4,096-byte header with 32 index descriptors, then 4,096-byte
// pages addressed by their file offset (0 = no page). All integers little-endian.
//
// Header (4,096 bytes):
//     0 i32   change counter (+1 at every header write)
//     4 4     reserved
//     8 u8    format version, must be 3
//     9 i32   end-of-file offset (where the next new page goes; 4,096 when empty)
//    13 u8    secondary index count n (slots 1..n in use; at most 30)
//    14       32 descriptors of 120 bytes, slot s at 14 + 120 * s
//  3854 120   reserved
//  3974 i32   record count (live records of the table)
//  3978 u8    no-primary-index flag (slot 0 holds no tree: natural order)
//  3979 u8    header-modified mark
//  3980 116   reserved
//
// Descriptor (120 bytes):
//     0 31    index name, shortstring[30] (slot 0: empty, called "Primary")
//    31 u16   key length L
//    33 u8    descending
//    34 u8    case-insensitive
//    35 u8    unique (slot 0 is always treated as unique)
//    36 u8    compression of leaf pages: 0 none, 1 duplicate, 2 trailing, 3 full
//    37 u8    key field count (0..16)
//    38 16    per-field descending flags
//    54 16xu16 key field numbers
//    86 i32   root page (0: empty)
//    90 i32   free page list head (0: none)
//    94 26    reserved
// Slot 31 is "Sys Deleted": L = 5, no fields, no compression; key = deleted flag and
// the record identifier in key form.
//
// Page (4,096 bytes):
//     0 u8    type: 0 root with children, 1 interior, 2 leaf, 3 root that is a leaf
//     1 u16   entry count (0 in a free page)
//     3 i32   previous page on the same level
//     7 i32   next page on the same level; in a free page the next free page
//    11 u16   packed size of a compressed leaf's entries (0 otherwise)
//    13       entries, back to back; the rest of the page is zero
// Entries (L = key length):
//   interior:           key[L], child i32, subtree count i32                 L + 8
//   leaf, none:         key[L], record i32                                   L + 4
//   leaf, duplicate:    p u16, key[p..L-1], record                           L - p + 6
//   leaf, trailing:     t u16, key[0..L-t-1], record                         L - t + 6
//   leaf, full:         p u8, t u8, key[p..L-t-1], record                    L - p - t + 6
// p is the prefix shared with the previous key of the page (full: at most 255); t is the
// run of zero bytes that ends the considered part of the key, counted within its last
// (considered length mod 256) bytes. In a non-unique secondary index the last 4 key bytes
// (the record identifier) never take part in t: the stored bytes stop before the zero
// run and the 4 identifier bytes follow (full compression with L - p < 5: t = 0).
#pragma once

#include <array>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/coding.h"

namespace ovrin {

namespace idxfmt {
constexpr uint8_t kVersion = 3;
constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kHeaderSize = 4096;
constexpr uint32_t kEntryArea = 4083;
constexpr uint32_t kPageHeaderSize = 13;
constexpr int kSlots = 32;
constexpr int kDeletedSlot = 31;
constexpr int kMaxSecondary = 30;
constexpr int kMaxKeyFields = 16;
constexpr uint16_t kDeletedKeyLength = 5;
constexpr uint8_t kNoIndex = 255;
constexpr int64_t kMaxEndOfFile = 2000000000;
constexpr const char* kDeletedName = "Sys Deleted";
constexpr const char* kPrimaryName = "Primary";

constexpr size_t hChangeCounter = 0, hVersion = 8, hEndOfFile = 9, hSecondaryCount = 13,
                 hDescriptors = 14, hRecordCount = 3974, hNoPrimary = 3978, hModified = 3979;
constexpr size_t kDescriptorSize = 120;
constexpr size_t dName = 0, dKeyLength = 31, dDescending = 33, dCaseInsensitive = 34, dUnique = 35,
                 dCompression = 36, dFieldCount = 37, dFieldDescending = 38, dFieldNumbers = 54,
                 dRoot = 86, dFreeList = 90;
constexpr size_t pType = 0, pCount = 1, pPrevious = 3, pNext = 7, pPackedSize = 11;

enum TPageType : uint8_t { ptRoot = 0, ptInterior = 1, ptLeaf = 2, ptRootLeaf = 3 };
enum TCompression : uint8_t { cmpNone = 0, cmpDuplicate = 1, cmpTrailing = 2, cmpFull = 3 };

inline bool IsLeafType(uint8_t type) { return type == ptLeaf || type == ptRootLeaf; }
inline bool IsRootType(uint8_t type) { return type == ptRoot || type == ptRootLeaf; }
// Entry limits: interior pages floor(4083 / (L + 10)); uncompressed leaves
// floor(4083 / (L + 6)). Compressed leaves are limited by their packed size only.
inline uint32_t InteriorLimit(uint32_t keyLength) { return kEntryArea / (keyLength + 10); }
inline uint32_t LeafLimit(uint32_t keyLength) { return kEntryArea / (keyLength + 6); }
}  // namespace idxfmt

// A view of one 120-byte descriptor inside a header image.
class TIndexDescriptor {
 public:
  explicit TIndexDescriptor(uint8_t* bytes) : b_(bytes) {}
  std::string Name() const { return LoadShortString(b_ + idxfmt::dName, 30); }
  uint16_t KeyLength() const { return LoadLE16(b_ + idxfmt::dKeyLength); }
  bool Descending() const { return b_[idxfmt::dDescending] != 0; }
  bool CaseInsensitive() const { return b_[idxfmt::dCaseInsensitive] != 0; }
  bool Unique() const { return b_[idxfmt::dUnique] != 0; }
  uint8_t Compression() const { return b_[idxfmt::dCompression]; }
  uint8_t FieldCount() const { return b_[idxfmt::dFieldCount]; }
  bool FieldDescending(int i) const { return b_[idxfmt::dFieldDescending + i] != 0; }
  uint16_t FieldNumber(int i) const { return LoadLE16(b_ + idxfmt::dFieldNumbers + 2 * i); }
  int32_t Root() const { return LoadLEI32(b_ + idxfmt::dRoot); }
  int32_t FreeList() const { return LoadLEI32(b_ + idxfmt::dFreeList); }

  void SetName(const std::string& v) { StoreShortString(b_ + idxfmt::dName, 30, v); }
  void SetKeyLength(uint16_t v) { StoreLE16(b_ + idxfmt::dKeyLength, v); }
  void SetDescending(bool v) { b_[idxfmt::dDescending] = v; }
  void SetCaseInsensitive(bool v) { b_[idxfmt::dCaseInsensitive] = v; }
  void SetUnique(bool v) { b_[idxfmt::dUnique] = v; }
  void SetCompression(uint8_t v) { b_[idxfmt::dCompression] = v; }
  void SetFieldCount(uint8_t v) { b_[idxfmt::dFieldCount] = v; }
  void SetFieldDescending(int i, bool v) { b_[idxfmt::dFieldDescending + i] = v; }
  void SetFieldNumber(int i, uint16_t v) { StoreLE16(b_ + idxfmt::dFieldNumbers + 2 * i, v); }
  // Root and free list report whether the value changed, so the header can be marked.
  bool SetRoot(int32_t v) { return Set32(idxfmt::dRoot, v); }
  bool SetFreeList(int32_t v) { return Set32(idxfmt::dFreeList, v); }

 private:
  bool Set32(size_t at, int32_t v) {
    if (LoadLEI32(b_ + at) == v) return false;
    StoreLE32(b_ + at, static_cast<uint32_t>(v));
    return true;
  }
  uint8_t* b_;
};

class TIndexHeader {
 public:
  std::array<uint8_t, idxfmt::kHeaderSize> bytes{};

  // The image of a new index file: zeros, version 3, end of file 4,096, slot 31 named
  // "Sys Deleted" with key length 5, and the header-modified mark set.
  static TIndexHeader NewImage();

  int32_t ChangeCounter() const { return LoadLEI32(&bytes[idxfmt::hChangeCounter]); }
  void SetChangeCounter(int32_t v) { StoreLE32(&bytes[idxfmt::hChangeCounter], static_cast<uint32_t>(v)); }
  uint8_t Version() const { return bytes[idxfmt::hVersion]; }
  int32_t EndOfFile() const { return LoadLEI32(&bytes[idxfmt::hEndOfFile]); }
  void SetEndOfFile(int32_t v) { Set32(idxfmt::hEndOfFile, v); }
  uint8_t SecondaryCount() const { return bytes[idxfmt::hSecondaryCount]; }
  void SetSecondaryCount(uint8_t v) { Set8(idxfmt::hSecondaryCount, v); }
  int32_t RecordCount() const { return LoadLEI32(&bytes[idxfmt::hRecordCount]); }
  void SetRecordCount(int32_t v) { Set32(idxfmt::hRecordCount, v); }
  bool NoPrimary() const { return bytes[idxfmt::hNoPrimary] != 0; }
  void SetNoPrimary(bool v) { Set8(idxfmt::hNoPrimary, v ? 1 : 0); }
  bool Modified() const { return bytes[idxfmt::hModified] != 0; }
  void SetModified(bool v) { bytes[idxfmt::hModified] = v ? 1 : 0; }

  TIndexDescriptor Slot(int slot) { return TIndexDescriptor(&bytes[idxfmt::hDescriptors + idxfmt::kDescriptorSize * slot]); }
  TIndexDescriptor Slot(int slot) const {
    return TIndexDescriptor(const_cast<uint8_t*>(&bytes[idxfmt::hDescriptors + idxfmt::kDescriptorSize * slot]));
  }
  void SetRoot(int slot, int32_t v) {
    if (Slot(slot).SetRoot(v)) SetModified(true);
  }
  void SetFreeList(int slot, int32_t v) {
    if (Slot(slot).SetFreeList(v)) SetModified(true);
  }

 private:
  void Set8(size_t at, uint8_t v) {
    if (bytes[at] != v) SetModified(true);
    bytes[at] = v;
  }
  void Set32(size_t at, int32_t v) {
    if (LoadLEI32(&bytes[at]) != v) SetModified(true);
    StoreLE32(&bytes[at], static_cast<uint32_t>(v));
  }
};

// What packing needs to know of an index.
struct TIndexShape {
  uint16_t keyLength = 0;
  uint8_t compression = idxfmt::cmpNone;
  bool idSuffix = false;  // a non-unique secondary index: keys end in the record identifier
};

// The unpacked contents of one page: header fields and entries in flat arrays.
struct TPageData {
  uint8_t type = idxfmt::ptRoot;
  int32_t previous = 0;
  int32_t next = 0;
  uint16_t packedSize = 0;
  uint16_t keyLength = 0;
  std::vector<uint8_t> keys;       // Count() * keyLength bytes
  std::vector<int32_t> values;     // child page offset (interior) or record number (leaf)
  std::vector<int32_t> counts;     // subtree counts (interior pages)
  // Compression counts of compressed leaves. An entry whose counts a change may have
  // moved (a new entry, the one after it, the first of a joined run) is marked
  // kCountsUnknown in leading until ComputeCompression works them out again.
  std::vector<uint16_t> leading;
  std::vector<uint16_t> trailing;
  static constexpr uint16_t kCountsUnknown = 0xFFFF;
  // Entries before this one are as the page's last packing for the file left them (key,
  // record or child, subtree count, compression counts, and so their packed bytes and
  // places): a packing may take their bytes from that one. The mutators lower it; so must
  // whoever changes an entry in place (Touch). 0 when nothing is known.
  uint32_t unchangedBefore = 0;

  uint32_t Count() const { return static_cast<uint32_t>(values.size()); }
  void Touch(uint32_t i) { unchangedBefore = std::min(unchangedBefore, i); }
  bool IsLeaf() const { return idxfmt::IsLeafType(type); }
  uint8_t* Key(uint32_t i) { return keys.data() + size_t(i) * keyLength; }
  const uint8_t* Key(uint32_t i) const { return keys.data() + size_t(i) * keyLength; }
  void Clear();
  // Inserts before position i (0-based).
  void Insert(uint32_t i, const uint8_t* key, int32_t value, int32_t count);
  void Remove(uint32_t i);
  // Moves entries [from, Count()) to the front of other... helpers for splits.
  void MoveTail(uint32_t from, TPageData& other);
  void Append(const TPageData& other);
  void PrependFrom(TPageData& other, uint32_t count);  // moves other's last count entries to our front
  // Moves entries across the boundary between this page and its right neighbour until
  // this page holds count entries.
  void BalanceWith(TPageData& right, uint32_t count);
  // Appends the right neighbour's entries and leaves it empty.
  void TakeAll(TPageData& right);
};

// Works out the leading and trailing counts of a compressed leaf's entries marked
// unknown (the others keep theirs: an entry's counts depend only on its key and the key
// before it) and the page's packed size; for other pages the packed size is 0. Counts
// read from a file are kept as they were stored: they always describe their keys.
void ComputeCompression(TPageData& page, const TIndexShape& shape);
// Bytes one leaf entry takes when packed with counts p and t.
uint32_t LeafEntrySize(const TIndexShape& shape, uint32_t p, uint32_t t);
// Whether the page holds too many entries or bytes for its kind (call after
// ComputeCompression).
bool PageOverflows(const TPageData& page, const TIndexShape& shape);

// Packs into 4,096 bytes, every byte past the entries zero. A free page is written with
// count 0 and no entries. Raises 8965 naming the file when a compressed leaf does not
// fit. zeroFrom: out's bytes from there on are zero already (a buffer that held a packed
// page of that many used bytes), so that only those before it need clearing. Answers how
// many bytes the page uses: past them it is all zeros.
size_t PackPage(const TPageData& page, const TIndexShape& shape, bool freeMark, uint8_t* out,
                const std::string& fileName, size_t zeroFrom = idxfmt::kPageSize);
// The same bytes, packed only from the entry page.unchangedBefore on: the entries before
// it are copied from last, the page's last packing (unenciphered, 4,096 bytes). With
// copiedTo, says up to where out holds last's bytes from the header's end on.
size_t PackPageAfter(const TPageData& page, const TIndexShape& shape, const uint8_t* last, uint8_t* out,
                     const std::string& fileName, size_t zeroFrom = idxfmt::kPageSize,
                     size_t* copiedTo = nullptr);
// Unpacks 4,096 bytes; with headerOnly the entries are left out. Every count and length
// is checked against the page before it is used: a page that breaks the format is 8965.
void UnpackPage(const uint8_t* in, const TIndexShape& shape, bool headerOnly, TPageData* page,
                const std::string& fileName);

}  // namespace ovrin

namespace ovrin {
class TFileHandler;
// Header writes: change counter + 1, the 4,096 bytes at offset 0 (a copy enciphered when
// the table is), then the mark is cleared. Reads decipher and clear the mark; a version
// other than 3 is 12035.
void WriteIndexHeader(TFileHandler& file, TIndexHeader& header, bool encrypted);
void ReadIndexHeader(TFileHandler& file, TIndexHeader& header, bool encrypted);
}  // namespace ovrin

namespace ovrin {
// Open-time checks of an index header against the rules and the file's size: end of
// file a multiple of 4,096 from 4,096 up to the file size, at most 30 secondary indexes,
// each used slot with a key length from 1 to the largest that leaves 3 entries in an
// interior page, field counts up to 16, compression 0 to 3, roots and free lists on page
// boundaries below the end of file. A breach is 8961 naming the file.
void ValidateIndexHeader(const TIndexHeader& header, int64_t fileSize, const std::string& fileName);
// The largest key length whose interior pages still hold 3 entries.
constexpr uint32_t kMaxKeyLength = idxfmt::kEntryArea / 3 - 10;
}  // namespace ovrin
