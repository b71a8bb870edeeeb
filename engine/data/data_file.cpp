#include "engine/data/data_file.h"
#include "engine/data/read_bracket.h"

#include <algorithm>
#include <array>
#include <functional>
#include <cstring>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/file_session.h"
#include "engine/index/keys.h"

namespace ovrin {

using namespace datafmt;

namespace {
constexpr uint16_t kMaxRecordPins = 64;
constexpr int32_t kReadAheadBytes = 32767;
// A walk's read-ahead that bypasses the cache is not bound by the cache's size: longer
// runs mean fewer reads and lock round trips per record.
constexpr int32_t kWindowBytes = 65536;
}  // namespace

TDataFile::TDataFile()
    : index_(std::make_unique<TIndexFile>(this)) {}

TDataFile::~TDataFile() {
  try {
    Close();
  } catch (...) {
  }
}

std::string TDataFile::MapFileName(const std::string& name) const {
  return RemoveExtension(TrimChar(name, ' ')) + ".DAT";
}

// ---------------------------------------------------------------- open and close

void TDataFile::Open() {
  if (IsOpen()) return;
  writeLock_ = writing_ = reading_ = false;
  recordLocks_.clear();
  current_ = nullptr;
  fields_.clear();
  TFileHandler::Open();
  try {
    auto known = [&](const std::string& password) {
      for (;;) {
        if (engine::CurrentFileSessionOrNull() && engine::CurrentFileSession()->Passwords.Contains(password)) return true;
        if (!passwordCallback_ || !passwordCallback_(*this)) return false;
      }
    };
    // Another user may be in the middle of a change: read the header and check the file's
    // size while holding a reader's byte of the index file, which every writer's lock
    // area covers for the whole of its change.
    TFileHandler probe;
    TAreaLocks probeLock;
    if (Locking()) {
      probe.SetInMemory(InMemory());
      probe.SetReadOnly(true);
      probe.SetFileName(RemoveExtension(FileName()) + ".IDX");
      try {
        probe.Open();
      } catch (const EOvrinEngineError&) {
        // The index file's own open below reports what is wrong with it.
      }
      if (probe.IsOpen() && !probeLock.TakeRead(probe)) Raise(errLockFailure);
    }
    TTableImage image = ReadTableImage(*this, known);
    header_ = image.header;
    fields_ = std::move(image.descriptors);
    recordSize_ = header_.RecordSize();
    calcAreaSize_ = header_.CalcAreaSize();
    readAheadLimit_ = std::max<int32_t>(1, kReadAheadBytes / recordSize_);
    windowLimit_ = std::max<int32_t>(1, kWindowBytes / recordSize_);
    hasValidity_ = hasDefaults_ = false;
    for (const TFieldDescriptor& f : fields_) {
      hasValidity_ |= f.Required() || !f.Minimum().empty() || !f.Maximum().empty();
      hasDefaults_ |= !f.Default().empty();
    }
    capacity_ = std::min<size_t>(131070 / LogicalRecordSize(), 65535);
    if (capacity_ == 0) capacity_ = 1;

    index_->SetFileName(FileName());
    index_->SetExclusive(Exclusive());
    index_->SetReadOnly(ReadOnly());
    index_->SetInMemory(InMemory());
    index_->SetStrictChangeDetection(strict_);
    index_->OpenIndex(fields_, header_.LocaleLanguage(), header_.LocaleSort(), Encrypted());
    if (header_.BlobFieldCount() != 0) {
      blob_ = std::make_unique<TBlobFile>(this);
      blob_->SetFileName(FileName());
      blob_->SetExclusive(Exclusive());
      blob_->SetReadOnly(ReadOnly());
      blob_->SetInMemory(InMemory());
      blob_->SetStrictChangeDetection(strict_);
      blob_->OpenBlobFile(header_.BlobBlockSizeRaw(), Encrypted());
    }
    index_->First();
    marker_ = kBeforeFirst;
    // The index and blob file headers (and the pages placing the cursor read) are read
    // under the same reader's byte as the data file header: a writer rewrites each header
    // in place, and a read in the middle of that can get the writer's new change counter
    // with the rest of the header still old. Such a header would pass every later
    // comparison of change counters as current.
    if (probe.IsOpen()) {
      probeLock.ReleaseRead(probe);
      probe.Close();
    }
    // Placing the cursor took this table's own reader's byte at its cache miss, which no
    // operation brackets here: kept, it would hold every other user's change off until
    // this table's next read.
    EndRead();
  } catch (...) {
    Close();
    throw;
  }
}

void TDataFile::Close() {
  if (IsOpen()) {
    try {
      index_->FreeAllFilters();
    } catch (...) {
    }
    filters_.clear();
    try {
      UnpinRecords();
      if (Exclusive() && !ReadOnly() && !undoActive_) {
        WriteBack(false);
        if (blob_) blob_->TrimCache();
        index_->TrimCache();
      }
    } catch (...) {
      // Close always closes; the error of a failed write-back was the caller's to see.
    }
    for (size_t i = recordLocks_.size(); i-- > 0;) UnlockRange(lockmap::kRecordLockBase - uint32_t(recordLocks_[i]), 1);
    recordLocks_.clear();
    if (reading_ || writing_) {
      if (blob_) {
        blob_->ReleaseWriteLock();
        blob_->ReleaseReadLock();
      }
      index_->ReleaseWriteLock();
      index_->ReleaseReadLock();
    }
    if (writeLock_) UnlockRange(lockmap::kDataWriteLock, 1);
  }
  writeLock_ = writing_ = reading_ = false;
  if (blob_) blob_->Close();
  blob_.reset();
  index_->Close();
  ForgetRecords();
  fields_.clear();
  undoActive_ = false;
  undoRecords_.clear();
  TFileHandler::Close();
}

void TDataFile::BadFieldNumber(int number) const {
  RaiseEngineError(errInvalidField, FileName(), std::to_string(number));
}

const TFieldDescriptor& TDataFile::FieldByName(const std::string& name) const {
  for (const TFieldDescriptor& f : fields_)
    if (AsciiEqualNoCase(f.Name(), name)) return f;
  RaiseEngineError(errInvalidField, FileName(), name);
}

// ---------------------------------------------------------------- header

void TDataFile::ReadTableHeader() {
  uint8_t bytes[kHeaderSize];
  Seek(0, 0);
  Read(bytes, kHeaderSize);
  std::copy(bytes, bytes + kHeaderSize, header_.bytes.begin());
  header_.SetModified(false);
  // Another user may have appended: the record layout must still be ours.
  if (header_.Version() != kVersion || header_.RecordSize() != recordSize_ || header_.FieldCount() != fields_.size() ||
      header_.CalcAreaSize() != calcAreaSize_)
    Raise(errHeaderCorrupt);
}

void TDataFile::WriteTableHeader(bool force) {
  if (!force && !header_.Modified()) return;
  ovrin::WriteTableHeader(*this, header_);
}

// ---------------------------------------------------------------- locks

bool TDataFile::ReadLockStep(TIndexFile&) {
  if (!Locking() || reading_ || writing_ || strict_) return false;
  BeginRead();
  return Refresh();
}

bool TDataFile::ReadLockStep(TBlobFile&) {
  if (!Locking() || reading_ || writing_ || strict_) return false;
  BeginRead();
  return Refresh();
}

void TDataFile::BeginRead() {
  if (!Locking() || reading_ || writing_) return;
  if (!index_->TakeReadLock()) Raise(errLockFailure);
  try {
    if (blob_ && !blob_->TakeReadLock()) Raise(errLockFailure);
  } catch (...) {
    try {
      index_->ReleaseReadLock();
    } catch (...) {
    }
    throw;
  }
  reading_ = true;
}

void TDataFile::EndRead() {
  if (!reading_) return;
  reading_ = false;
  if (blob_) blob_->ReleaseReadLock();
  index_->ReleaseReadLock();
}

void TDataFile::BeginWrite() {
  DropWindow();
  if (!Locking() || writing_) return;
  EndRead();
  // The data write lock: many short waits, as the writer ahead of us finishes quickly.
  bool taken = false;
  for (int attempt = 0; attempt <= lockmap::kLockRetries && !taken; ++attempt) {
    taken = LockRange(lockmap::kDataWriteLock, 1);
    if (!taken) Platform().SleepMs(lockmap::kLockRetryWaitMs);
  }
  if (!taken) Raise(errLockFailure);
  writeLock_ = true;
  // From here every way out without the whole write lock gives back what was taken: a
  // lock left behind would keep every other user from writing until this table closes.
  try {
    if (!index_->TakeWriteLock()) Raise(errLockFailure);
    if (blob_ && !blob_->TakeWriteLock()) Raise(errLockFailure);
    writing_ = true;
    Refresh();
  } catch (...) {
    try {
      EndWrite();
    } catch (...) {
    }
    throw;
  }
}

bool TDataFile::ReleasesWithWriteLock(int32_t place) const {
  // Record n locks the byte kRecordLockBase - n, below the data write lock: the span from
  // place's byte up to the write lock covers the records 1 to place.
  if (!writeLock_ || InMemory() || place <= 0 || !RecordLocked(place)) return false;
  for (int32_t n : recordLocks_)
    if (n != place && n <= place) return false;
  return true;
}

void TDataFile::EndWrite(int32_t place) {
  writing_ = false;
  // Each part is released even when an earlier release fails.
  try {
    if (blob_) blob_->ReleaseWriteLock();
  } catch (...) {
  }
  try {
    index_->ReleaseWriteLock();
  } catch (...) {
  }
  if (writeLock_) {
    writeLock_ = false;
    if (place) {
      // One release for the place's record lock and the data write lock.
      std::erase(recordLocks_, place);
      const uint32_t first = lockmap::kRecordLockBase - uint32_t(place);
      if (!UnlockRange(first, lockmap::kDataWriteLock - first + 1)) Raise(errLockFailure);
    } else if (!UnlockRange(lockmap::kDataWriteLock, 1)) {
      Raise(errLockFailure);
    }
  }
}

bool TDataFile::Refresh() {
  if (!Locking()) return false;
  if (reading_ || writing_) return RefreshHeld();
  // Mostly nobody changed the table: the three change counters are compared first,
  // without a lock. A counter is four bytes that a header write replaces; read while it
  // is written it is either the old value (as if read a moment earlier) or differs from
  // it, and then the headers are read again below.
  if (index_->CounterUnchanged() && ReadChangeCounter(*this, false) == header_.ChangeCounter() &&
      (!blob_ || blob_->CounterUnchanged()))
    return false;
  // Called between operations, without a lock: the headers are read under the reader's
  // byte, as at a cache miss, and it is given back afterwards. Without it a header read
  // while another user rewrites it can carry that user's new change counter with the
  // rest still old; as the counters agree from then on it would never be read again, and
  // this user's next change would write the stale parts (the record count) back.
  BeginRead();
  bool changed;
  try {
    changed = RefreshHeld();
  } catch (...) {
    try {
      EndRead();
    } catch (...) {
    }
    throw;
  }
  EndRead();
  return changed;
}

uint32_t TDataFile::StoredChangeCounter() {
  if (!Locking()) return static_cast<uint32_t>(header_.ChangeCounter());
  return static_cast<uint32_t>(ReadChangeCounter(*this, false));
}

bool TDataFile::RefreshHeld() {
  std::vector<uint8_t> saved = index_->CurrentKey();
  int32_t savedRecord = index_->CurrentRecordNumber();
  bool changed = false;
  if (index_->HeaderChanged()) {
    ReadTableHeader();
    changed = true;
  } else {
    if (ReadChangeCounter(*this, false) != header_.ChangeCounter()) {
      ReadTableHeader();
      changed = true;
    }
  }
  if (changed) {
    ForgetRecords();
    index_->ForgetPages();
    if (index_->RecordFilterOn()) index_->RebuildBitmaps();
    index_->ComputeRangeOrdinals();
    // Back to the record the cursor stood on (or its nearest neighbour).
    if (index_->NaturalOrder()) {
      index_->GoToRecord(savedRecord);
    } else if (!saved.empty()) {
      index_->FindKey(saved.data(), true, false);
    } else {
      index_->First();
    }
    if (marker_ == kOnRecord) SyncMarker();
  }
  if (blob_ && blob_->HeaderChanged()) {
    blob_->ForgetBlocks();
    changed = true;
  }
  return changed;
}

void TDataFile::LockRecord(int32_t n) {
  if (n == 0) n = index_->CurrentRecordNumber();
  if (n <= 0) Raise(errRecordLocked);
  if (!Locking() || RecordLocked(n)) return;
  // Under the write lock the table was refreshed when the lock was taken, and nobody
  // else can change it until it is released: reading the change counters again would
  // only repeat what this change already knows.
  if (!strict_ && !writing_) {
    BeginRead();
    Refresh();
  }
  for (int failures = 0;; ++failures) {
    if (LockRange(lockmap::kRecordLockBase - uint32_t(n), 1)) break;
    if (failures >= lockRetryCount_) Raise(errRecordLocked);
    Platform().SleepMs(lockWaitTime_);
  }
  recordLocks_.push_back(n);
}

void TDataFile::UnlockRecord(int32_t n) {
  if (n == 0) n = index_->CurrentRecordNumber();
  auto it = std::find(recordLocks_.begin(), recordLocks_.end(), n);
  if (it == recordLocks_.end()) {
    if (!Locking()) return;
    Raise(errUnlock);
  }
  recordLocks_.erase(it);
  if (!UnlockRange(lockmap::kRecordLockBase - uint32_t(n), 1)) Raise(errUnlock);
}

bool TDataFile::RecordLocked(int32_t n) const {
  return std::find(recordLocks_.begin(), recordLocks_.end(), n) != recordLocks_.end();
}

// ---------------------------------------------------------------- record cache

TRecord* TDataFile::ObtainEntry() {
  auto fresh = [&]() {
    auto r = std::make_unique<TRecord>();
    r->buffer.assign(LogicalRecordSize(), 0);
    cache_.push_front(std::move(r));
    return cache_.front().get();
  };
  if (cache_.size() < capacity_) return fresh();
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (auto it = cache_.end(); it != cache_.begin();) {
      --it;
      TRecord* r = it->get();
      if (!r->modified && r->pinCount == 0 && !r->readAhead) {
        if (r->number) byNumber_.Erase(r->number);
        if (r == current_) current_ = nullptr;
        // Every caller fills the whole buffer (LoadEntry or ResetEntry).
        r->number = 0;
        r->calculatedDone = false;
        cache_.splice(cache_.begin(), cache_, it);
        return r;
      }
    }
    if (attempt == 0) WriteBack(false);
  }
  Corrupt();
}

