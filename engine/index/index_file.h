// TIndexFile: the index file of an open table. It keeps the pages of every index in a
// page cache, maintains the B+-trees (insert, delete and replace keys with their split,
// merge and redistribution rules and subtree counts), and holds the table's cursor:
// the selected index or natural order, the position (an ordinal computed from subtree
// counts), the range, and the record bitmaps through which filters and the live-record
// set restrict what the cursor sees.
//
// Invariants of every tree: keys within a page ascend in index order; each interior
// entry carries the first key of its child's subtree and the number of leaf entries
// below it; the pages of one level are linked left to right; exactly one page (the
// root) has type 0 or 3. Freed pages go on the free list of their own index and are
// reused last freed first.
//
// Another user's change is noticed through the header's change counter at a cache miss
// (or at every operation with strict change detection): the header is read again, the
// cached pages are forgotten and the operation starts again from the root.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/format/table_format.h"
#include "engine/index/bitmap.h"
#include "engine/index/index_format.h"
#include "engine/index/keys.h"

namespace ovrin {

// A list of index slots without an allocation: an index file has at most the primary,
// 30 secondary indexes and the deleted-records index.
class TSlotList {
 public:
  void push_back(int slot) {
    if (count_ == slots_.size()) throw std::logic_error("slot list: more slots than an index file has");
    slots_[count_++] = slot;
  }
  const int* begin() const { return slots_.data(); }
  const int* end() const { return slots_.data() + count_; }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  int operator[](size_t i) const { return slots_[i]; }

 private:
  std::array<int, idxfmt::kDeletedSlot + 1> slots_{};
  size_t count_ = 0;
};

class TIndexFile;

// One cached page.
class TPage {
 public:
  bool modified = false;
  uint16_t pinCount = 0;
  int32_t offset = 0;       // 0 while the object holds no page
  int32_t parent = 0;       // recorded while descending; 0 when unknown
  uint16_t insertPos = 0;   // 1-based; 0 before the first entry
  uint16_t cursorPos = 0;
  int slot = 0;
  bool freeMark = false;
  uint16_t storedCount = 0;  // the entry count as read from the file
  TPageData data;
  // The page's bytes as the file holds them (enciphered), when this cache knows them:
  // read from the file or written by it. Empty when not known (a page new at the end of
  // the file, a short read, a write that failed), and then the page is written whole.
  std::vector<uint8_t> disk;
  std::vector<uint8_t> packed;  // where the page is packed for its write, then swapped in
  // Past how many bytes each buffer is known to be all zeros (a packed page's used bytes;
  // the page size when not known).
  uint16_t diskUsed = idxfmt::kPageSize, packedUsed = 0;

  // Holds no page any more; the buffers keep their room for the next one.
  void Reset() {
    std::vector<uint8_t> keepDisk = std::move(disk), keepPacked = std::move(packed);
    TPageData keepData = std::move(data);
    *this = TPage{};
    disk = std::move(keepDisk);
    packed = std::move(keepPacked);
    data = std::move(keepData);
    disk.clear();
    packed.clear();
    data.Clear();
    data.type = idxfmt::ptRoot;
    data.previous = data.next = 0;
    data.keyLength = 0;
  }
  uint32_t Count() const { return data.Count(); }
  bool IsLeaf() const { return data.IsLeaf(); }
  // Leaf: its entry count; interior: the sum of its entries' subtree counts.
  int64_t SubtreeCount() const;
};

// Releases a pinned page on every way out of a scope.
struct TPageGuard {
  TIndexFile* file;
  TPage* page;
  TPageGuard(TIndexFile* f, TPage* p) : file(f), page(p) {}
  TPageGuard(const TPageGuard&) = delete;
  TPageGuard& operator=(const TPageGuard&) = delete;
  ~TPageGuard();
};

// What the data file above provides to its index file.
class TIndexFileOwner {
 public:
  virtual ~TIndexFileOwner() = default;
  // Runs the table's read-lock step (nothing when the read lock is held). Answers true
  // when another user changed the table; the index file has then re-read its header
  // and forgotten its pages.
  virtual bool ReadLockStep(TIndexFile& index) = 0;
  // The number of physical records (the data file's next record number - 1).
  virtual int32_t PhysicalRecordCount() = 0;
  // Marks the records that are not deleted, for a table without a primary index (which
  // has no "Sys Deleted" index to tell them). Answers false when it cannot tell; every
  // record then counts as live.
  virtual bool MarkLiveRecords(TBitmap& /*live*/, int32_t /*records*/) { return false; }
};

// A filter's part in the record bitmaps (the filter objects live above this layer).
class TIndexFilter {
 public:
  virtual ~TIndexFilter() = default;
  // Whether its starting set includes the bitmaps of the active filters registered
  // before it.
  virtual bool UsesPriorFilters() const { return false; }
  // Computes the filter's bitmap (sized like base) from the starting set.
  virtual void Compute(TIndexFile& index, const TBitmap& base, TBitmap& out) = 0;
  // Judges one stored record (its buffer as stored).
  virtual bool Judge(int32_t recordNumber, const uint8_t* record) = 0;

