// TDataFile: an open table as the storage layer sees it. It owns the data file, the
// index file and the blob file of one table, keeps the header and field descriptors,
// caches records, and offers the cursor layer the record operations: read the current,
// next or prior record, position, search, ranges, fill a new record, append, modify and
// delete, field values and blobs. It also runs the protocol by which several users and
// processes share a table:
//
//   read lock    the index (and blob) file's reader byte; taken at a cache miss, by
//                Refresh, and at every operation with StrictChangeDetection; detects other
//                users' changes. Every header is read under it (or under the write lock):
//                a header read while its writer rewrites it in place can pair the new
//                change counter with old contents, which no later comparison of change
//                counters would notice
//   write lock   the data write lock byte plus the index and blob files' whole lock areas;
//                held for the whole of an Append, Modify or Delete
//   record lock  one byte per physical record, held while a user edits that record
//
// Order of a change (each step may fail; a failure undoes the steps before it, in the
// caches, and releases the locks): read-only check, write lock (and refresh), place and
// record lock, validity checks, duplicate test over every index, key changes over every
// index and "Sys Deleted", record bytes, blobs, write back (header change counter + 1),
// unlock. Nothing of a failed change reaches the files: the caches are restored to what
// they held before it, so no later write-back can put half a change on disk.
//
// Tables are never kept in held mode: every change of a shared table is written through
// at once; an exclusive table writes its changes when cache entries are replaced and at
// close.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/base/file_handler.h"
#include "engine/data/record_map.h"
#include "engine/blob/blob_file.h"
#include "engine/format/table_format.h"
#include "engine/index/filter.h"
#include "engine/index/index_file.h"

namespace ovrin {

class TDataFile;

class TRecord {
 public:
  bool modified = false;
  uint16_t pinCount = 0;
  bool calculatedDone = false;
  int32_t number = 0;
  bool readAhead = false;
  std::vector<uint8_t> buffer;  // logical record size bytes
};

class TDataFile : public TFileHandler, public TIndexFileOwner, public TBlobFileOwner, public TFilterHost {
 public:
  TDataFile();
  ~TDataFile() override;

  std::string MapFileName(const std::string& name) const override;

  // ---- settings (before Open)
  void SetLockRetryCount(uint8_t count) { lockRetryCount_ = count; }
  void SetLockWaitTime(uint16_t ms) { lockWaitTime_ = ms; }
  void SetStrictChangeDetection(bool on) { strict_ = on; }
  void SetForceBufferFlush(bool on) { SetWriteThrough(on); }
  // Asked while the table's password is not in the session's list; answers whether to
  // look again.
  void SetPasswordCallback(std::function<bool(TDataFile&)> callback) { passwordCallback_ = std::move(callback); }
  uint8_t LockRetryCount() const { return lockRetryCount_; }
  uint16_t LockWaitTime() const { return lockWaitTime_; }

  void Open() override;
  void Close() override;

  // ---- table description
  const TTableHeader& Header() const { return header_; }
  const std::vector<TFieldDescriptor>& Fields() const { return fields_; }
  uint16_t RecordSize() const { return recordSize_; }
  uint16_t LogicalRecordSize() const { return static_cast<uint16_t>(recordSize_ + calcAreaSize_); }
  // 9985 naming the number or name when no descriptor carries it.
  const TFieldDescriptor& FieldByNumber(int number) const {
    if (number < 1 || number > static_cast<int>(fields_.size())) BadFieldNumber(number);
    return fields_[static_cast<size_t>(number - 1)];
  }
  const TFieldDescriptor& FieldByName(const std::string& name) const;
  TIndexFile& Index() { return *index_; }
  TBlobFile* Blob() { return blob_.get(); }
  bool HasBlobFile() const { return blob_ != nullptr; }
  bool Encrypted() const { return header_.Encrypted(); }
  // Physical records, deleted ones included (next record number - 1).
  int32_t RecordCount() const { return header_.NextRecordNumber() - 1; }