void TDataFile::LoadImage(uint8_t* out, const uint8_t* bytes, int32_t number) const {
  std::memcpy(out, bytes, recordSize_);
  if (calcAreaSize_) std::memset(out + recordSize_, 0, calcAreaSize_);
  if (Encrypted()) ApplyCipher(out, recordSize_, kTableKey);
  if (out[rDeleted] == 0) StoreLE32(&out[rLink], static_cast<uint32_t>(number));
}

void TDataFile::LoadEntry(TRecord* r, const uint8_t* bytes) {
  LoadImage(r->buffer.data(), bytes, r->number);
  r->modified = false;
  r->calculatedDone = false;
}

bool TDataFile::MarkLiveRecords(TBitmap& live, int32_t records) {
  if (!IsOpen() || recordSize_ == 0) return false;
  records = std::min(records, RecordCount());
  // In runs of about 64 KB; a record the cache holds is judged by its cached image,
  // which may be newer than the file.
  const int32_t run = std::max<int32_t>(1, 65536 / recordSize_);
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> one(recordSize_);
  for (int32_t first = 1; first <= records; first += run) {
    int32_t count = std::min(run, records - first + 1);
    bytes.resize(size_t(count) * recordSize_);
    Seek(RecordOffset(first), 0);
    uint32_t got = Read(bytes.data(), static_cast<uint32_t>(bytes.size()), true);
    if (got < bytes.size()) Raise(errRead);
    for (int32_t i = 0; i < count; ++i) {
      int32_t n = first + i;
      auto cached = byNumber_.Find(n);
      uint8_t deleted;
      if (cached) {
        deleted = (**cached)->buffer[rDeleted];
      } else {
        std::copy(bytes.begin() + ptrdiff_t(i) * recordSize_, bytes.begin() + ptrdiff_t(i + 1) * recordSize_, one.begin());
        if (Encrypted()) ApplyCipher(one.data(), recordSize_, kTableKey);
        deleted = one[rDeleted];
      }
      live.Set(n, deleted == 0);
    }
  }
  return true;
}