  bool active = false;
  TBitmap bitmap;
};

class TIndexFile : public TFileHandler {
 public:
  explicit TIndexFile(TIndexFileOwner* owner = nullptr) : owner_(owner) {}
  ~TIndexFile() override;

  std::string MapFileName(const std::string& name) const override;
  // Opens, reads and validates the header, and prepares the key builders of every used
  // slot from the table's descriptors. Slot 0 is selected (natural order without a
  // primary index); the cursor is before the first record.
  void OpenIndex(const std::vector<TFieldDescriptor>& fields, uint16_t language, uint16_t sort, bool encrypted);
  void Close() override;

  // Settings of the table.
  void SetStrictChangeDetection(bool on) { strict_ = on; }
  void SetHeldMode(bool on) { held_ = on; }
  bool HeldMode() const { return held_; }

  TIndexHeader& Header() { return header_; }
  const TKeyBuilder& Keys(int slot) const;
  bool NoPrimary() const { return header_.NoPrimary(); }
  // Slots in use: 0, 1..n, and 31 unless the table has no primary index.
  TSlotList UsedSlots() const;

  // ---- page cache
  // The page at an offset for the selected slot, pinned. Throws TRestart when another
  // user's change was found at a cache miss.
  TPage* GetPage(int32_t offset, bool fresh = false);
  void ReleasePage(TPage* page);
  TPage* AllocatePage();
  void FreePage(TPage* page);
  void FlushPages();
  void WriteHeader(bool force);
  void ReadHeader();
  // Compares the stored change counter with ours; when it differs, reads the header again
  // and answers true.
  bool HeaderChanged();
  // Whether the file's change counter is still the one this cache read; the counter
  // alone is read, without the header.
  bool CounterUnchanged() { return ReadChangeCounter(*this, encrypted_) == header_.ChangeCounter(); }
  void ForgetPages();
  void UnpinAll();
  void TrimCache();
  void MarkModified(TPage* page) { page->modified = true; }
  int PageCacheCapacity(int slot) const { return capacity_[slot]; }
  struct TStats {
    // pagesBridged: unchanged pages written again with the file's own bytes, so that
    // changed pages on either side of them went out in one write.
    long requested = 0, reads = 0, writes = 0, pagesWritten = 0, pagesBridged = 0;
  };
  const TStats& Stats() const { return stats_; }

  // ---- locks (lock map and retries as for every table file)
  bool TakeWriteLock() { return locks_.TakeWrite(*this); }
  void ReleaseWriteLock() { locks_.ReleaseWrite(*this); }
  bool TakeReadLock() { return locks_.TakeRead(*this); }
  void ReleaseReadLock() { locks_.ReleaseRead(*this); }
  bool ReadLockHeld() const { return locks_.ReadHeld(); }
  bool WriteLockHeld() const { return locks_.WriteHeld(); }