  // ---- navigation (codes 0, 8705 at the beginning, 8706 at the end)
  uint16_t GetCurrentRecord(uint8_t* buffer, bool lock);
  uint16_t GetNextRecord(uint8_t* buffer);
  uint16_t GetPriorRecord(uint8_t* buffer);
  void First();
  void Last();
  // The nth record (1-based) of the current order, range and filters: the ordinal that
  // SequenceNumber answers, also in natural order.
  void GoToPosition(int32_t n);
  // Searches the current index for the key built from the first fieldCount key fields
  // of a record buffer (partialLength: characters of the next string field, or -1), or
  // for a whole key given as bytes. Makes the record found (or, with nearest, the nearest
  // one) current and copies it into out when given. Answers whether it was found.
  bool FindKey(const uint8_t* recordOrKey, bool isKey, int fieldCount, int partialLength, bool nearest,
               uint8_t* out);
  // After FindKey with a record buffer: moves to the next record and answers whether its
  // key still begins with the searched one (copying it into out).
  bool NextKeyMatch(const uint8_t* record, int fieldCount, int partialLength, uint8_t* out);
  // Bookmarks: the record number (tables in natural order) or the current key.
  std::vector<uint8_t> CurrentPosition();
  // The same into the caller's vector, which keeps its room from record to record.
  void CurrentPosition(std::vector<uint8_t>& out);
  void GoToSavedPosition(const std::vector<uint8_t>& position);
  int ComparePositions(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) const;
  int32_t SequenceNumber();
  int32_t Count();
  void SetRange(const uint8_t* low, const uint8_t* high, bool areKeys, int lowFields, int highFields);
  void CancelRange();
  // Notices other users' changes: when a header's change counter moved, reads the headers
  // again, forgets the cached records and pages and puts the cursor back on its record
  // (or its nearest neighbour). Answers whether anything changed. Holds the reader's byte
  // while it reads (taking it for the call when no lock is held), so that it never reads
  // a header another user is writing; raises 10249 when that wait runs out.
  bool Refresh();
  // The data header's change counter as the file holds it now. Every change of a shared
  // table writes the data header and raises the counter, so an unchanged counter means
  // nobody changed the table: one read of four bytes, without a lock and without the
  // refresh's reads of the index and blob headers. A table opened alone answers from
  // memory.
  uint32_t StoredChangeCounter();
  void SelectIndex(const std::string& name);
  int32_t CurrentRecordNumber() { return index_->CurrentRecordNumber(); }

  // ---- records and fields
  void InitRecord(uint8_t* buffer);
  // Copies the field's stored bytes (zero-filled first) into out when given; answers
  // whether the field is null.
  bool GetFieldValue(int field, uint8_t* out, const uint8_t* record) const;
  // Where a record image holds the field's stored value (its stored size of bytes), or
  // null when the field is null.
  const uint8_t* FieldBytes(const TFieldDescriptor& f, const uint8_t* record) const {
    if (f.IsAutoInc()) return record + datafmt::kAutoIncOffset;
    return record[f.Offset()] == 0 ? nullptr : record + f.Offset() + 1;
  }
  // value null: the field becomes null. Strings are cut, stripped of trailing blanks and
  // stored as null when empty; booleans become 0 or 1.
  void SetFieldValue(int field, const uint8_t* value, bool force, uint8_t* record) const;
  void AppendRecord(uint8_t* buffer);
  void ModifyRecord(uint8_t* buffer, bool unlock, bool reposition);
  void DeleteRecord(bool reposition);
  // The same operations on one record named by its place and its record identifier (as
  // the cursor read it), whatever the index cursor stands on. A record that is no longer
  // there (deleted, or its place reused by another record) is 8710, record not found,
  // and nothing is touched: every lock the operation took is released, and a record
  // lock held on that place for an edit is released too.
  //   ReadRecordAt: with lock, locks the record first (Edit); the index cursor is put
  //   on the record and the record copied into buffer. Answers 0 or 8710.
  uint16_t ReadRecordAt(int32_t number, int32_t identifier, uint8_t* buffer, bool lock);
  void ModifyRecordAt(int32_t number, uint8_t* buffer, bool unlock, bool reposition);
  void DeleteRecordAt(int32_t number, int32_t identifier, bool reposition);
  void LockRecord(int32_t n);
  void UnlockRecord(int32_t n);
  bool RecordLocked(int32_t n) const;

  // ---- blobs of the record buffer being edited (codes as the blob file answers)
  uint16_t OpenBlob(int field, uint8_t* record, int32_t* handle);
  uint16_t ReadBlob(int field, const uint8_t* record, uint32_t offset, uint32_t count, void* out, uint32_t* read);
  uint16_t WriteBlob(int field, uint8_t* record, uint32_t offset, uint32_t count, const void* in);
  uint16_t TruncateBlob(int field, uint8_t* record, uint32_t size);
  uint16_t BlobSize(int field, uint8_t* record, uint32_t* size);
  // Closes the field's open blob without saving, putting its first block back.
  uint16_t FreeBlob(int field, uint8_t* record);
  void CloseBlobs(uint8_t* record);