int32_t TDataFile::DrawIdentifier() {
  int32_t last = header_.LastAutoInc();
  if (last == 0x7FFFFFFF) last = 0;
  header_.SetLastAutoInc(last + 1);
  return last + 1;
}

void TDataFile::ResetEntry(TRecord* r, bool drawIdentifier) {
  std::fill(r->buffer.begin(), r->buffer.end(), 0);
  if (drawIdentifier) StoreLE32(&r->buffer[rIdentifier], static_cast<uint32_t>(DrawIdentifier()));
  StoreLE32(&r->buffer[rLink], static_cast<uint32_t>(r->number));
  r->modified = false;
  r->calculatedDone = false;
}

void TDataFile::CaptureRecord(TRecord* r) {
  if (!undoActive_ || undoRecords_.count(r->number)) return;
  undoRecords_[r->number] = TRecordImage{r->buffer, r->modified, true};
}

TRecord* TDataFile::TakeCached(std::list<std::unique_ptr<TRecord>>::iterator entry) {
  TRecord* r = entry->get();
  if (r->pinCount >= kMaxRecordPins) Corrupt();
  Pin(r);
  cache_.splice(cache_.begin(), cache_, entry);
  CaptureRecord(r);
  return r;
}

int32_t TDataFile::ReadRun(int32_t n, bool forward, int32_t count, int32_t& first) {
  ++stats_.misses;
  DropWindow();
  if (!strict_ && Locking() && !reading_ && !writing_) {
    BeginRead();
    if (Refresh()) return -1;
  }
  count = std::max<int32_t>(1, count);
  first = forward ? n : std::max(1, n - count + 1);
  count = std::min(count, header_.NextRecordNumber() - first);
  if (forward) count = std::min(count, header_.NextRecordNumber() - n);
  // The run's buffer is kept from read to read; the read fills it (what a short read
  // leaves is never looked at).
  std::vector<uint8_t>& bytes = runBuffer_;
  if (bytes.size() < size_t(count) * recordSize_) bytes.resize(size_t(count) * recordSize_);
  Seek(RecordOffset(first), 0);
  uint32_t got = Read(bytes.data(), static_cast<uint32_t>(size_t(count) * recordSize_), true);
  ++stats_.recordReads;
  if (got < size_t(n - first + 1) * recordSize_) Raise(errRead);
  return static_cast<int32_t>(got / recordSize_);
}

TRecord* TDataFile::Fetch(int32_t n, bool forward, int32_t readAhead) {
  ++stats_.fetches;
  int32_t next = header_.NextRecordNumber();
  if (n < 1 || n > next) Raise(errRecordNotFound);
  if (n == next) {
    // A record to be appended at the end of the file.
    if (int64_t(next) + 1 > kMaxRecordNumber || int64_t(next) * recordSize_ > kMaxDataBytes) Raise(errTableFull);
    TRecord* r = ObtainEntry();
    r->number = n;
    byNumber_.Set(n, cache_.begin());
    if (undoActive_ && !undoRecords_.count(n)) undoRecords_[n] = TRecordImage{{}, false, false};
    ResetEntry(r, false);
    Pin(r);
    header_.SetNextRecordNumber(next + 1);
    return r;
  }
  if (auto found = byNumber_.Find(n)) return TakeCached(*found);
  int32_t first = 0;
  const int32_t whole = ReadRun(n, forward, std::min(readAhead, readAheadLimit_), first);
  if (whole < 0) return nullptr;  // the caller fetches again from the new position
  // The records go into the cache here, and may be changed there: the window's copy of
  // them is not to be used.
  DropWindow();
  std::vector<uint8_t>& bytes = runBuffer_;
  TRecord* result = nullptr;
  std::vector<TRecord*>& marked = runMarked_;
  marked.clear();
  const long writesAtRead = stats_.recordWrites;
  for (int32_t i = 0; i < whole; ++i) {
    int32_t number = first + i;
    if (byNumber_.Contains(number)) continue;  // cached records keep their cached contents
    TRecord* r = ObtainEntry();
    if (stats_.recordWrites != writesAtRead) {
      // Making room wrote modified records back, and one of them may lie in this range
      // and have left the cache since: the buffer is older than the file there.
      Seek(RecordOffset(number), 0);
      if (Read(bytes.data() + size_t(i) * recordSize_, recordSize_, true) < recordSize_) Raise(errRead);
    }
    r->number = number;
    byNumber_.Set(number, cache_.begin());
    LoadEntry(r, bytes.data() + size_t(i) * recordSize_);
    r->readAhead = true;
    marked.push_back(r);
  }
  for (TRecord* r : marked) r->readAhead = false;
  auto found = byNumber_.Find(n);
  if (!found) Corrupt();
  result = (*found)->get();
  cache_.splice(cache_.begin(), cache_, *found);
  Pin(result);
  CaptureRecord(result);
  return result;
}

void TDataFile::ReleaseRecord(TRecord* r) {
  if (!r || r->pinCount == 0) return;
  // A record fetched, read and given back at once need not stay listed.
  if (--r->pinCount == 0 && !maybePinned_.empty() && maybePinned_.back() == r) maybePinned_.pop_back();
}

TRecord* TDataFile::FetchCurrent() {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int32_t n = index_->CurrentRecordNumber();
    if (n <= 0 || index_->Empty()) return nullptr;
    // A cached record is taken at once; the read-ahead is worked out only for one the
    // cache does not hold.
    if (auto found = byNumber_.Find(n); found && n < header_.NextRecordNumber()) {
      ++stats_.fetches;
      return TakeCached(*found);
    }
    int32_t run = index_->RunLength(readAheadLimit_, true);
    TRecord* r = Fetch(n, true, run);
    if (r) return r;
  }
  Raise(errLockFailure);
}

void TDataFile::UnpinRecords() {
  for (TRecord* r : maybePinned_) r->pinCount = 0;
  maybePinned_.clear();
}

void TDataFile::CompactLists() {
  auto compact = [](std::vector<TRecord*>& list, auto keep) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    std::erase_if(list, [&](TRecord* r) { return !keep(r); });
  };
  compact(maybeDirty_, [](TRecord* r) { return r->modified; });
  compact(maybePinned_, [](TRecord* r) { return r->pinCount > 0; });
}

void TDataFile::ForgetEntry(TRecord* r) {
  std::erase(maybeDirty_, r);
  std::erase(maybePinned_, r);
}

void TDataFile::ForgetRecords() {
  DropWindow();
  maybeDirty_.clear();
  maybePinned_.clear();
  cache_.clear();
  byNumber_.Clear();
  current_ = nullptr;
}