  // ---- key maintenance of one slot (the cursor's selection is left alone)
  // 9729 naming the index when the index is unique (or primary) and holds the key.
  void CheckUnique(int slot, const uint8_t* key);
  bool ContainsKey(int slot, const uint8_t* key);
  void InsertKey(int slot, const uint8_t* key, int32_t recordNumber);
  // 8708 naming the index when the key is not there (checked before any page changes).
  void DeleteKey(int slot, const uint8_t* key);
  void ReplaceKey(int slot, const uint8_t* oldKey, const uint8_t* newKey, int32_t recordNumber);
  // Number of keys in a slot's tree (the root's subtree count).
  int32_t TreeCount(int slot);
  void AddRecordCount(int32_t delta) { header_.SetRecordCount(header_.RecordCount() + delta); }
  std::string IndexName(int slot) const;

  // ---- navigation
  // Selects the index the cursor walks (255 or slot 0 without a primary index: natural
  // order). The position becomes invalid until the next move.
  void SelectSlot(int slot);
  int SelectedSlot() const { return slot_; }
  bool SelectIndexByName(const std::string& name);
  bool FindIndexForField(uint16_t fieldNumber, bool caseInsensitive, bool anyCase);
  // The slot FindIndexForField would select, or -1; the cursor is left alone.
  int SlotForField(uint16_t fieldNumber, bool caseInsensitive, bool anyCase) const;
  bool NaturalOrder() const { return slot_ == idxfmt::kNoIndex || (slot_ == 0 && header_.NoPrimary()); }
  void First();
  void Last();
  void MoveBy(int32_t n);
  void GoToPosition(int32_t n);
  void GoToRecord(int32_t recordNumber);
  bool FindKey(const uint8_t* key, bool nearest, bool keepFlags);
  void ResyncNatural();
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool Empty() const { return position_ == 0; }
  int32_t RecordCount();
  int32_t Position() const;  // for the dataset: counted from the range start
  int32_t RawPosition() const { return position_; }
  int32_t CurrentRecordNumber() {
    if (NaturalOrder()) return naturalRecord_;
    if (!current_ || current_->cursorPos < 1 || current_->cursorPos > current_->Count()) return 0;
    return current_->data.values[current_->cursorPos - 1];
  }
  // The current key (L bytes), or empty when there is none.
  std::vector<uint8_t> CurrentKey() const;
  // The same without a copy: the key where the cursor's page holds it, valid until the
  // cursor moves or the page changes; null where CurrentKey is empty.
  const uint8_t* CurrentKeyBytes() const;
  int32_t RunLength(int32_t count, bool forward);
  int32_t CountKeysBetween(const uint8_t* a, const uint8_t* b);
  void MarkKeysBetween(const uint8_t* a, const uint8_t* b, TBitmap& bitmap);
  // The same in another slot's tree, leaving the cursor, its slot and range alone.
  int32_t CountKeysBetween(int slot, const uint8_t* a, const uint8_t* b);
  void MarkKeysBetween(int slot, const uint8_t* a, const uint8_t* b, TBitmap& bitmap);

  // ---- ranges
  void SetRangeStart(const uint8_t* key);
  void SetRangeEnd(const uint8_t* key);
  void ApplyRange();
  void ResetRange();
  bool RangeActive() const { return rangeActive_; }
  void ComputeRangeOrdinals();
  int32_t RangeStartOrdinal() const { return rangeStart_; }
  int32_t RangeEndOrdinal() const { return rangeEnd_; }