  // ---- locks (public for tests and tools)
  void BeginRead();
  void EndRead();
  void BeginWrite();
  // place: a record lock this change took, released together with the data write lock
  // (see ReleasesWithWriteLock), or 0.
  void EndWrite(int32_t place = 0);
  // Whether the record lock of place can go in the same release as the data write lock:
  // the bytes between them hold no other record lock of this table.
  bool ReleasesWithWriteLock(int32_t place) const;
  bool WriteLocked() const { return writeLock_; }

  // ---- filters: at most 127 at once; a handle stays valid until it is freed. After each
  // of these operations the cursor stands where it stood, or before the first record
  // when that record no longer passes.
  // An expression filter from its buffer, or a record-callback filter: 0 with the
  // handle; 10051 with neither; engine error 9482 with 127 filters registered.
  uint16_t RegisterFilter(const std::vector<uint8_t>* expression, TRecordCallback callback, bool combine, int* handle);
  // Handle 0: every filter. 10050 for a handle that is not registered.
  uint16_t FreeFilter(int handle);
  uint16_t ActivateFilter(int handle);
  uint16_t DeactivateFilter(int handle);
  TFilter* FilterByHandle(int handle);

  // TFilterHost
  bool ReadStoredRecord(int32_t recordNumber, std::vector<uint8_t>* record) override;
  void FieldValue(const uint8_t* record, TEvalNode& field) override;
  TExprLocale Locale() const override { return {header_.LocaleLanguage(), header_.LocaleSort()}; }

  // ---- repair (the table open exclusively over a freshly emptied index file): rebuilds
  // every index, "Sys Deleted" and the free chain from the records, mends every blob
  // chain of a live record and frees every block no chain holds. Each fix is reported to
  // log. Defined beside RepairTable (engine/data/repair.cpp).
  struct TRepairCounts {
    int32_t live = 0, deleted = 0, identifiersChanged = 0, referencesCut = 0;
    int64_t freeBlocks = 0;
  };
  TRepairCounts RepairRecords(const std::function<void(const std::string&)>& log);

  // ---- a second data file on the same table, for a lookup cursor
  std::unique_ptr<TDataFile> OpenSecond();

  // TIndexFileOwner and TBlobFileOwner
  bool ReadLockStep(TIndexFile& index) override;
  bool ReadLockStep(TBlobFile& blob) override;
  int32_t PhysicalRecordCount() override { return RecordCount(); }
  bool MarkLiveRecords(TBitmap& live, int32_t records) override;

  struct TStats {
    long fetches = 0, misses = 0, recordReads = 0, recordWrites = 0;
  };
  const TStats& Stats() const { return stats_; }

 private:
  friend class TChangeScope;
  [[noreturn]] void Corrupt() const { Raise(errRecordBuffersCorrupt); }
  uint16_t CopyCurrent(uint8_t* buffer, uint16_t codeWhenNone);
  // Where the cursor stands for Get next and Get prior: on the index cursor's record, or
  // before the first or after the last one.
  void SyncMarker();
  static constexpr int kOnRecord = 0, kBeforeFirst = 1, kAfterLast = 2;
  int marker_ = kBeforeFirst;
  int64_t RecordOffset(int32_t n) const { return header_.RecordOffset(n); }
  bool Locking() const { return !Exclusive() && !ReadOnlyByAttribute(); }
  // Refresh with the read or write lock held.
  bool RefreshHeld();
  void ReadTableHeader();
  void WriteTableHeader(bool force);
  TRecord* Fetch(int32_t n, bool forward, int32_t readAhead);
  TRecord* FetchCurrent();
  TRecord* ObtainEntry();
  void ResetEntry(TRecord* r, bool drawIdentifier);
  void LoadEntry(TRecord* r, const uint8_t* bytes);
  void ReleaseRecord(TRecord* r);
  void WriteBack(bool force);
  void ForgetRecords();
  int32_t DrawIdentifier();
  int32_t PlaceForNewRecord() const;
  void CheckValidity(const uint8_t* buffer);
  void CheckWritable() const;
  void HandBlobsToBlobFile(int32_t place, uint8_t* buffer);
  void Reposition(const uint8_t* record, int32_t number);
  void BuildKey(int slot, const uint8_t* record, uint8_t* key) const;
  int32_t BlobReference(int field, const uint8_t* record) const;
  void SetBlobReference(int field, int32_t reference, uint8_t* record) const;
  uint16_t BlobHandleFor(int field, uint8_t* record, bool open, int32_t* handle);
  TSlotList MaintainedSlots() const;

  // The place and identifier of the record an operation works on, checked under the
  // locks it holds; 8710 when it is not there.
  TRecord* FetchLive(int32_t number, int32_t identifier);
  // undo of a failed change
  void BeginUndo();
  void CommitUndo();
  void RollbackUndo();
  void CaptureRecord(TRecord* r);