void TDataFile::WriteBack(bool force) {
  DropWindow();
  if (undoActive_) changeWritten_ = true;
  // Blocks and pages first, then the records, and the headers last: the data header's
  // record count is what makes an appended record part of the table, so a write that
  // fails part of the way leaves at most unreferenced pages, blocks and bytes behind.
  if (blob_) blob_->FlushBlocks();
  index_->FlushPages();
  CompactLists();
  std::vector<TRecord*> dirty;
  std::vector<uint8_t> run;
  dirty.swap(writeBackDirty_);
  run.swap(writeBackRun_);
  dirty.clear();
  for (TRecord* r : maybeDirty_)
    if (r->pinCount == 0 && !r->readAhead && r->number > 0) dirty.push_back(r);
  std::sort(dirty.begin(), dirty.end(), [](TRecord* a, TRecord* b) { return a->number < b->number; });
  for (size_t i = 0; i < dirty.size();) {
    size_t j = i + 1;
    while (j < dirty.size() && dirty[j]->number == dirty[j - 1]->number + 1) ++j;
    run.assign((j - i) * recordSize_, 0);
    for (size_t k = i; k < j; ++k) {
      uint8_t* out = run.data() + (k - i) * recordSize_;
      std::copy(dirty[k]->buffer.begin(), dirty[k]->buffer.begin() + recordSize_, out);
      if (Encrypted()) ApplyCipher(out, recordSize_, kTableKey);
    }
    Seek(RecordOffset(dirty[i]->number), 0);
    Write(run.data(), static_cast<uint32_t>(run.size()));
    for (size_t k = i; k < j; ++k) dirty[k]->modified = false;
    ++stats_.recordWrites;
    i = j;
  }
  dirty.swap(writeBackDirty_);
  run.swap(writeBackRun_);
  if (blob_) blob_->WriteHeader(force);
  index_->WriteHeader(force);
  WriteTableHeader(force);
}

// ---------------------------------------------------------------- navigation

uint16_t TDataFile::CopyCurrent(uint8_t* buffer, uint16_t codeWhenNone) {
  // A record only copied out need not enter the cache: outside a change it is copied
  // from the cache when the cache holds it, else from the window of records read ahead.
  // Within a change it is fetched as every record the change may touch.
  if (buffer && !undoActive_) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      const int32_t n = index_->CurrentRecordNumber();
      if (n <= 0 || index_->Empty() || n >= header_.NextRecordNumber() || byNumber_.Contains(n)) break;
      if (n < windowFirst_ || n >= windowFirst_ + windowCount_) {
        int32_t first = 0;
        const int32_t whole = ReadRun(n, true, index_->RunLength(windowLimit_, true), first);
        if (whole < 0) continue;  // a refresh moved the cursor: look at it again
        windowFirst_ = first;
        windowCount_ = whole;
      }
      ++stats_.fetches;
      LoadImage(buffer, runBuffer_.data() + size_t(n - windowFirst_) * recordSize_, n);
      return 0;
    }
  }
  TRecord* r = FetchCurrent();
  if (!r) {
    if (buffer) InitRecord(buffer);
    return codeWhenNone;
  }
  if (buffer) std::copy(r->buffer.begin(), r->buffer.end(), buffer);
  ReleaseRecord(r);
  return 0;
}

uint16_t TDataFile::GetCurrentRecord(uint8_t* buffer, bool lock) {
  TReadBracket bracket(*this, strict_);
  if (marker_ != kOnRecord || index_->Empty()) {
    if (buffer) InitRecord(buffer);
    return marker_ == kAfterLast ? errEndOfFile : errBeginOfFile;
  }
  if (lock) LockRecord(0);
  return CopyCurrent(buffer, errEndOfFile);
}

uint16_t TDataFile::GetNextRecord(uint8_t* buffer) {
  TReadBracket bracket(*this, strict_);
  if (marker_ == kBeforeFirst || (marker_ == kOnRecord && index_->Empty())) {
    index_->First();
  } else if (marker_ == kOnRecord) {
    index_->MoveBy(1);
  }
  if (marker_ == kAfterLast || index_->Empty() || index_->Eof()) {
    marker_ = kAfterLast;
    if (buffer) InitRecord(buffer);
    return errEndOfFile;
  }
  marker_ = kOnRecord;
  return CopyCurrent(buffer, errEndOfFile);
}

uint16_t TDataFile::GetPriorRecord(uint8_t* buffer) {
  TReadBracket bracket(*this, strict_);
  if (marker_ == kAfterLast || (marker_ == kOnRecord && index_->Empty())) {
    index_->Last();
  } else if (marker_ == kOnRecord) {
    index_->MoveBy(-1);
  }
  if (marker_ == kBeforeFirst || index_->Empty() || index_->Bof()) {
    marker_ = kBeforeFirst;
    if (buffer) InitRecord(buffer);
    return errBeginOfFile;
  }
  marker_ = kOnRecord;
  return CopyCurrent(buffer, errBeginOfFile);
}

void TDataFile::First() {
  TReadBracket bracket(*this, strict_);
  index_->First();
  marker_ = kBeforeFirst;
}

void TDataFile::Last() {
  TReadBracket bracket(*this, strict_);
  index_->Last();
  marker_ = kAfterLast;
}

void TDataFile::SyncMarker() {
  if (index_->Empty()) marker_ = kBeforeFirst;
  else if (index_->Eof()) marker_ = kAfterLast;
  else if (index_->Bof()) marker_ = kBeforeFirst;
  else marker_ = kOnRecord;
}

void TDataFile::GoToPosition(int32_t n) {
  TReadBracket bracket(*this, strict_);
  // An ordinal in both orders, as SequenceNumber answers it (bookmarks, not positions,
  // name physical records).
  index_->GoToPosition(n);
  SyncMarker();
}

void TDataFile::BuildKey(int slot, const uint8_t* record, uint8_t* key) const {
  index_->Keys(slot).Build(record, key);
}

bool TDataFile::FindKey(const uint8_t* recordOrKey, bool isKey, int fieldCount, int partialLength, bool nearest,
                        uint8_t* out) {
  TReadBracket bracket(*this, strict_);
  if (index_->NaturalOrder()) return false;
  const TKeyBuilder& keys = index_->Keys(index_->SelectedSlot());
  size_t L = keys.KeyLength();
  std::vector<uint8_t> key(L, 0);
  size_t prefix = L;
  if (isKey) {
    std::memcpy(key.data(), recordOrKey, L);
  } else {
    keys.Build(recordOrKey, key.data());
    prefix = keys.PrefixLength(fieldCount, partialLength);
    if (keys.IdSuffix() && fieldCount >= static_cast<int>(keys.Fields().size())) prefix = L - 4;
    keys.FillSearchKey(key.data(), prefix);
  }
  bool found;
  if (prefix < L) {
    index_->FindKey(key.data(), true, false);
    std::vector<uint8_t> current = index_->CurrentKey();
    found = !current.empty() && !index_->Eof() && keys.Compare(current.data(), key.data(), prefix) == 0;
  } else {
    found = index_->FindKey(key.data(), nearest, false);
  }
  if (found || nearest) SyncMarker();
  if ((found || nearest) && out && !index_->Empty()) {
    TRecord* r = FetchCurrent();
    if (r) {
      std::copy(r->buffer.begin(), r->buffer.end(), out);
      ReleaseRecord(r);
    }
  }
  return found;
}

bool TDataFile::NextKeyMatch(const uint8_t* record, int fieldCount, int partialLength, uint8_t* out) {
  if (index_->NaturalOrder()) return false;
  const TKeyBuilder& keys = index_->Keys(index_->SelectedSlot());
  std::vector<uint8_t> key(keys.KeyLength(), 0);
  keys.Build(record, key.data());
  size_t prefix = keys.PrefixLength(fieldCount, partialLength);
  if (GetNextRecord(out) != 0) return false;
  std::vector<uint8_t> current = index_->CurrentKey();
  return !current.empty() && keys.Compare(current.data(), key.data(), prefix) == 0;
}

std::vector<uint8_t> TDataFile::CurrentPosition() {
  std::vector<uint8_t> p;
  CurrentPosition(p);
  return p;
}

void TDataFile::CurrentPosition(std::vector<uint8_t>& out) {
  if (index_->NaturalOrder()) {
    out.resize(4);
    StoreLE32(out.data(), static_cast<uint32_t>(index_->CurrentRecordNumber()));
    return;
  }
  const size_t length = index_->Keys(index_->SelectedSlot()).KeyLength();
  const uint8_t* key = index_->CurrentKeyBytes();
  // Kept from one record to the next: the size only changes with the index.
  if (out.size() != length) out.resize(length);
  if (key) std::memcpy(out.data(), key, length);
  else std::memset(out.data(), 0, length);
}

