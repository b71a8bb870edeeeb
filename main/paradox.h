// A reader of Paradox tables (.DB with their .MB blob files), our own, hardened against
// damaged files: every size, count and offset is checked against the file before it is
// used, the data block chain is walked with a visited set and bounded by the file, and a
// damaged table gives an error, never a crash, a hang or an allocation sized from an
// unchecked value.
//
// .DB layout (little-endian): an 88-byte header (record size at 0, header size at 2,
// file type at 4, block size in KB at 5, record count at 6, block count at 12, first
// block at 14, field count at 0x21, encryption key at 0x25, version at 0x39), for
// version 4.0 and later a data header to 0x78 (its key at 0x5C is used when the first
// says FF00FF00), then per field a type and a size byte, a pointer, one pointer per field,
// the table name (79 bytes, 261 from version 7) and the field names, zero-terminated.
// Data blocks of (block size) bytes follow the header: a 6-byte block header (next block,
// previous block, (records - 1) * record size) and the records. Values are big-endian,
// integers and dates with the sign bit inverted, doubles with the sign bit set for
// values >= 0 and every bit inverted for negative ones; all-zero bytes are null.
// Encrypted tables have every data block enciphered (the header is plain), and their .MB
// enciphered in 256-byte chunks.
//
// Blob fields hold a leader (the first bytes of the value), then the .MB offset with a
// slot index in its low byte (0xFF: a single block of type 2), the length and a
// modification number. A value no longer than the leader lies in the record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/errors.h"

namespace hollard {

// Errors of the Paradox reader: the file's name and what is wrong with it.
class EParadoxError : public ovrin::EDatabaseError {
 public:
  using ovrin::EDatabaseError::EDatabaseError;
};

enum TParadoxType : uint8_t {
  pxAlpha = 0x01, pxDate = 0x02, pxShort = 0x03, pxLong = 0x04, pxCurrency = 0x05, pxNumber = 0x06,
  pxLogical = 0x09, pxMemo = 0x0C, pxBlob = 0x0D, pxFmtMemo = 0x0E, pxOle = 0x0F, pxGraphic = 0x10,
  pxTime = 0x14, pxTimestamp = 0x15, pxAutoInc = 0x16, pxBcd = 0x17, pxBytes = 0x18,
};

struct TParadoxField {
  std::string name;
  uint8_t type = 0;
  uint8_t size = 0;     // bytes in the record
  uint16_t offset = 0;  // within the record
  bool IsBlob() const { return type >= pxMemo && type <= pxGraphic; }
};

class TParadoxFile {
 public:
  // Opens and checks the table; blobPath may be empty when the table has no blob fields
  // or its .MB is missing (reading a blob stored outside the record then fails).
  void Open(const std::string& dbPath, const std::string& blobPath);
  void Close();
  ~TParadoxFile() { Close(); }
  TParadoxFile() = default;
  TParadoxFile(const TParadoxFile&) = delete;
  TParadoxFile& operator=(const TParadoxFile&) = delete;
  bool IsOpen() const { return dbFd_ >= 0; }

  const std::vector<TParadoxField>& Fields() const { return fields_; }
  int FieldIndex(const std::string& name) const;  // -1 when there is none
  // The records found along the data block chain; the header's own count of them, which
  // differs when the chain is damaged (a link cut short drops the blocks after it).
  int32_t RecordCount() const { return static_cast<int32_t>(records_.size()); }
  uint32_t HeaderRecordCount() const { return headerRecords_; }
  // The data blocks the header counts, and the whole blocks the file holds after its
  // header. A sound table's file holds exactly the blocks its header counts; more are
  // blocks an older or overwritten header does not know of, whose records no chain reaches.
  uint32_t HeaderBlockCount() const { return headerBlocks_; }
  uint64_t BlocksInFile() const { return blockSize_ && dbSize_ > headerSize_ ? (dbSize_ - headerSize_) / blockSize_ : 0; }
  uint16_t RecordSize() const { return recordSize_; }
  uint8_t Version() const { return version_; }
  bool Encrypted() const { return encryption_ != 0; }
  uint16_t CodePage() const { return codePage_; }
  const std::string& Path() const { return path_; }

  // The raw bytes of record i (0-based), deciphered; valid until the next record of
  // another block is asked for.
  const uint8_t* Record(int32_t i) const;
  // Whether the field of record i is null: all its bytes zero, or a blank BCD (sign bit
  // and every digit clear, whatever its decimals byte says).
  bool IsNull(int32_t record, int field) const;
  // Typed reads; each throws EParadoxError for a type that does not convert.
  std::string Text(int32_t record, int field) const;       // Alpha bytes, memo contents, numbers as text
  int64_t Integer(int32_t record, int field) const;        // Short, Long, AutoInc, Logical, Number rounded
  double Number(int32_t record, int field) const;          // Number, Currency
  bool Logical(int32_t record, int field) const;
  // Days since 30 December 1899 with the time of day as fraction (Date, Time, Timestamp).
  double DateTime(int32_t record, int field) const;
  // A blob field's whole value, byte for byte.
  std::string Blob(int32_t record, int field) const;
  // The same value in a buffer the caller keeps from one value to the next. The answer
  // views the buffer (or, for a value held in the record itself, the record's block) and
  // stays valid until the buffer is used again or another record is read. The buffer only
  // grows, so that it is neither zeroed nor allocated again for each value.
  std::string_view BlobInto(int32_t record, int field, std::string& buffer) const;
  // Whether the table has blob fields (and so needs its blob file).
  bool HasBlobFields() const;
  // For a table with blob fields: its blob file is there, a regular file, starts with
  // its header block, and holds every blob the records point at outside themselves
  // (checked against the file's size, without reading the blobs). Throws EParadoxError.
  void CheckBlobFile() const;
  // The length the record declares for its blob, without reading the blob file.
  uint32_t BlobLength(int32_t record, int field) const;

 private:
  [[noreturn]] void Damaged(const std::string& what) const;
  const uint8_t* FieldBytes(int32_t record, int field) const;
  void OpenBlobFile() const;
  // Bytes of the .MB (deciphered), read on demand: the blob file can be far larger than
  // memory.
  std::string ReadBlobBytes(uint64_t offset, size_t count) const;
  std::string_view ReadBlobBytes(uint64_t offset, size_t count, std::string& buffer) const;
  // Where a blob stored outside its record lies, with every check reading it makes (its
  // block's type, slot and lengths), without reading the value: its offset in the blob
  // file, and its length in *valueLength. Throws EParadoxError naming the damage.
  uint64_t BlobPlace(int32_t record, int field, std::string& buffer, uint32_t* valueLength) const;

  std::string path_, blobPath_;
  // Where a record lies: its data block (1-based) and its place in the block.
  struct TRecordPlace {
    uint32_t block;
    uint16_t slot;
  };
  // The data block, read and deciphered unless it is the one at hand.
  const uint8_t* LoadBlock(uint32_t block) const;

  int dbFd_ = -1;
  uint64_t dbSize_ = 0;
  mutable std::vector<uint8_t> block_;  // the data block at hand, deciphered
  mutable uint32_t blockNumber_ = 0;
  mutable int blobFd_ = -1;
  mutable uint64_t blobSize_ = 0;
  uint16_t recordSize_ = 0, headerSize_ = 0, codePage_ = 0;
  uint32_t blockSize_ = 0;
  uint8_t version_ = 0;
  uint32_t encryption_ = 0;
  uint32_t headerRecords_ = 0;
  uint32_t headerBlocks_ = 0;
  std::vector<TParadoxField> fields_;
  std::vector<TRecordPlace> records_;
};

}  // namespace hollard