  // ---- filters and bitmaps
  // Registers a filter (owned by the caller); answers its handle (1-based).
  int RegisterFilter(TIndexFilter* filter);
  // 0, or 10050 for a handle not in the list.
  uint16_t FreeFilter(int handle);
  void FreeAllFilters();
  uint16_t ActivateFilter(int handle, bool active);
  int FilterCount() const { return static_cast<int>(filters_.size()); }
  bool RecordFilterOn() const { return recordFilter_; }
  void RebuildBitmaps();
  const TBitmap& LiveBitmap() const { return live_; }
  // The number of physical records the bitmaps are sized for.
  int32_t PhysicalRecords() { return TableRecords(); }
  const TBitmap& FilteredBitmap() const { return filtered_; }
  int32_t FilteredCount() const { return filteredCount_; }
  void RecordStored(int32_t recordNumber, const uint8_t* record);
  void RecordRemoved(int32_t recordNumber);
  // Without an owner (an index file on its own), the physical record count for bitmaps.
  void SetPhysicalRecordCount(int32_t count) { physicalRecords_ = count; }

  // ---- undo of a failed change
  // Between BeginUndo and CommitUndo every page the change touches is remembered as it
  // was; RollbackUndo puts the cache (and the header) back to that state, so that no
  // later write-back puts half a change on disk.
  void BeginUndo();
  void CommitUndo();
  void RollbackUndo();

  // ---- consistency
  // Walks a slot's whole tree and its free list and describes every breach of the tree
  // invariants (page types, key order within and across pages, interior keys equal to
  // their child's first key, subtree counts, level links, equal leaf depth, free pages).
  // Answers the number of keys found; reads only.
  int64_t VerifyTree(int slot, std::vector<std::string>* problems);
  // Record numbers of a slot's leaf entries in index order (for checkers).
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> AllEntries(int slot);

  // Thrown by page access when another user's change was found; operations catch it and
  // start again from the root.
  struct TRestart {};

 private:

  TPage* ObtainPageObject(int slot);
  std::vector<std::unique_ptr<TPage>>& List(int slot) { return lists_[slot]; }
  void WritePage(TPage* page);
  // Writes a run of pages that follow one another in the file: only the span in which
  // they differ from what the file holds. Pages marked in filler (when given) are not
  // written for themselves: they bridge a gap between changed pages with the file's own
  // bytes (their disk images), so that the run goes out in one write.
  void WriteRun(TPage* const* pages, size_t count, const uint8_t* filler = nullptr);
  std::vector<TWritePiece> runPieces_;  // a span across pages, gathered for its write
  // FlushPages' lists, kept from one change to the next.
  std::vector<TPage*> flushDirty_, flushRun_;
  std::vector<uint8_t> flushFiller_;
  // zeroFrom: out's bytes from there on are zero already. Answers past how many bytes out
  // is all zeros (the page size for an enciphered page).
  // Packs the page for the file; with same, says up to where (from the header's end on)
  // out surely holds the page's disk image.
  size_t PackInto(const TPage* page, uint8_t* out, size_t zeroFrom = idxfmt::kPageSize, size_t* same = nullptr);
  [[noreturn]] void Corrupt() const;
  void CheckPageOffset(int32_t offset) const;
  // The slot that page access and comparisons work on during one operation.
  struct TWorkSlot {
    TIndexFile* file;
    int saved;
    TWorkSlot(TIndexFile* f, int slot) : file(f), saved(f->ws_) { f->ws_ = slot; }
    ~TWorkSlot() { file->ws_ = saved; }
  };
  const TKeyBuilder& K() const { return keys_[ws_]; }
  TIndexShape Shape() const { return keys_[ws_].Shape(); }
  int Compare(const uint8_t* a, const uint8_t* b) const { return keys_[ws_].Compare(a, b); }
  uint16_t KeyLength() const { return keys_[ws_].KeyLength(); }
  void Repack(TPage* page);
  void SetRoot(int32_t root) { header_.SetRoot(ws_, root); }
  int32_t Root() const { return header_.Slot(ws_).Root(); }
  TPage* RootPage();
  TPage* ChildPage(TPage* parent, uint32_t index);
  uint32_t SearchPage(const TPage* page, const uint8_t* key, bool* found) const;
  void CheckMaintainable(int slot) const;
  void BeginMaintenance();
  template <typename F>
  auto Restartable(F&& f);