void TDataFile::GoToSavedPosition(const std::vector<uint8_t>& position) {
  TReadBracket bracket(*this, strict_);
  if (index_->NaturalOrder()) {
    if (position.size() >= 4) index_->GoToRecord(LoadLEI32(position.data()));
    return;
  }
  index_->FindKey(position.data(), true, false);
  SyncMarker();
}

int TDataFile::ComparePositions(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) const {
  if (index_->NaturalOrder()) {
    int32_t x = a.size() >= 4 ? LoadLEI32(a.data()) : 0, y = b.size() >= 4 ? LoadLEI32(b.data()) : 0;
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  return index_->Keys(index_->SelectedSlot()).Compare(a.data(), b.data());
}

int32_t TDataFile::SequenceNumber() { return index_->Position(); }

int32_t TDataFile::Count() {
  // Under strict change detection the count, too, is of the table as it is now.
  TReadBracket bracket(*this, strict_);
  return index_->RecordCount();
}

void TDataFile::SetRange(const uint8_t* low, const uint8_t* high, bool areKeys, int lowFields, int highFields) {
  TReadBracket bracket(*this, strict_);
  if (index_->NaturalOrder()) return;
  const TKeyBuilder& keys = index_->Keys(index_->SelectedSlot());
  size_t L = keys.KeyLength();
  std::vector<uint8_t> start(L, 0), end(L, 0);
  if (areKeys) {
    std::memcpy(start.data(), low, L);
    std::memcpy(end.data(), high, L);
  } else {
    keys.Build(low, start.data());
    keys.FillSearchKey(start.data(), keys.PrefixLength(lowFields));
    keys.Build(high, end.data());
    keys.FillRangeEnd(end.data(), keys.PrefixLength(highFields));
  }
  index_->SetRangeStart(start.data());
  index_->SetRangeEnd(end.data());
  index_->ApplyRange();
  First();
}

void TDataFile::CancelRange() {
  TReadBracket bracket(*this, strict_);
  index_->ResetRange();
  First();
}

void TDataFile::SelectIndex(const std::string& name) {
  std::string current = index_->SelectedSlot() == 0 ? std::string() : index_->IndexName(index_->SelectedSlot());
  if (AsciiEqualNoCase(TrimChar(name, ' '), current) && index_->SelectedSlot() != idxfmt::kNoIndex) return;
  TReadBracket bracket(*this, true);
  std::vector<uint8_t> record;
  int32_t number = index_->CurrentRecordNumber();
  if (number > 0 && !index_->Empty()) {
    TRecord* r = FetchCurrent();
    if (r) {
      record = r->buffer;
      ReleaseRecord(r);
    }
  }
  index_->ResetRange();
  if (!index_->SelectIndexByName(name)) RaiseEngineError(errInvalidIndexName, FileName(), "", "", name);
  if (!record.empty()) Reposition(record.data(), number);
  else First();
}

void TDataFile::Reposition(const uint8_t* record, int32_t number) {
  if (index_->NaturalOrder()) {
    index_->GoToRecord(number);
  } else {
    const TKeyBuilder& keys = index_->Keys(index_->SelectedSlot());
    std::vector<uint8_t> key(keys.KeyLength());
    keys.Build(record, key.data());
    index_->FindKey(key.data(), true, false);
  }
  SyncMarker();
}

// ---------------------------------------------------------------- fields

void TDataFile::InitRecord(uint8_t* buffer) {
  std::fill(buffer, buffer + LogicalRecordSize(), 0);
  if (!hasDefaults_) return;
  WithTableSettings(header_.LocaleLanguage(), header_.LocaleSort(), [&] {
    TDateTime now = Now();
    for (const TFieldDescriptor& f : fields_) {
      std::string text = f.Default();
      if (text.empty()) continue;
      uint8_t value[16] = {};
      std::string upper = AsciiUpper(text);
      auto dateOf = [&](TDateTime dt) { StoreLE32(value, static_cast<uint32_t>(DateTimeToDayNumber(dt))); };
      switch (f.Type()) {
        case fldString:
          SetFieldValue(f.FieldNumber(), reinterpret_cast<const uint8_t*>(text.c_str()), false, buffer);
          continue;
        case fldDate:
          dateOf(upper == "DATE" ? now : TextToDate(text));
          break;
        case fldTime:
          StoreLE32(value, static_cast<uint32_t>(DateTimeToMsOfDay(upper == "TIME" ? now : TextToTime(text))));
          break;
        case fldTimeStamp: {
          TDateTime dt = upper == "NOW"    ? now
                         : upper == "DATE" ? static_cast<TDateTime>(DateTimeToDayNumber(now) - kDateDelta)
                         : upper == "TIME" ? static_cast<TDateTime>(DateTimeToMsOfDay(now)) / kMsPerDay
                                           : TextToDateTime(text);
          StoreLEDouble(value, DateTimeToTimeStamp(dt));
          break;
        }
        case fldBoolean:
          StoreLE16(value, BooleanText(text) ? 1 : 0);
          break;
        case fldSmallInt:
          StoreLE16(value, static_cast<uint16_t>(TextToInteger(text)));
          break;
        case fldInteger:
          if (f.IsAutoInc()) continue;
          StoreLE32(value, static_cast<uint32_t>(TextToInteger(text)));
          break;
        case fldWord:
          StoreLE16(value, static_cast<uint16_t>(TextToInteger(text)));
          break;
        case fldFloat:
          StoreLEDouble(value, TextToFloat(text));
          break;
        case fldBcd:
          StoreLE64(value, static_cast<uint64_t>(CurrencyToBcd(f.DeclaredDecimals(), TextToCurrency(text))));
          break;
        default:
          continue;
      }
      SetFieldValue(f.FieldNumber(), value, false, buffer);
    }
    return 0;
  });
}

bool TDataFile::GetFieldValue(int field, uint8_t* out, const uint8_t* record) const {
  const TFieldDescriptor& f = FieldByNumber(field);
  size_t size = f.StoredSize();
  if (out) std::fill(out, out + size, 0);
  const uint8_t* stored = FieldBytes(f, record);
  if (out && stored) std::memcpy(out, stored, f.IsAutoInc() ? 4 : size);
  return !stored;
}

void TDataFile::SetFieldValue(int field, const uint8_t* value, bool force, uint8_t* record) const {
  const TFieldDescriptor& f = FieldByNumber(field);
  if (f.IsCalculated() && !force) return;
  size_t size = f.StoredSize();
  if (f.IsAutoInc()) {
    if (value) std::memcpy(record + kAutoIncOffset, value, 4);
    return;
  }
  uint8_t* indicator = record + f.Offset();
  uint8_t* data = indicator + 1;
  std::fill(data, data + size, 0);
  if (!value) {
    *indicator = 0;
    return;
  }
  switch (f.Type()) {
    case fldString: {
      size_t length = 0;
      while (length < size - 1 && value[length] != 0) ++length;
      while (length > 0 && value[length - 1] == ' ') --length;
      std::memcpy(data, value, length);
      *indicator = length > 0 ? 1 : 0;
      break;
    }
    case fldBoolean:
      StoreLE16(data, LoadLE16(value) != 0 ? 1 : 0);
      *indicator = 1;
      break;
    case fldBlob: {
      std::memcpy(data, value, 4);
      *indicator = LoadLEI32(value) != 0 ? 1 : 0;
      break;
    }
    default:
      std::memcpy(data, value, size);
      *indicator = 1;
      break;
  }
}

// ---------------------------------------------------------------- validity

namespace {
double NumericValue(const TFieldDescriptor& f, const uint8_t* v) {
  switch (f.Type()) {
    case fldSmallInt: return LoadLEI16(v);
    case fldInteger: return LoadLEI32(v);
    case fldWord: return LoadLE16(v);
    case fldFloat: return LoadLEDouble(v);
    case fldDate: return LoadLEI32(v) - kDateDelta;
    case fldTime: return LoadLEI32(v) / double(kMsPerDay);
    case fldTimeStamp: return TimeStampToDateTime(LoadLEDouble(v));
    default: return 0;
  }
}

double BoundValue(const TFieldDescriptor& f, const std::string& text) {
  switch (f.Type()) {
    case fldSmallInt:
    case fldInteger:
    case fldWord: return TextToInteger(text);
    case fldFloat: return TextToFloat(text);
    case fldDate: return TextToDate(text);
    case fldTime: return TextToTime(text);
    case fldTimeStamp: return TextToDateTime(text);
    default: return 0;
  }
}
}  // namespace

void TDataFile::CheckValidity(const uint8_t* buffer) {
  if (!hasValidity_) return;
  WithTableSettings(header_.LocaleLanguage(), header_.LocaleSort(), [&] {
    for (const TFieldDescriptor& f : fields_) {
      if (f.IsCalculated()) continue;
      bool isNull = !f.IsAutoInc() && buffer[f.Offset()] == 0;
      if (f.Required() && isNull) RaiseEngineError(errRequired, FileName(), f.Name());
      for (int bound = 0; bound < 2; ++bound) {
        std::string text = bound == 0 ? f.Minimum() : f.Maximum();
        if (text.empty()) continue;
        const uint8_t* v = buffer + (f.IsAutoInc() ? kAutoIncOffset : f.Offset() + 1);
        int c = 0;
        if (f.Type() == fldString) {
          std::string value(reinterpret_cast<const char*>(v), f.StoredSize());
          c = CompareStrings(header_.LocaleLanguage(), header_.LocaleSort(), value, text, false);
        } else if (f.Type() == fldBcd) {
          int64_t value = LoadLEI64(v), limit = CurrencyToBcd(f.DeclaredDecimals(), TextToCurrency(text));
          int64_t a = BcdToCurrency(value), b = BcdToCurrency(limit);
          c = a < b ? -1 : (a > b ? 1 : 0);
        } else if (f.Type() == fldSmallInt || f.Type() == fldInteger || f.Type() == fldWord || f.Type() == fldFloat ||
                   f.Type() == fldDate || f.Type() == fldTime || f.Type() == fldTimeStamp) {
          double a = NumericValue(f, v), b = BoundValue(f, text);
          c = a < b ? -1 : (a > b ? 1 : 0);
        } else {
          continue;
        }
        if (bound == 0 && c < 0) RaiseEngineError(errBelowMinimum, FileName(), f.Name());
        if (bound == 1 && c > 0) RaiseEngineError(errAboveMaximum, FileName(), f.Name());
      }
    }
    return 0;
  });
}

// ---------------------------------------------------------------- changes

void TDataFile::CheckWritable() const {
  if (ReadOnly()) Raise(errAccessDenied);
}

int32_t TDataFile::PlaceForNewRecord() const {
  if (index_->NoPrimary() || header_.FreeChainHead() == 0) return header_.NextRecordNumber();
  return header_.FreeChainHead();
}

TSlotList TDataFile::MaintainedSlots() const {
  TSlotList slots;
  for (int s : index_->UsedSlots())
    if (s != idxfmt::kDeletedSlot) slots.push_back(s);
  return slots;
}

void TDataFile::BeginUndo() {
  undoActive_ = true;
  changeWritten_ = false;
  undoHeader_ = header_;
  undoRecords_.clear();
  index_->BeginUndo();
  if (blob_) blob_->BeginUndo();
}

void TDataFile::CommitUndo() {
  undoActive_ = false;
  undoRecords_.clear();
  index_->CommitUndo();
  if (blob_) blob_->CommitUndo();
}

void TDataFile::RollbackUndo() {
  DropWindow();
  if (!undoActive_) return;
  undoActive_ = false;
  header_ = undoHeader_;
  for (auto& [number, image] : undoRecords_) {
    auto found = byNumber_.Find(number);
    if (!image.existed) {
      // A place at the end of the file that the change had taken.
      if (found) {
        if ((*found)->get() == current_) current_ = nullptr;
        ForgetEntry((*found)->get());
        cache_.erase(*found);
        byNumber_.Erase(number);
      }
      continue;
    }
    TRecord* r;
    if (found) {
      r = (*found)->get();
    } else {
      auto restored = std::make_unique<TRecord>();
      cache_.push_front(std::move(restored));
      byNumber_.Set(number, cache_.begin());
      r = cache_.front().get();
      r->number = number;
    }
    r->buffer = std::move(image.buffer);
    // What a change wrote to the file must be written over again.
    MarkModified(r);
    r->pinCount = 0;
    r->readAhead = false;
  }
  undoRecords_.clear();
  index_->RollbackUndo();
  if (blob_) blob_->RollbackUndo();
  // A write-back that failed half way may have appended records that the restored header
  // does not count: cut them, so that the file keeps passing its open-time checks.
  try {
    int64_t end = header_.RecordOffset(header_.NextRecordNumber());
    if (!ReadOnly() && Size() > end) {
      Seek(end, 0);
      Write(nullptr, 0);
    }
  } catch (const EOvrinEngineError&) {
  }
}

// Brackets one Append, Modify or Delete: the write lock and the record lock it takes
// are released, and a failure puts the caches back as they were.
class TChangeScope {
 public:
  // A constructor that throws runs no destructor: whatever it took is given back here.
  explicit TChangeScope(TDataFile& file) : file_(file) {
    file_.CheckWritable();
    file_.BeginWrite();
    try {
      file_.BeginUndo();
    } catch (...) {
      try {
        file_.EndWrite();
      } catch (...) {
      }
      throw;
    }
  }
  void LockPlace(int32_t n) {
    if (file_.RecordLocked(n) || !file_.Locking()) return;
    file_.LockRecord(n);
    lockedPlace_ = n;
  }
  void Commit() {
    committed_ = true;
    file_.CommitUndo();
  }
  ~TChangeScope() {
    if (!committed_) {
      try {
        file_.RollbackUndo();
        // A shared table writes the state before the change back at once, over whatever
        // part of the change a failed write-back had put on disk.
        if (file_.Locking() && file_.changeWritten_) file_.WriteBack(true);
      } catch (...) {
      }
    }
    file_.UnpinRecords();
    file_.index_->UnpinAll();
    if (file_.blob_) file_.blob_->UnpinAll();
    // The place's record lock mostly goes with the write lock, in one release.
    const bool together = lockedPlace_ && file_.ReleasesWithWriteLock(lockedPlace_);
    try {
      if (lockedPlace_ && !together) file_.UnlockRecord(lockedPlace_);
    } catch (...) {
    }
    try {
      file_.EndWrite(together ? lockedPlace_ : 0);
    } catch (...) {
    }
  }

 private:
  TDataFile& file_;
  int32_t lockedPlace_ = 0;
  bool committed_ = false;
};

void TDataFile::HandBlobsToBlobFile(int32_t place, uint8_t* buffer) {
  if (!blob_) return;
  blob_->SetRecordNumber(place);
  blob_->SaveOpenBlobs();
  blob_->StoreReferences([&](uint16_t field, int32_t first) {
    uint8_t value[4];
    StoreLE32(value, static_cast<uint32_t>(first));
    SetFieldValue(field, value, true, buffer);
  });
  // References that are still negative name no open blob: never store them.
  for (const TFieldDescriptor& f : fields_)
    if (f.IsBlob() && BlobReference(f.FieldNumber(), buffer) < 0) Raise(errInvalidBlobOffset);
}

void TDataFile::AppendRecord(uint8_t* buffer) {
  TChangeScope scope(*this);
  int32_t place = PlaceForNewRecord();
  // A deleted record's place, reused, may be locked by a user still editing what stood
  // there. A place past the last record is nobody's: no user can have read a record there,
  // and the table's write lock keeps every other writer out until the change is done, so
  // locking it would cost a system call and guard nothing.
  if (place != header_.NextRecordNumber()) scope.LockPlace(place);
  CheckValidity(buffer);
  StoreLE32(buffer + rIdentifier, static_cast<uint32_t>(header_.LastAutoInc() == 0x7FFFFFFF ? 1 : header_.LastAutoInc() + 1));
  const TSlotList slots = MaintainedSlots();
  // Every index's key, one after another in one buffer.
  std::vector<uint8_t> keyBytes;
  keyBytes.swap(postKeys_);
  std::array<size_t, idxfmt::kDeletedSlot + 2> keyAt{};
  for (size_t i = 0; i < slots.size(); ++i) keyAt[i + 1] = keyAt[i] + index_->Keys(slots[i]).KeyLength();
  keyBytes.resize(keyAt[slots.size()]);
  auto key = [&](size_t i) { return keyBytes.data() + keyAt[i]; };
  for (size_t i = 0; i < slots.size(); ++i) {
    BuildKey(slots[i], buffer, key(i));
    index_->CheckUnique(slots[i], key(i));
  }
  // From here on the change touches the caches; a failure is undone by the scope.
  bool atEnd = place == header_.NextRecordNumber();
  TRecord* r = Fetch(place, true, 1);
  if (!r) Corrupt();
  bool reused = !atEnd;
  // A free chain that names a live record is damage: never write over that record.
  if (reused && r->buffer[rDeleted] == 0) Corrupt();
  for (size_t i = 0; i < slots.size(); ++i) index_->InsertKey(slots[i], key(i), place);
  if (!index_->NoPrimary()) {
    uint8_t newKey[5];
    BuildDeletionKey(buffer, newKey);
    if (reused) {
      uint8_t oldKey[5];
      BuildDeletionKey(r->buffer.data(), oldKey);
      index_->ReplaceKey(idxfmt::kDeletedSlot, oldKey, newKey, place);
    } else {
      index_->InsertKey(idxfmt::kDeletedSlot, newKey, place);
    }
  }
  // Take the place off the free chain.
  header_.SetFreeChainHead(reused ? LoadLEI32(&r->buffer[rLink]) : 0);
  ResetEntry(r, true);
  std::copy(buffer + kRecordPrefixSize, buffer + recordSize_, r->buffer.begin() + kRecordPrefixSize);
  std::memcpy(&r->buffer[rIdentifier], buffer + rIdentifier, 4);
  MarkModified(r);
  index_->AddRecordCount(1);
  // Blob references go into a copy: a change that fails leaves the caller's buffer, with
  // its open blobs, as it was, ready to be posted again.
  std::vector<uint8_t> work;
  work.swap(postRecord_);
  work.assign(buffer, buffer + LogicalRecordSize());
  HandBlobsToBlobFile(place, work.data());
  std::copy(work.begin() + kRecordPrefixSize, work.begin() + recordSize_, r->buffer.begin() + kRecordPrefixSize);
  work.swap(postRecord_);
  if (blob_) blob_->CloseAllBlobs();
  index_->RecordStored(place, r->buffer.data());
  ReleaseRecord(r);
  current_ = r;
  if (Locking()) WriteBack(true);
  scope.Commit();
  std::copy(r->buffer.begin(), r->buffer.end(), buffer);
  // The range's bounds in the index order move with the keys this cursor added, as they
  // do with another user's.
  index_->ComputeRangeOrdinals();
  keyBytes.swap(postKeys_);
  Reposition(r->buffer.data(), place);
}

TRecord* TDataFile::FetchLive(int32_t number, int32_t identifier) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (number <= 0 || number >= header_.NextRecordNumber()) Raise(errRecordNotFound);
    TRecord* r = Fetch(number, true, 1);
    if (!r) continue;  // another user's change was found: look again in the new state
    if (r->buffer[rDeleted] != 0 || LoadLEI32(&r->buffer[rIdentifier]) != identifier) {
      ReleaseRecord(r);
      Raise(errRecordNotFound);
    }
    return r;
  }
  Raise(errLockFailure);
}