  uint16_t SwitchFilter(int handle, bool on);
  std::vector<std::pair<int, std::unique_ptr<TFilter>>> filters_;
  int nextFilterHandle_ = 1;

  std::unique_ptr<TIndexFile> index_;
  std::unique_ptr<TBlobFile> blob_;
  TTableHeader header_;
  std::vector<TFieldDescriptor> fields_;
  uint16_t recordSize_ = 0;
  uint16_t calcAreaSize_ = 0;
  int32_t readAheadLimit_ = 1;  // records a read-ahead into the cache takes at most
  int32_t windowLimit_ = 1;     // records a walk's window takes at most
  uint8_t lockRetryCount_ = 15;
  uint16_t lockWaitTime_ = 100;
  bool strict_ = false;
  bool writeLock_ = false;     // the data write lock byte
  bool writing_ = false;       // inside BeginWrite .. EndWrite
  bool reading_ = false;       // inside BeginRead .. EndRead
  std::vector<int32_t> recordLocks_;
  std::function<bool(TDataFile&)> passwordCallback_;
  bool hasValidity_ = false, hasDefaults_ = false;
  // The record cache: most recently used first, with an index by record number.
  std::list<std::unique_ptr<TRecord>> cache_;
  TRecordMap<std::list<std::unique_ptr<TRecord>>::iterator> byNumber_;
  size_t capacity_ = 0;
  TRecord* current_ = nullptr;
  // The entries that may be modified and those that may be pinned, so that write-back
  // and unpinning need not look at the whole cache after every change. An entry may be
  // listed while it is clean or unpinned again, or twice; every listed entry is cached.
  std::vector<TRecord*> maybeDirty_, maybePinned_;
  // Buffers a post and a write-back take for their work and give back, so that their
  // capacity is kept from one change to the next (taken by swapping, so that a nested
  // use or a failure costs an allocation, never a clash).
  std::vector<uint8_t> postKeys_, postRecord_, writeBackRun_;
  std::vector<TRecord*> writeBackDirty_;
  // A read-ahead's bytes and the entries it fills, kept from read to read.
  std::vector<uint8_t> runBuffer_;
  std::vector<TRecord*> runMarked_;
  // A walk that only copies records out reads them ahead into runBuffer_ and copies each
  // from there, without taking them into the cache: the records windowFirst_ ..
  // windowFirst_ + windowCount_ - 1 lie there as the file held them when they were read.
  // They count as cached records do (valid until a refresh finds the table changed), and
  // the window is dropped wherever cached records would be forgotten or this user writes
  // records, so a copy from it is never older than one from the cache would be. A record
  // the cache holds is always taken from the cache.
  int32_t windowFirst_ = 0, windowCount_ = 0;
  void DropWindow() { windowCount_ = 0; }
  // Reads a run of up to count records around n into runBuffer_ (forward: n and those
  // after it) and returns how many whole records it holds from `first`; -1 when a refresh found
  // the table changed and moved the cursor (the caller looks at the cursor again).
  int32_t ReadRun(int32_t n, bool forward, int32_t count, int32_t& first);
  // A record's bytes as read from the file into a logical record buffer: deciphered,
  // the calculated area cleared, the link field naming the record's number.
  void LoadImage(uint8_t* out, const uint8_t* bytes, int32_t number) const;
  void MarkModified(TRecord* r) {
    if (!r->modified) Listed(maybeDirty_, r);
    r->modified = true;
  }
  void Pin(TRecord* r) {
    if (r->pinCount++ == 0) Listed(maybePinned_, r);
  }
  void Listed(std::vector<TRecord*>& list, TRecord* r) {
    if (list.size() >= 2 * capacity_ + 64) CompactLists();
    list.push_back(r);
  }
  [[noreturn]] void BadFieldNumber(int number) const;
  // A cached record, pinned and made the most recently used.
  TRecord* TakeCached(std::list<std::unique_ptr<TRecord>>::iterator entry);
  void UnpinRecords();
  // Drops listed entries that no longer need to be listed, and duplicates.
  void CompactLists();
  void ForgetEntry(TRecord* r);
  TStats stats_;
  // undo
  bool undoActive_ = false;
  bool changeWritten_ = false;  // the change had begun to write back when it failed
  TTableHeader undoHeader_;
  struct TRecordImage {
    std::vector<uint8_t> buffer;
    bool modified;
    bool existed;
  };
  std::unordered_map<int32_t, TRecordImage> undoRecords_;
};

}  // namespace ovrin
