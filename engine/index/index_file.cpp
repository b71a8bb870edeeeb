// The page cache, header, locks and open/close of TIndexFile.
#include "engine/index/index_file.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <stdexcept>
#include <memory>
#include <cstring>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/file_session.h"

namespace ovrin {

using namespace idxfmt;

namespace {
constexpr int kInitialCapacity = 31;
constexpr int kHeldGrowth = 64;
constexpr uint16_t kMaxPins = 64;
}  // namespace

int64_t TPage::SubtreeCount() const {
  if (IsLeaf()) return Count();
  int64_t sum = 0;
  for (int32_t c : data.counts) sum += c;
  return sum;
}

TPageGuard::~TPageGuard() { file->ReleasePage(page); }

TIndexFile::~TIndexFile() {
  try {
    Close();
  } catch (...) {
  }
}

std::string TIndexFile::MapFileName(const std::string& name) const {
  return RemoveExtension(TrimChar(name, ' ')) + ".IDX";
}

void TIndexFile::Corrupt() const { Raise(errIndexCorrupt); }

void TIndexFile::OpenIndex(const std::vector<TFieldDescriptor>& fields, uint16_t language, uint16_t sort,
                           bool encrypted) {
  TFileHandler::Open();
  try {
    encrypted_ = encrypted;
    locks_.Forget();
    ReadHeader();
    ValidateIndexHeader(header_, Size(), FileName());
    for (int slot : UsedSlots()) {
      keys_[slot] = TKeyBuilder(header_, slot, fields, language, sort, FileName());
      if (slot == kDeletedSlot) continue;
      bool idSuffix = slot != 0 && !header_.Slot(slot).Unique();
      // A descriptor whose key length disagrees with its fields would let keys run past
      // their buffers.
      if (KeyLengthFor(keys_[slot].Fields(), idSuffix) != header_.Slot(slot).KeyLength() ||
          keys_[slot].Fields().empty())
        Raise(errHeaderCorrupt);
    }
    for (int s = 0; s < kSlots; ++s) capacity_[s] = kInitialCapacity;
    slot_ = -1;
    ResetRange();
    SelectSlot(0);
  } catch (...) {
    Close();
    throw;
  }
}

void TIndexFile::Close() {
  for (auto& list : lists_) list.clear();
  filters_.clear();
  current_ = nullptr;
  position_ = 0;
  naturalRecord_ = 0;
  bof_ = eof_ = true;
  rangeActive_ = false;
  recordFilter_ = false;
  if (IsOpen()) {
    ReleaseWriteLock();
    ReleaseReadLock();
  }
  locks_.Forget();
  TFileHandler::Close();
}

TSlotList TIndexFile::UsedSlots() const {
  TSlotList slots;
  if (!header_.NoPrimary()) slots.push_back(0);
  for (int s = 1; s <= header_.SecondaryCount(); ++s) slots.push_back(s);
  if (!header_.NoPrimary()) slots.push_back(kDeletedSlot);
  return slots;
}

const TKeyBuilder& TIndexFile::Keys(int slot) const { return keys_[slot]; }

std::string TIndexFile::IndexName(int slot) const {
  return slot == 0 ? std::string(kPrimaryName) : header_.Slot(slot).Name();
}

// ---------------------------------------------------------------- header

void TIndexFile::WriteHeader(bool force) {
  if (!force && !header_.Modified()) return;
  // Every header write stores the header-modified mark set; a forced one may write an
  // image whose mark was cleared (an undo writing back the header kept at the change's
  // start), which left the byte 0 where every other write leaves 1.
  header_.SetModified(true);
  WriteIndexHeader(*this, header_, encrypted_);
  ++stats_.writes;
}

void TIndexFile::ReadHeader() { ReadIndexHeader(*this, header_, encrypted_); }

bool TIndexFile::HeaderChanged() {
  if (ReadChangeCounter(*this, encrypted_) == header_.ChangeCounter()) return false;
  ReadHeader();
  return true;
}

// ---------------------------------------------------------------- undo

void TIndexFile::BeginUndo() {
  undoActive_ = true;
  undoHeader_ = header_;
  undoCount_ = 0;
}

void TIndexFile::CommitUndo() {
  undoActive_ = false;
  undoCount_ = 0;
}

TIndexFile::TPageImage* TIndexFile::FindUndo(int32_t offset) {
  for (size_t i = 0; i < undoCount_; ++i)
    if (undoPages_[i].first == offset) return &undoPages_[i].second;
  return nullptr;
}

void TIndexFile::Capture(TPage* page, bool fresh) {
  if (!undoActive_ || FindUndo(page->offset)) return;
  if (undoCount_ == undoPages_.size()) undoPages_.emplace_back();
  auto& [offset, image] = undoPages_[undoCount_++];
  offset = page->offset;
  image.slot = page->slot;
  image.data = page->data;
  image.modified = page->modified;
  image.freeMark = page->freeMark;
  image.storedCount = page->storedCount;
  image.fresh = fresh;
  image.written = false;
}

void TIndexFile::RollbackUndo() {
  if (!undoActive_) return;
  undoActive_ = false;
  header_ = undoHeader_;
  // The cursor is placed again by the data file.
  if (current_) ReleasePage(current_);
  current_ = nullptr;
  position_ = 0;
  for (size_t i = 0; i < undoCount_; ++i) {
    auto& [offset, image] = undoPages_[i];
    TPage* found = nullptr;
    for (auto& p : lists_[image.slot])
      if (p->offset == offset) found = p.get();
    if (image.fresh) {
      // Appended by the change: the restored end of file no longer includes it.
      if (found) found->Reset();
      continue;
    }
    bool mustWrite = image.modified || image.written;
    if (!found) {
      if (!mustWrite) continue;  // the file still holds what the page held before
      auto restored = std::make_unique<TPage>();
      found = restored.get();
      lists_[image.slot].insert(lists_[image.slot].begin(), std::move(restored));
      ++capacity_[image.slot];
    }
    found->offset = offset;
    found->slot = image.slot;
    std::swap(found->data, image.data);
    found->data.unchangedBefore = 0;  // the file may hold the change's packing of it
    found->modified = mustWrite;
    found->freeMark = image.freeMark;
    found->storedCount = image.storedCount;
    found->pinCount = 0;
    found->parent = 0;
  }
  undoCount_ = 0;
  UnpinAll();
  if (recordFilter_) RebuildBitmaps();
}

// ---------------------------------------------------------------- page cache

TPage* TIndexFile::ObtainPageObject(int slot) {
  auto& list = lists_[slot];
  auto toFront = [&](size_t i) {
    std::rotate(list.begin(), list.begin() + ptrdiff_t(i), list.begin() + ptrdiff_t(i) + 1);
    return list.front().get();
  };
  if (static_cast<int>(list.size()) < capacity_[slot]) {
    list.insert(list.begin(), std::make_unique<TPage>());
    return list.front().get();
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (size_t i = list.size(); i-- > 0;) {
      TPage* p = list[i].get();
      if (!p->modified && p->pinCount == 0) {
        p->Reset();
        return toFront(i);
      }
    }
    if (held_ || attempt == 1) break;
    // Write the least recently used modified page that nobody holds, then look again.
    for (size_t i = list.size(); i-- > 0;) {
      if (list[i]->modified && list[i]->pinCount == 0) {
        WritePage(list[i].get());
        break;
      }
    }
  }
  if (!held_) Corrupt();
  capacity_[slot] += kHeldGrowth;
  list.insert(list.begin(), std::make_unique<TPage>());
  return list.front().get();
}

void TIndexFile::CheckPageOffset(int32_t offset) const {
  if (offset < int32_t(kHeaderSize) || offset % int32_t(kPageSize) != 0 || offset >= header_.EndOfFile()) Corrupt();
}

TPage* TIndexFile::GetPage(int32_t offset, bool fresh) {
  ++stats_.requested;
  auto& list = lists_[ws_];
  for (size_t i = 0; i < list.size(); ++i) {
    TPage* p = list[i].get();
    if (p->offset == offset) {
      if (p->pinCount >= kMaxPins) Corrupt();
      ++p->pinCount;
      Capture(p, false);
      std::rotate(list.begin(), list.begin() + ptrdiff_t(i), list.begin() + ptrdiff_t(i) + 1);
      return p;
    }
  }
  if (!strict_ && !noRestart_) {
    bool changed = owner_ ? owner_->ReadLockStep(*this) : (!Exclusive() && HeaderChanged());
    if (changed) {
      ForgetPages();
      throw TRestart{};
    }
  }
  CheckPageOffset(offset);
  TPage* page = ObtainPageObject(ws_);
  uint8_t buffer[kPageSize];
  Seek(offset, 0);
  uint32_t got = Read(buffer, kPageSize, Exclusive() || held_);
  std::memset(buffer + got, 0, kPageSize - got);
  if (got == kPageSize) page->disk.assign(buffer, buffer + kPageSize);
  else page->disk.clear();
  page->diskUsed = kPageSize;  // the file's bytes past the entries need not be zeros
  ++stats_.reads;
  if (encrypted_) ApplyCipher(buffer, kPageSize, kTableKey);
  page->offset = offset;
  page->slot = ws_;
  try {
    UnpackPage(buffer, Shape(), fresh, &page->data, FileName());
  } catch (...) {
    page->Reset();
    throw;
  }
  page->storedCount = LoadLE16(buffer + pCount);
  page->pinCount = 1;
  Capture(page, false);
  return page;
}

void TIndexFile::ReleasePage(TPage* page) {
  if (page && page->pinCount > 0) --page->pinCount;
}

TPage* TIndexFile::AllocatePage() {
  int32_t head = header_.Slot(ws_).FreeList();
  TPage* page;
  if (head != 0) {
    page = GetPage(head, true);
    // A free page holds no entries and does not name itself as the next free page;
    // anything else is a damaged free list, which must not hand out a page in use.
    bool isFree = page->freeMark || (page->storedCount == 0 && page->Count() == 0 && !page->modified);
    if (!isFree || page->data.next == head) {
      ReleasePage(page);
      Corrupt();
    }
    header_.SetFreeList(ws_, page->data.next);
  } else {
    int32_t eof = header_.EndOfFile();
    if (int64_t(eof) + kPageSize > kMaxEndOfFile) Raise(errTableFull);
    page = ObtainPageObject(ws_);
    page->offset = eof;
    page->slot = ws_;
    page->pinCount = 1;
    header_.SetEndOfFile(eof + int32_t(kPageSize));
    Capture(page, true);
  }
  page->data.Clear();
  page->data.keyLength = KeyLength();
  page->data.type = ptRoot;
  page->data.previous = 0;
  page->data.next = 0;
  page->freeMark = false;
  page->parent = 0;
  page->cursorPos = page->insertPos = 0;
  page->storedCount = 0;
  page->modified = true;
  return page;
}

void TIndexFile::FreePage(TPage* page) {
  page->data.Clear();
  page->data.next = header_.Slot(ws_).FreeList();
  page->freeMark = true;
  page->modified = true;
  header_.SetFreeList(ws_, page->offset);
}

namespace {
// Set in the environment (OVRIN_CHECK_PACKING=1, as the test suite does), every page
// packed from its last packing is packed whole as well and the two compared: a change to
// an entry that did not say so (TPageData::Touch) shows at once.
bool CheckPacking() {
  static const bool check = [] {
    const char* v = std::getenv("OVRIN_CHECK_PACKING");
    return v && *v && std::strcmp(v, "0") != 0;
  }();
  return check;
}
}  // namespace

size_t TIndexFile::PackInto(const TPage* page, uint8_t* out, size_t zeroFrom, size_t* same) {
  const TIndexShape shape = keys_[page->slot].Shape();
  size_t used;
  if (same) *same = kPageHeaderSize;
  // Entries a change left alone keep their bytes: they are taken from the page's last
  // packing, which is the file's (unenciphered) as long as the cache knows it.
  if (!encrypted_ && !page->freeMark && page->data.unchangedBefore > 0 && page->disk.size() == kPageSize) {
    used = PackPageAfter(page->data, shape, page->disk.data(), out, FileName(), zeroFrom, same);
    if (CheckPacking()) {
      std::array<uint8_t, kPageSize> whole;
      if (PackPage(page->data, shape, false, whole.data(), FileName()) != used ||
          std::memcmp(whole.data(), out, kPageSize) != 0)
        throw std::logic_error("index page " + std::to_string(page->offset) + " of " + FileName() +
                               " packed from its last packing differs from the page packed whole");
    }
  } else {
    used = PackPage(page->data, shape, page->freeMark, out, FileName(), zeroFrom);
  }
  if (!encrypted_) return used;
  ApplyCipher(out, kPageSize, kTableKey);
  return kPageSize;
}

void TIndexFile::WritePage(TPage* page) { WriteRun(&page, 1); }

void TIndexFile::WriteRun(TPage* const* pages, size_t count, const uint8_t* filler) {
  // A change mostly touches a few bytes of a page (an entry, a subtree count): the file
  // gets the span from the first to the last byte that differs from what it holds, with
  // one write for the whole run, and ends up with the same bytes as a write of it all.
  // Each page is packed into its own second buffer, which becomes its disk image once
  // written: no page is copied whole.
  size_t first = count * kPageSize, end = 0;
  for (size_t k = 0; k < count; ++k) {
    TPage* page = pages[k];
    if (filler && filler[k]) continue;
    if (page->packed.size() != kPageSize) {
      page->packed.assign(kPageSize, 0);  // in the room an earlier page left, if any
      page->packedUsed = 0;
    }
    // The buffer holds an older packing of the page: past its used bytes it is zeros. A
    // packing that fails half way leaves it unknown.
    const size_t zeroFrom = page->packedUsed;
    page->packedUsed = kPageSize;
    size_t same = kPageHeaderSize;
    page->packedUsed = static_cast<uint16_t>(PackInto(page, page->packed.data(), zeroFrom, &same));
    size_t lo = 0, hi = kPageSize;
    if (page->disk.size() == kPageSize) {
      // Only where the images can differ is looked at: the header, and the entries from
      // the first that was not copied from the disk image up to where both images turn
      // to zeros.
      const uint8_t* disk = page->disk.data();
      const uint8_t* packed = page->packed.data();
      const size_t to = std::max<size_t>({page->diskUsed, page->packedUsed, same});
      size_t headLo, headHi, bodyLo, bodyHi;
      ChangedSpan(disk, packed, kPageHeaderSize, &headLo, &headHi);
      ChangedSpan(disk + same, packed + same, to - same, &bodyLo, &bodyHi);
      if (bodyLo < bodyHi) {
        lo = headLo < headHi ? headLo : same + bodyLo;
        hi = same + bodyHi;
      } else {
        lo = headLo;
        hi = headHi;
      }
      if (CheckPacking()) {
        size_t wholeLo, wholeHi;
        ChangedSpan(disk, packed, kPageSize, &wholeLo, &wholeHi);
        if (wholeLo < wholeHi && (wholeLo != lo || wholeHi != hi))
          throw std::logic_error("index page " + std::to_string(page->offset) + " of " + FileName() +
                                 ": the changed span looked for is not the one the whole page shows");
      }
    }
    if (lo < hi) {
      first = std::min(first, k * kPageSize + lo);
      end = std::max(end, k * kPageSize + hi);
    }
  }
  // From the moment a write is tried the file may hold part of it: an undo must then
  // write these pages again, whether or not the write went through.
  if (undoActive_)
    for (size_t k = 0; k < count; ++k)
      if (!(filler && filler[k]))
        if (TPageImage* image = FindUndo(pages[k]->offset)) image->written = true;
  if (first < end) {
    // The span in one write: straight from the page when it lies in one, else gathered
    // from the pages' images where they lie.
    const size_t firstPage = first / kPageSize, lastPage = (end - 1) / kPageSize;
    auto image = [&](size_t k) {
      return filler && filler[k] ? pages[k]->disk.data() : pages[k]->packed.data();
    };
    runPieces_.clear();
    for (size_t k = firstPage; k <= lastPage; ++k) {
      const size_t from = std::max(first, k * kPageSize), to = std::min(end, (k + 1) * kPageSize);
      runPieces_.push_back({image(k) + (from - k * kPageSize), to - from});
    }
    try {
      Seek(pages[0]->offset + int32_t(first), 0);
      if (runPieces_.size() == 1) Write(runPieces_[0].bytes, static_cast<uint32_t>(end - first));
      else WriteGather(runPieces_.data(), runPieces_.size());
    } catch (...) {
      // Part of the span may have reached the file: what it holds is not known now.
      for (size_t k = 0; k < count; ++k) pages[k]->disk.clear();
      throw;
    }
    ++stats_.writes;
  }
  long written = 0;
  for (size_t k = 0; k < count; ++k) {
    if (filler && filler[k]) {
      ++stats_.pagesBridged;
      continue;
    }
    TPage* page = pages[k];
    page->disk.swap(page->packed);
    std::swap(page->diskUsed, page->packedUsed);
    page->data.unchangedBefore = page->data.Count();
    page->modified = false;
    ++written;
  }
  stats_.pagesWritten += written;
}

void TIndexFile::FlushPages() {
  std::vector<TPage*>& dirty = flushDirty_;
  dirty.clear();
  for (auto& list : lists_)
    for (auto& p : list)
      // The cursor's own pin does not hold a page back: between operations its page is
      // as consistent as any other, and leaving it out would lose its changes.
      if (p->modified && p->offset != 0 && (p->pinCount == 0 || (p.get() == current_ && p->pinCount == 1)))
        dirty.push_back(p.get());
  if (dirty.empty()) return;
  std::sort(dirty.begin(), dirty.end(), [](TPage* a, TPage* b) { return a->offset < b->offset; });
  // A change mostly touches a few bytes in each of a few pages, and a write costs the
  // kernel about as much as copying a few pages more. Changed pages a page or two apart
  // go out in one write when every page between them is cached with the file's bytes
  // (a disk image, and not changed itself): the writer holds the whole index, so those
  // bytes are what the file holds, and writing them again leaves it as it was there.
  constexpr int32_t kMaxBridge = 2;  // pages between two changed ones
  auto cachedClean = [&](int32_t offset) -> TPage* {
    for (auto& list : lists_)
      for (auto& p : list)
        if (p->offset == offset) return !p->modified && p->disk.size() == kPageSize ? p.get() : nullptr;
    return nullptr;
  };
  std::vector<TPage*>& run = flushRun_;
  std::vector<uint8_t>& filler = flushFiller_;
  for (size_t i = 0; i < dirty.size();) {
    run.assign(1, dirty[i]);
    filler.assign(1, 0);
    size_t j = i + 1;
    for (; j < dirty.size(); ++j) {
      const int32_t from = run.back()->offset + int32_t(kPageSize);
      const int32_t gap = (dirty[j]->offset - from) / int32_t(kPageSize);
      if (gap > kMaxBridge) break;
      const size_t before = run.size();
      for (int32_t g = 0; g < gap; ++g) {
        TPage* between = cachedClean(from + g * int32_t(kPageSize));
        if (!between) break;
        run.push_back(between);
        filler.push_back(1);
      }
      if (run.size() != before + size_t(gap)) {
        run.resize(before);
        filler.resize(before);
        break;
      }
      run.push_back(dirty[j]);
      filler.push_back(0);
    }
    WriteRun(run.data(), run.size(), filler.data());
    i = j;
  }
}

void TIndexFile::ForgetPages() {
  for (auto& list : lists_)
    for (auto& p : list) p->Reset();
  current_ = nullptr;
}

void TIndexFile::UnpinAll() {
  for (auto& list : lists_)
    for (auto& p : list) p->pinCount = 0;
  // The cursor keeps its page.
  if (current_) current_->pinCount = 1;
}

void TIndexFile::TrimCache() {
  for (int s = 0; s < kSlots; ++s) {
    auto& list = lists_[s];
    for (size_t i = list.size(); i-- > 0 && static_cast<int>(list.size()) > kInitialCapacity;)
      if (list[i]->pinCount == 0 && !list[i]->modified) list.erase(list.begin() + ptrdiff_t(i));
    capacity_[s] = std::max<int>(kInitialCapacity, static_cast<int>(list.size()));
  }
}

void TIndexFile::Repack(TPage* page) {
  page->data.keyLength = keys_[page->slot].KeyLength();
  ComputeCompression(page->data, keys_[page->slot].Shape());
  page->modified = true;
}

}  // namespace ovrin