  // tree maintenance
  bool SearchExact(const uint8_t* key);
  void SplitAndPropagate(std::vector<TPage*>& path, size_t level);
  void Rebalance(std::vector<TPage*>& path, size_t level);
  void RemoveEmptyPage(std::vector<TPage*>& path, size_t level);
  void PropagateFirstKey(std::vector<TPage*>& path, size_t level);

  // navigation helpers
  void SetEmpty();
  void SetCurrent(TPage* leaf, uint16_t pos, int32_t position);
  TPage* DescendToEdge(bool leftmost, int32_t* position);
  TPage* DescendSearch(const uint8_t* key, int mode, int32_t* position);
  bool StepEntry(TPage*& page, uint16_t& pos, bool forward);
  bool Passes(const TPage* page, uint16_t pos) const;
  bool FirstFiltered(TPage*& page, uint16_t& pos, int32_t& position, bool forward);
  void FirstImpl();
  void LastImpl();
  void EdgeImpl(bool first);
  bool RangeCorrection(TPage*& page, uint16_t& pos, int32_t& position);
  int32_t OrdinalOf(const uint8_t* key, bool start);
  void ComputeLiveBitmap();
  void ComputeRangeBitmap();
  void Combine();
  void FilterBase(size_t filterIndex, TBitmap& base);
  int32_t TableRecords();

  void Capture(TPage* page, bool fresh);
  struct TPageImage {
    int slot = 0;
    TPageData data;
    bool modified = false;
    bool freeMark = false;
    uint16_t storedCount = 0;
    bool fresh = false;    // appended at the end of the file by the change
    bool written = false;  // written to the file while the change ran
  };
  bool undoActive_ = false;
  TIndexHeader undoHeader_;
  // The pages a change touched, each as it was before the change: the first undoCount_
  // entries. A change touches a few pages (a path down each index), so they are found by
  // a walk; the entries are kept between changes, so that a snapshot reuses the room of
  // an earlier one instead of allocating its own.
  std::vector<std::pair<int32_t, TPageImage>> undoPages_;
  size_t undoCount_ = 0;
  TPageImage* FindUndo(int32_t offset);

  TIndexFileOwner* owner_;
  TIndexHeader header_;
  bool encrypted_ = false;
  bool strict_ = false;
  bool held_ = false;
  std::vector<TKeyBuilder> keys_ = std::vector<TKeyBuilder>(idxfmt::kSlots);
  std::vector<std::unique_ptr<TPage>> lists_[idxfmt::kSlots];
  int capacity_[idxfmt::kSlots];
  TStats stats_;
  TAreaLocks locks_;

  int slot_ = 0;
  int ws_ = 0;
  bool noRestart_ = false;
  int32_t physicalRecords_ = 0;
  int32_t position_ = 0;
  TPage* current_ = nullptr;
  int32_t naturalRecord_ = 0;
  bool bof_ = true, eof_ = true;
  bool rangeActive_ = false;
  std::vector<uint8_t> rangeStartKey_, rangeEndKey_;
  std::vector<uint8_t> moveStartKey_;  // MoveBy's key to stand on again after a restart
  int32_t rangeStart_ = 1, rangeEnd_ = 0;
  bool recordFilter_ = false;
  TBitmap live_, range_, filtered_;
  int32_t filteredCount_ = 0;
  std::vector<TIndexFilter*> filters_;
  bool inRange_ = false, inBitmaps_ = false;
};

// Runs f, starting it again when a page access found another user's change.
template <typename F>
auto TIndexFile::Restartable(F&& f) {
  constexpr int kMaxRestarts = 1000;
  for (int attempt = 0;; ++attempt) {
    try {
      return f();
    } catch (const TRestart&) {
      if (attempt >= kMaxRestarts) Raise(errLockFailure);
      // Pins taken by the interrupted walk belonged to pages that are forgotten now.
      UnpinAll();
    }
  }
}

}  // namespace ovrin