uint16_t TDataFile::ReadRecordAt(int32_t number, int32_t identifier, uint8_t* buffer, bool lock) {
  TReadBracket bracket(*this, strict_);
  const bool lockedHere = lock && Locking() && !RecordLocked(number) && number > 0;
  if (lock) {
    if (number <= 0) return errRecordNotFound;
    LockRecord(number);
  }
  // Whatever keeps the record from being read, the lock this call took goes again.
  auto unlockTaken = [&] {
    if (!lockedHere) return;
    try {
      UnlockRecord(number);
    } catch (...) {
    }
  };
  TRecord* r;
  try {
    r = FetchLive(number, identifier);
  } catch (const EOvrinEngineError& e) {
    unlockTaken();
    if (e.ErrorCode() == errRecordNotFound) return errRecordNotFound;
    throw;
  } catch (...) {
    unlockTaken();
    throw;
  }
  std::vector<uint8_t> image = r->buffer;
  ReleaseRecord(r);
  Reposition(image.data(), number);
  if (buffer) std::copy(image.begin(), image.end(), buffer);
  return 0;
}

void TDataFile::ModifyRecord(uint8_t* buffer, bool unlock, bool reposition) {
  int32_t number = index_->CurrentRecordNumber();
  if (number <= 0 || index_->Empty()) Raise(errRecordNotFound);
  ModifyRecordAt(number, buffer, unlock, reposition);
}

