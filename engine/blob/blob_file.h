// TBlobFile: the blob file of an open table. Each blob value is a chain of blocks; the
// record's blob field holds the offset of its first block. While a record is edited,
// every blob that was opened lives in memory as a TBlobBuffer and is written back whole
// when the record is saved. Blocks are kept in a cache of TBlock objects and written
// back in runs of adjacent blocks.
//
// Every link that is followed must be a block boundary from 512 up to below the
// end-of-file offset, and a walk takes at most the blocks its length needs; a chain
// that loops, leaves the file or names another record is 8963 (9998 while freeing, or a
// repair-log message and a cut when the table is being repaired). A block at the
// end-of-file offset is only ever taken as a new block by allocation, never by
// following a link. Freed blocks get owner record 0, so a chain can never free a block
// twice.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/blob/blob_format.h"

namespace ovrin {

class TBlobFile;

class TBlock {
 public:
  int32_t offset = 0;
  bool modified = false;
  uint16_t pinCount = 0;
  bool readAhead = false;
  int32_t previous = 0;
  int32_t next = 0;
  uint16_t used = 0;
  int32_t owner = 0;
  int32_t length = 0;
  std::vector<uint8_t> data;  // B - 18 bytes

  void Clear();
};

class TBlobBuffer {
 public:
  int32_t handle = 0;
  bool modified = false;
  int32_t recordNumber = 0;
  uint16_t fieldNumber = 0;
  int32_t firstBlock = 0;
  std::vector<uint8_t> data;
  bool lenient = false;
};

// What the data file above provides.
class TBlobFileOwner {
 public:
  virtual ~TBlobFileOwner() = default;
  // The table's read-lock step; true when another user changed the table (the blob file
  // has then re-read its header and forgotten its blocks).
  virtual bool ReadLockStep(TBlobFile& blob) = 0;
};

class TBlobFile : public TFileHandler {
 public:
  static constexpr int kMaxOpenBlobs = 64;

  explicit TBlobFile(TBlobFileOwner* owner = nullptr) : owner_(owner) {}
  ~TBlobFile() override;

  std::string MapFileName(const std::string& name) const override;
  // Opens and reads the header. blockSize is the data file header's value (0: 512).
  // A version other than 3 is 12035; a header that disagrees with the block size or the
  // file is 8961; a block size that cannot be used is 9498.
  void OpenBlobFile(int32_t blockSize, bool encrypted);
  void Close() override;

  void SetStrictChangeDetection(bool on) { strict_ = on; }
  void SetHeldMode(bool on) { held_ = on; }
  // While repairing, broken chains found when freeing are cut and reported here instead
  // of raising 9998.
  void SetRepairing(bool on, std::function<void(const std::string&)> log = nullptr) {
    repairing_ = on;
    repairLog_ = std::move(log);
  }

  int32_t BlockSize() const { return blockSize_; }
  int32_t BlockData() const { return blockSize_ - int32_t(blobfmt::kBlockHeaderSize); }
  TBlobHeader& Header() { return header_; }
  // Blocks a blob of n bytes occupies.
  int64_t BlocksFor(int64_t n) const { return (n + BlockData() - 1) / BlockData(); }

  // ---- blob operations: result codes, 0 for success
  uint16_t OpenBlob(int32_t firstBlock, uint16_t field, int32_t record, bool lenient, int32_t* handle);
  uint16_t CloseBlob(int32_t handle, int32_t* firstBlock);
  uint16_t ReadBlob(int32_t handle, uint32_t offset, uint32_t count, void* destination, uint32_t* read);
  uint16_t WriteBlob(int32_t handle, uint32_t offset, uint32_t count, const void* source);
  uint16_t SetBlobSize(int32_t handle, uint32_t size);
  uint16_t BlobSize(int32_t handle, uint32_t* size);
  void SetRecordNumber(int32_t record);
  // Writes every modified open blob; they must all belong to one record (else 8963).
  void SaveOpenBlobs();
  // Hands each open blob's field and first block offset to the setter.
  void StoreReferences(const std::function<void(uint16_t field, int32_t firstBlock)>& set);
  void CloseAllBlobs();
  int OpenBlobCount() const { return static_cast<int>(open_.size()); }
  TBlobBuffer* FindBlob(int32_t handle);

  // Frees a whole chain (the record's delete path).
  void FreeChain(int32_t first, int32_t record, int64_t blocks);

  // ---- cache and file
  TBlock* GetBlock(int32_t offset, int64_t readAhead = 1);
  void ReleaseBlock(TBlock* block);
  TBlock* AllocateBlock();
  void FreeBlock(TBlock* block);
  void FlushBlocks();
  void ForgetBlocks();
  void UnpinAll();
  void TrimCache();
  void WriteHeader(bool force);
  void ReadHeader();
  bool HeaderChanged();
  // Whether the file's change counter is still the one this cache read; the counter
  // alone is read, without the header.
  bool CounterUnchanged();
  size_t CachedBlocks() const { return blocks_.size(); }
  size_t CacheCapacity() const { return capacity_; }

