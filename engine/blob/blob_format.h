// The blob file format. A 512-byte header, then blocks of B bytes (the table's blob block
// size; 0 in the data file header means 512) at 512, 512 + B, 512 + 2B, ... A block is
// addressed by its file offset (0 = none). All integers little-endian.
//
// Header (512 bytes):
//     0 i32   change counter (+1 at every header write)
//     4 4     reserved
//     8 u8    format version, must be 3
//     9 i32   free block list (0: none)
//    13 i32   end-of-file offset (where the next new block goes; 512 when empty)
//    17 u8    header-modified mark
//    18 494   reserved
//
// Block (B bytes): 18 header bytes, then B - 18 bytes of data.
//     0 i32   previous block of the chain (0 for the first)
//     4 i32   next block (0 for the last; in a free block the next free block)
//     8 u16   used bytes of data in this block
//    10 i32   owner record (physical record number)
//    14 i32   blob length (first block only; 0 in the others)
#pragma once

#include <array>
#include <cstdint>

#include "engine/base/coding.h"

namespace ovrin {

class TFileHandler;

namespace blobfmt {
constexpr uint8_t kVersion = 3;
constexpr uint32_t kHeaderSize = 512;
constexpr uint32_t kBlockHeaderSize = 18;
constexpr int32_t kMinBlockSize = 64;
constexpr int32_t kMaxBlockSize = 65536;
constexpr int64_t kMaxEndOfFile = 2000000000;  // a blob file never grows past this
constexpr size_t hChangeCounter = 0, hVersion = 8, hFreeList = 9, hEndOfFile = 13, hModified = 17;
constexpr size_t bPrevious = 0, bNext = 4, bUsed = 8, bOwner = 10, bLength = 14;
}  // namespace blobfmt

class TBlobHeader {
 public:
  std::array<uint8_t, blobfmt::kHeaderSize> bytes{};

  // A new file's header: version 3, no free blocks, end of file 512, marked modified.
  static TBlobHeader NewImage();

  int32_t ChangeCounter() const { return LoadLEI32(&bytes[blobfmt::hChangeCounter]); }
  void SetChangeCounter(int32_t v) { StoreLE32(&bytes[blobfmt::hChangeCounter], static_cast<uint32_t>(v)); }
  uint8_t Version() const { return bytes[blobfmt::hVersion]; }
  int32_t FreeList() const { return LoadLEI32(&bytes[blobfmt::hFreeList]); }
  void SetFreeList(int32_t v) { Set32(blobfmt::hFreeList, v); }
  int32_t EndOfFile() const { return LoadLEI32(&bytes[blobfmt::hEndOfFile]); }
  void SetEndOfFile(int32_t v) { Set32(blobfmt::hEndOfFile, v); }
  bool Modified() const { return bytes[blobfmt::hModified] != 0; }
  void SetModified(bool v) { bytes[blobfmt::hModified] = v ? 1 : 0; }

 private:
  void Set32(size_t at, int32_t v) {
    if (LoadLEI32(&bytes[at]) != v) SetModified(true);
    StoreLE32(&bytes[at], static_cast<uint32_t>(v));
  }
};

// Whether a block size taken from a data file header can be used.
inline bool IsValidBlockSize(int32_t size) {
  return size >= blobfmt::kMinBlockSize && size <= blobfmt::kMaxBlockSize;
}

// Header writes: change counter + 1, the 512 bytes at offset 0 (a copy enciphered when
// the table is), then the mark is cleared.
void WriteBlobHeader(TFileHandler& file, TBlobHeader& header, bool encrypted);

}  // namespace ovrin