void TDataFile::ModifyRecordAt(int32_t number, uint8_t* buffer, bool unlock, bool reposition) {
  {
    TChangeScope scope(*this);
    CheckValidity(buffer);
    TRecord* r;
    try {
      r = FetchLive(number, LoadLEI32(buffer + rIdentifier));
    } catch (const EOvrinEngineError& e) {
      // The record has gone (only possible when it was not locked for the edit): the
      // lock on its place would keep others from reusing it.
      if (e.ErrorCode() == errRecordNotFound && RecordLocked(number)) {
        try {
          UnlockRecord(number);
        } catch (...) {
        }
      }
      throw;
    }
    std::memcpy(buffer + rIdentifier, &r->buffer[rIdentifier], 4);
    std::memcpy(buffer + rLink, &r->buffer[rLink], 4);
    buffer[rDeleted] = 0;
    const TSlotList slots = MaintainedSlots();
    std::vector<std::vector<uint8_t>> oldKeys(slots.size()), newKeys(slots.size());
    std::vector<bool> changed(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) {
      size_t L = index_->Keys(slots[i]).KeyLength();
      oldKeys[i].resize(L);
      newKeys[i].resize(L);
      BuildKey(slots[i], r->buffer.data(), oldKeys[i].data());
      BuildKey(slots[i], buffer, newKeys[i].data());
      changed[i] = index_->Keys(slots[i]).Compare(oldKeys[i].data(), newKeys[i].data()) != 0 ||
                   oldKeys[i] != newKeys[i];
      if (changed[i]) index_->CheckUnique(slots[i], newKeys[i].data());
    }
    for (size_t i = 0; i < slots.size(); ++i)
      if (changed[i]) index_->ReplaceKey(slots[i], oldKeys[i].data(), newKeys[i].data(), number);
    std::vector<uint8_t> work(buffer, buffer + LogicalRecordSize());
    HandBlobsToBlobFile(number, work.data());
    std::copy(work.begin() + kRecordPrefixSize, work.begin() + recordSize_, r->buffer.begin() + kRecordPrefixSize);
    MarkModified(r);
    if (blob_) blob_->CloseAllBlobs();
    index_->RecordStored(number, r->buffer.data());
    ReleaseRecord(r);
    if (Locking()) WriteBack(true);
    scope.Commit();
    if (unlock && RecordLocked(number)) UnlockRecord(number);
    std::copy(r->buffer.begin(), r->buffer.end(), buffer);
  }
  index_->ComputeRangeOrdinals();
  if (reposition) Reposition(buffer, number);
}

void TDataFile::DeleteRecord(bool reposition) {
  int32_t number = 0, identifier = 0;
  {
    TReadBracket bracket(*this, strict_);
    TRecord* r = FetchCurrent();
    if (!r) Raise(errRecordNotFound);
    number = r->number;
    identifier = LoadLEI32(&r->buffer[rIdentifier]);
    ReleaseRecord(r);
  }
  DeleteRecordAt(number, identifier, reposition);
}