  bool TakeWriteLock() { return locks_.TakeWrite(*this); }
  void ReleaseWriteLock() { locks_.ReleaseWrite(*this); }
  bool TakeReadLock() { return locks_.TakeRead(*this); }
  void ReleaseReadLock() { locks_.ReleaseRead(*this); }
  bool ReadLockHeld() const { return locks_.ReadHeld(); }

  struct TStats {
    long requested = 0, reads = 0, blocksRead = 0, writes = 0, blocksWritten = 0;
  };
  const TStats& Stats() const { return stats_; }

  // ---- undo of a failed change: the blocks and open blobs a change touched are put
  // back as they were, so that no later write-back puts half a change on disk.
  void BeginUndo();
  void CommitUndo();
  void RollbackUndo();

  // ---- consistency (reads only)
  // Walks the chain of a blob and describes what is wrong with it; answers its length
  // as stored in the first block (or -1 when unreadable). Visited blocks are added to
  // seen, so that a caller can find blocks shared between chains.
  int64_t VerifyChain(int32_t first, int32_t record, std::vector<std::string>* problems,
                      std::unordered_map<int32_t, int32_t>* seen);
  // Walks the free list and describes what is wrong with it.
  void VerifyFreeList(std::vector<std::string>* problems, std::unordered_map<int32_t, int32_t>* seen);

  // ---- repair (the file open exclusively, repairing on)
  // Follows the chain of a record's blob and mends it: a link that leaves the file,
  // returns, or reaches a block of another record or of another chain is cut there (with
  // the repair message); back links and the first block's length are set to what the
  // chain holds. Answers false when not even the first block is the record's: the
  // caller then cuts the reference. Blocks kept are added to seen.
  bool RepairChain(int32_t first, int32_t record, std::unordered_map<int32_t, int32_t>* seen);
  // Makes every block that no chain in seen holds free, in one new free list; answers
  // how many blocks the list holds.
  int64_t RebuildFreeList(const std::unordered_map<int32_t, int32_t>& seen);
  void RepairLog(const std::string& message) {
    if (repairLog_) repairLog_(message);
  }

  // Thrown when another user's change was found; loads start again.
  struct TRestart {};

 private:
  [[noreturn]] void Corrupt() const { Raise(errBlobCorrupt); }
  bool LinkOk(int32_t offset) const;
  TBlock* ObtainBlockObject();
  void LoadBlock(TBlock* block, const uint8_t* bytes);
  void StoreBlock(const TBlock* block, uint8_t* bytes) const;
  void WriteRun(const std::vector<TBlock*>& run);
  void Load(TBlobBuffer& blob);
  void Save(TBlobBuffer& blob);
  void BrokenChain(int32_t record, bool recursive, TBlock* current);

  void Capture(TBlock* block, bool fresh);
  struct TBlockImage {
    TBlock block;
    bool fresh = false;
    bool written = false;
  };
  struct TOpenImage {
    int32_t firstBlock;
    bool modified;
    int32_t record;
  };
  bool undoActive_ = false;
  TBlobHeader undoHeader_;
  std::unordered_map<int32_t, TBlockImage> undoBlocks_;
  std::unordered_map<int32_t, TOpenImage> undoOpen_;

  TBlobFileOwner* owner_;
  TBlobHeader header_;
  int32_t blockSize_ = 512;
  bool encrypted_ = false;
  bool strict_ = false;
  bool held_ = false;
  bool noRestart_ = false;
  bool repairing_ = false;
  std::function<void(const std::string&)> repairLog_;
  TAreaLocks locks_;
  std::vector<std::unique_ptr<TBlobBuffer>> open_;
  int32_t nextHandle_ = 1;
  // The cache: most recently used first, with an index by offset.
  std::list<std::unique_ptr<TBlock>> blocks_;
  std::unordered_map<int32_t, std::list<std::unique_ptr<TBlock>>::iterator> byOffset_;
  size_t capacity_ = 511;
  // The blocks handed out since they were last written and unpinned: only these can be
  // pinned or modified, so flushing and unpinning look at them instead of the whole
  // cache. A block may be listed twice or while clean; every listed block is cached.
  std::vector<TBlock*> touched_;
  // Counts the times the cache was emptied: a block pointer from before is gone then.
  uint64_t generation_ = 0;
  // Releases the block a pointer names at the end of a scope, unless the cache was
  // emptied meanwhile (another user's change was found and the load starts again).
  struct TReleaseGuard {
    TBlobFile* file;
    TBlock** block;
    uint64_t generation;
    ~TReleaseGuard() {
      if (file->generation_ == generation) file->ReleaseBlock(*block);
    }
  };
  void Touch(TBlock* block);
  void Untouch(TBlock* block);
  void CompactTouched();
  int32_t readAheadLimit_ = 127;
  TStats stats_;
  // The block headers and pieces of a run written without a copy, kept from one run to
  // the next.
  std::vector<uint8_t> runHeads_;
  std::vector<TWritePiece> runPieces_;
};

}  // namespace ovrin