void TDataFile::DeleteRecordAt(int32_t number, int32_t identifier, bool reposition) {
  std::vector<uint8_t> copy;
  {
    TChangeScope scope(*this);
    if (number <= 0 || number >= header_.NextRecordNumber()) Raise(errRecordNotFound);
    scope.LockPlace(number);
    TRecord* r = FetchLive(number, identifier);
    copy = r->buffer;
    for (int slot : MaintainedSlots()) {
      std::vector<uint8_t> key(index_->Keys(slot).KeyLength());
      BuildKey(slot, copy.data(), key.data());
      index_->DeleteKey(slot, key.data());
    }
    if (!index_->NoPrimary()) {
      uint8_t oldKey[5], newKey[5];
      BuildDeletionKey(copy.data(), oldKey);
      std::memcpy(newKey, oldKey, 5);
      newKey[0] = 1;
      index_->ReplaceKey(idxfmt::kDeletedSlot, oldKey, newKey, number);
    }
    index_->AddRecordCount(-1);
    if (blob_) {
      for (const TFieldDescriptor& f : fields_) {
        if (!f.IsBlob()) continue;
        int32_t reference = BlobReference(f.FieldNumber(), copy.data());
        if (reference <= 0) continue;
        int32_t handle;
        CheckEngineResult(blob_->OpenBlob(reference, static_cast<uint16_t>(f.FieldNumber()), number, true, &handle));
        CheckEngineResult(blob_->SetBlobSize(handle, 0));
      }
      blob_->SaveOpenBlobs();
      blob_->CloseAllBlobs();
    }
    // Onto the free chain.
    r->buffer[rDeleted] = 1;
    int32_t head = header_.FreeChainHead();
    bool toEnd = index_->NoPrimary() || head == 0;
    StoreLE32(&r->buffer[rLink], static_cast<uint32_t>(toEnd ? 0 : head));
    header_.SetFreeChainHead(number);
    MarkModified(r);
    index_->RecordRemoved(number);
    ReleaseRecord(r);
    if (current_ == r) current_ = nullptr;
    if (Locking()) WriteBack(true);
    scope.Commit();
  }
  index_->ComputeRangeOrdinals();
  if (reposition) Reposition(copy.data(), number);
}

// ---------------------------------------------------------------- blobs

int32_t TDataFile::BlobReference(int field, const uint8_t* record) const {
  const TFieldDescriptor& f = FieldByNumber(field);
  return LoadLEI32(record + f.Offset() + 1);
}

void TDataFile::SetBlobReference(int field, int32_t reference, uint8_t* record) const {
  uint8_t value[4];
  StoreLE32(value, static_cast<uint32_t>(reference));
  SetFieldValue(field, value, true, record);
}

uint16_t TDataFile::BlobHandleFor(int field, uint8_t* record, bool open, int32_t* handle) {
  const TFieldDescriptor& f = FieldByNumber(field);
  if (!f.IsBlob() || !blob_) return errBlobField;
  int32_t reference = BlobReference(field, record);
  if (reference < 0) {
    if (!blob_->FindBlob(-reference)) return errInvalidBlobOffset;
    *handle = -reference;
    return 0;
  }
  if (!open) return errBlobHandle;
  int32_t number = LoadLEI32(record + rLink);
  uint16_t code = blob_->OpenBlob(reference, static_cast<uint16_t>(field), number, false, handle);
  if (code) return code;
  // While open, the buffer carries the negated handle; the indicator stays as it was.
  uint8_t indicator = record[f.Offset()];
  StoreLE32(record + f.Offset() + 1, static_cast<uint32_t>(-*handle));
  record[f.Offset()] = indicator;
  return 0;
}

uint16_t TDataFile::OpenBlob(int field, uint8_t* record, int32_t* handle) {
  TReadBracket bracket(*this, strict_);
  return BlobHandleFor(field, record, true, handle);
}

uint16_t TDataFile::ReadBlob(int field, const uint8_t* record, uint32_t offset, uint32_t count, void* out,
                             uint32_t* read) {
  *read = 0;
  std::vector<uint8_t> copy(record, record + LogicalRecordSize());
  int32_t handle;
  TReadBracket bracket(*this, strict_);
  bool wasOpen = BlobReference(field, record) < 0;
  if (uint16_t code = BlobHandleFor(field, copy.data(), true, &handle)) return code;
  uint16_t code = blob_->ReadBlob(handle, offset, count, out, read);
  if (!wasOpen) blob_->CloseBlob(handle, nullptr);
  blob_->UnpinAll();
  return code;
}

uint16_t TDataFile::WriteBlob(int field, uint8_t* record, uint32_t offset, uint32_t count, const void* in) {
  int32_t handle;
  TReadBracket bracket(*this, strict_);
  if (uint16_t code = BlobHandleFor(field, record, true, &handle)) return code;
  uint16_t code = blob_->WriteBlob(handle, offset, count, in);
  blob_->UnpinAll();
  return code;
}

uint16_t TDataFile::TruncateBlob(int field, uint8_t* record, uint32_t size) {
  int32_t handle;
  TReadBracket bracket(*this, strict_);
  if (uint16_t code = BlobHandleFor(field, record, true, &handle)) return code;
  uint16_t code = blob_->SetBlobSize(handle, size);
  blob_->UnpinAll();
  return code;
}

uint16_t TDataFile::BlobSize(int field, uint8_t* record, uint32_t* size) {
  *size = 0;
  const TFieldDescriptor& f = FieldByNumber(field);
  if (!f.IsBlob() || !blob_) return errBlobField;
  if (BlobReference(field, record) == 0) return 0;
  int32_t handle;
  TReadBracket bracket(*this, strict_);
  if (uint16_t code = BlobHandleFor(field, record, true, &handle)) return code;
  uint16_t code = blob_->BlobSize(handle, size);
  blob_->UnpinAll();
  return code;
}

uint16_t TDataFile::FreeBlob(int field, uint8_t* record) {
  const TFieldDescriptor& f = FieldByNumber(field);
  if (!f.IsBlob() || !blob_) return errBlobField;
  int32_t reference = BlobReference(field, record);
  if (reference >= 0) return 0;
  int32_t first = 0;
  uint16_t code = blob_->CloseBlob(-reference, &first);
  if (code) return code;
  uint8_t indicator = record[f.Offset()];
  StoreLE32(record + f.Offset() + 1, static_cast<uint32_t>(first));
  record[f.Offset()] = indicator;
  return 0;
}

void TDataFile::CloseBlobs(uint8_t* record) {
  if (!blob_) return;
  for (const TFieldDescriptor& f : fields_)
    if (f.IsBlob() && record) FreeBlob(f.FieldNumber(), record);
  blob_->CloseAllBlobs();
}

// ---------------------------------------------------------------- second data file

std::unique_ptr<TDataFile> TDataFile::OpenSecond() {
  if (Exclusive()) Raise(errAccessDenied);
  TReadBracket bracket(*this, strict_);
  auto second = std::make_unique<TDataFile>();
  second->SetFileName(FileName());
  second->SetReadOnly(ReadOnly());
  second->SetInMemory(InMemory());
  second->SetLockRetryCount(lockRetryCount_);
  second->SetLockWaitTime(lockWaitTime_);
  second->SetStrictChangeDetection(strict_);
  bool added = false;
  if (Encrypted() && engine::CurrentFileSessionOrNull()) {
    auto& passwords = engine::CurrentFileSession()->Passwords;
    std::string password = header_.Password();
    added = !passwords.Contains(password);
    passwords.Add(password);
  }
  try {
    second->Open();
  } catch (...) {
    if (added) engine::CurrentFileSession()->Passwords.Remove(header_.Password());
    throw;
  }
  if (added) engine::CurrentFileSession()->Passwords.Remove(header_.Password());
  second->Index().SelectSlot(index_->SelectedSlot());
  int32_t number = index_->CurrentRecordNumber();
  if (number > 0) {
    TRecord* r = FetchCurrent();
    if (r) {
      std::vector<uint8_t> record = r->buffer;
      ReleaseRecord(r);
      second->Reposition(record.data(), number);
    }
  }
  return second;
}

}  // namespace ovrin
