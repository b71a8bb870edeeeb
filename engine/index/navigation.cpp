// The cursor of TIndexFile: selection, moves, positions from subtree counts, ranges,
// and the record bitmaps of natural order and filters.
#include <algorithm>
#include <cstring>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/index/index_file.h"

namespace ovrin {

using namespace idxfmt;

namespace {
constexpr size_t kMaxDepth = 40;
constexpr size_t kRangeKeySize = 1036;
}  // namespace

int32_t TIndexFile::TableRecords() { return owner_ ? owner_->PhysicalRecordCount() : physicalRecords_; }

// ---------------------------------------------------------------- selection

void TIndexFile::SelectSlot(int slot) {
  if (slot == slot_) return;
  SetEmpty();
  slot_ = slot;
  ws_ = NaturalOrder() ? 0 : slot;
  ResetRange();
  bool anyActive = std::any_of(filters_.begin(), filters_.end(), [](TIndexFilter* f) { return f->active; });
  recordFilter_ = NaturalOrder() || anyActive;
  if (recordFilter_) RebuildBitmaps();
}

bool TIndexFile::SelectIndexByName(const std::string& name) {
  std::string wanted = TrimChar(name, ' ');
  if (slot_ != kNoIndex && AsciiEqualNoCase(header_.Slot(slot_ == kNoIndex ? 0 : slot_).Name(), wanted) &&
      !(slot_ == 0 && !wanted.empty()))
    return true;
  SelectSlot(0);
  if (wanted.empty()) return true;
  for (int s = 1; s <= header_.SecondaryCount(); ++s) {
    if (AsciiEqualNoCase(header_.Slot(s).Name(), wanted)) {
      SelectSlot(s);
      return true;
    }
  }
  return false;
}

bool TIndexFile::FindIndexForField(uint16_t fieldNumber, bool caseInsensitive, bool anyCase) {
  int s = SlotForField(fieldNumber, caseInsensitive, anyCase);
  if (s < 0) return false;
  SelectSlot(s);
  return true;
}

int TIndexFile::SlotForField(uint16_t fieldNumber, bool caseInsensitive, bool anyCase) const {
  if (header_.NoPrimary()) return -1;
  for (int s = 0; s <= header_.SecondaryCount(); ++s) {
    TIndexDescriptor d = header_.Slot(s);
    if (d.FieldCount() == 0 || d.FieldNumber(0) != fieldNumber) continue;
    const TKeyField& f = keys_[s].Fields()[0];
    if (f.type == fldString && !anyCase && d.CaseInsensitive() != caseInsensitive) continue;
    return s;
  }
  return -1;
}

// ---------------------------------------------------------------- cursor state

void TIndexFile::SetEmpty() {
  if (current_) ReleasePage(current_);
  current_ = nullptr;
  position_ = 0;
  naturalRecord_ = 0;
  bof_ = eof_ = true;
}

void TIndexFile::SetCurrent(TPage* leaf, uint16_t pos, int32_t position) {
  if (current_ && current_ != leaf) ReleasePage(current_);
  else if (current_ == leaf) ReleasePage(current_);  // the walk holds its own pin
  current_ = leaf;
  leaf->cursorPos = leaf->insertPos = pos;
  position_ = position;
}

bool TIndexFile::Passes(const TPage* page, uint16_t pos) const {
  return !recordFilter_ || filtered_.Test(page->data.values[pos - 1]);
}

TPage* TIndexFile::DescendToEdge(bool leftmost, int32_t* position) {
  TPage* page = RootPage();
  int64_t ordinal = 1;
  for (size_t depth = 0; !page->IsLeaf(); ++depth) {
    if (depth > kMaxDepth) Corrupt();
    uint32_t index = leftmost ? 0 : page->Count() - 1;
    for (uint32_t i = 0; i < index; ++i) ordinal += page->data.counts[i];
    page->cursorPos = static_cast<uint16_t>(index + 1);
    TPage* child = ChildPage(page, index);
    ReleasePage(page);
    page = child;
  }
  uint16_t pos = leftmost ? 1 : static_cast<uint16_t>(page->Count());
  ordinal += pos - 1;
  page->cursorPos = pos;
  *position = static_cast<int32_t>(ordinal);
  return page;
}

// mode 0: nearest-after; 1: last-not-after; 2: binary search (equal or, in a leaf, the
// last entry below, at least 1).
TPage* TIndexFile::DescendSearch(const uint8_t* key, int mode, int32_t* position) {
  TPage* page = RootPage();
  int64_t ordinal = 1;
  for (size_t depth = 0;; ++depth) {
    if (depth > kMaxDepth) Corrupt();
    bool found;
    uint32_t pos = SearchPage(page, key, &found);
    if (page->IsLeaf()) {
      uint32_t n = page->Count();
      if (!found) {
        if (mode == 0) pos = std::min(pos + 1, n);
        else pos = std::max<uint32_t>(pos, 1);
      }
      page->cursorPos = static_cast<uint16_t>(pos);
      ordinal += pos - 1;
      *position = static_cast<int32_t>(ordinal);
      return page;
    }
    uint32_t index = std::max<uint32_t>(pos, 1) - 1;
    for (uint32_t i = 0; i < index; ++i) ordinal += page->data.counts[i];
    page->cursorPos = static_cast<uint16_t>(index + 1);
    TPage* child = ChildPage(page, index);
    ReleasePage(page);
    page = child;
  }
}

bool TIndexFile::StepEntry(TPage*& page, uint16_t& pos, bool forward) {
  if (forward) {
    if (pos < page->Count()) {
      ++pos;
      return true;
    }
    if (page->data.next == 0) return false;
    TPage* next = GetPage(page->data.next);
    if (!next->IsLeaf() || next->Count() == 0 || next->data.previous != page->offset) {
      ReleasePage(next);
      Corrupt();
    }
    ReleasePage(page);
    page = next;
    pos = 1;
    return true;
  }
  if (pos > 1) {
    --pos;
    return true;
  }
  if (page->data.previous == 0) return false;
  TPage* prev = GetPage(page->data.previous);
  if (!prev->IsLeaf() || prev->Count() == 0 || prev->data.next != page->offset) {
    ReleasePage(prev);
    Corrupt();
  }
  ReleasePage(page);
  page = prev;
  pos = static_cast<uint16_t>(page->Count());
  return true;
}

// From the entry at page/pos, the first passing entry in the given direction (the entry
// itself included). Answers false when there is none.
bool TIndexFile::FirstFiltered(TPage*& page, uint16_t& pos, int32_t& position, bool forward) {
  int64_t guard = int64_t(header_.EndOfFile() / kPageSize) * kEntryArea + 16;
  while (!Passes(page, pos)) {
    if (--guard < 0) Corrupt();  // a cycle in the leaf links
    if (!StepEntry(page, pos, forward)) return false;
    position += forward ? 1 : -1;
  }
  return true;
}

// ---------------------------------------------------------------- moves

void TIndexFile::First() {
  if (NaturalOrder()) {
    SetEmpty();
    int32_t first = filtered_.NextSet(1, TableRecords());
    if (first == 0) return;
    naturalRecord_ = first;
    position_ = 1;
    bof_ = eof_ = false;
    return;
  }
  TWorkSlot ws(this, slot_);
  Restartable([&] { FirstImpl(); });
}

void TIndexFile::FirstImpl() { EdgeImpl(true); }

void TIndexFile::LastImpl() { EdgeImpl(false); }

// First (or Last): the first (last) entry of the index, of the range, and passing the
// filters.
void TIndexFile::EdgeImpl(bool first) {
  SetEmpty();
  if (Root() == 0) return;
  if (rangeActive_ && rangeStart_ == 0) return;
  int32_t position;
  TPage* page;
  uint16_t pos;
  if (rangeActive_) {
    page = DescendSearch(first ? rangeStartKey_.data() : rangeEndKey_.data(), first ? 0 : 1, &position);
    pos = page->cursorPos;
    if (!RangeCorrection(page, pos, position)) {
      ReleasePage(page);
      return;
    }
  } else {
    page = DescendToEdge(first, &position);
    pos = first ? 1 : static_cast<uint16_t>(page->Count());
  }
  if (recordFilter_) {
    bool outside = false;
    if (!FirstFiltered(page, pos, position, first)) {
      outside = true;
    } else if (rangeActive_) {
      int c = Compare(page->data.Key(pos - 1), first ? rangeEndKey_.data() : rangeStartKey_.data());
      outside = first ? c > 0 : c < 0;
    }
    if (outside) {
      ReleasePage(page);
      return;
    }
  }
  SetCurrent(page, pos, position);
  bof_ = eof_ = false;
}

void TIndexFile::Last() {
  if (NaturalOrder()) {
    SetEmpty();
    int32_t last = filtered_.PrevSet(TableRecords());
    if (last == 0) return;
    naturalRecord_ = last;
    position_ = recordFilter_ ? filteredCount_ : header_.RecordCount();
    bof_ = eof_ = false;
    return;
  }
  TWorkSlot ws(this, slot_);
  Restartable([&] { LastImpl(); });
}

bool TIndexFile::RangeCorrection(TPage*& page, uint16_t& pos, int32_t& position) {
  const uint8_t* entry = page->data.Key(pos - 1);
  if (Compare(entry, rangeStartKey_.data()) < 0) {
    if (pos < page->Count() || page->data.next == 0) return false;
    if (!StepEntry(page, pos, true)) return false;
    ++position;
    return Compare(page->data.Key(pos - 1), rangeStartKey_.data()) >= 0 &&
           Compare(page->data.Key(pos - 1), rangeEndKey_.data()) <= 0;
  }
  if (Compare(entry, rangeEndKey_.data()) > 0) {
    if (pos > 1 || page->data.previous == 0) return false;
    if (!StepEntry(page, pos, false)) return false;
    --position;
    return Compare(page->data.Key(pos - 1), rangeEndKey_.data()) <= 0 &&
           Compare(page->data.Key(pos - 1), rangeStartKey_.data()) >= 0;
  }
  return true;
}

void TIndexFile::MoveBy(int32_t n) {
  if (n == 0) return;
  bool forward = n > 0;
  int32_t steps = forward ? n : -n;
  if (NaturalOrder()) {
    if (naturalRecord_ == 0) return;
    for (int32_t i = 0; i < steps; ++i) {
      int32_t next = forward ? filtered_.NextSet(naturalRecord_ + 1, TableRecords()) : filtered_.PrevSet(naturalRecord_ - 1);
      if (next == 0) {
        eof_ = forward;
        bof_ = !forward;
        return;
      }
      naturalRecord_ = next;
      position_ += forward ? 1 : -1;
    }
    bof_ = eof_ = false;
    return;
  }
  if (!current_) return;
  // A move that stays inside the current leaf reads no page, so no other user's change
  // can interrupt it: it needs neither the key to stand on again nor a restart.
  if (!rangeActive_ && !recordFilter_) {
    const int32_t pos = current_->cursorPos;
    const int64_t to = forward ? int64_t{pos} + steps : int64_t{pos} - steps;
    if (pos >= 1 && to >= 1 && to <= int64_t{current_->Count()}) {
      current_->cursorPos = current_->insertPos = static_cast<uint16_t>(to);
      position_ += n;
      bof_ = eof_ = false;
      return;
    }
  }
  TWorkSlot ws(this, slot_);
  // Kept in a member so that a step needs no allocation of its own.
  std::vector<uint8_t>& startKey = moveStartKey_;
  if (const uint8_t* k = CurrentKeyBytes()) startKey.assign(k, k + keys_[slot_].KeyLength());
  else startKey.clear();
  bool first = true;
  Restartable([&] {
    if (!first) {
      // Another user changed the table: stand on the same key again and repeat the move.
      FindKey(startKey.data(), true, false);
      if (!current_) return;
    }
    first = false;
    TPage* page = current_;
    ++page->pinCount;  // the walk's own pin
    uint16_t pos = page->cursorPos;
    int32_t position = position_;
    int32_t counted = 0;
    bool hitEnd = false;
    TPage* lastGood = nullptr;
    uint16_t lastGoodPos = 0;
    int32_t lastGoodPosition = 0;
    while (counted < steps) {
      if (!StepEntry(page, pos, forward)) {
        hitEnd = true;
        break;
      }
      position += forward ? 1 : -1;
      if (rangeActive_) {
        const uint8_t* key = page->data.Key(pos - 1);
        if (forward ? Compare(key, rangeEndKey_.data()) > 0 : Compare(key, rangeStartKey_.data()) < 0) {
          // The cursor stands on the first key outside the range.
          SetCurrent(page, pos, position);
          eof_ = forward;
          bof_ = !forward;
          return;
        }
      }
      if (!recordFilter_ || Passes(page, pos)) {
        ++counted;
        if (lastGood) ReleasePage(lastGood);
        lastGood = page;
        ++lastGood->pinCount;
        lastGoodPos = pos;
        lastGoodPosition = position;
      }
    }
    if (!hitEnd) {
      if (lastGood) ReleasePage(lastGood);
      SetCurrent(page, pos, position);
      bof_ = eof_ = false;
      return;
    }
    ReleasePage(page);
    if (lastGood) {
      // Walk back to the last passing entry that was reached.
      SetCurrent(lastGood, lastGoodPos, lastGoodPosition);
    } else {
      // Nothing passed on the way: the cursor stays where it was.
      SetCurrent(current_, current_->cursorPos, position_);
      ++current_->pinCount;
    }
    eof_ = forward;
    bof_ = !forward;
  });
}

void TIndexFile::GoToPosition(int32_t n) {
  if (NaturalOrder()) {
    // The nth record that passes, as Position counts it (deleted and filtered-out
    // places are not counted); past either end the first or last one, flagged.
    int32_t limit = TableRecords();
    int32_t count = filtered_.Count(limit);
    if (count == 0) {
      SetEmpty();
      return;
    }
    int32_t target = std::clamp(n, 1, count);
    naturalRecord_ = filtered_.NthSet(target, limit);
    position_ = target;
    bof_ = eof_ = false;
    if (n < 1) bof_ = true;
    if (n > count) eof_ = true;
    return;
  }
  TWorkSlot ws(this, slot_);
  Restartable([&] {
    FirstImpl();
    if (!current_) return;
    if (n < Position()) {
      bof_ = true;
      return;
    }
    LastImpl();
    if (!current_) return;
    if (n > Position()) {
      eof_ = true;
      return;
    }
    int64_t target = n + (rangeActive_ ? rangeStart_ - 1 : 0);
    TPage* page = RootPage();
    int64_t c = 1;
    for (size_t depth = 0; !page->IsLeaf(); ++depth) {
      if (depth > kMaxDepth) Corrupt();
      uint32_t i = 0;
      while (i + 1 < page->Count() && c + page->data.counts[i] <= target) c += page->data.counts[i++];
      page->cursorPos = static_cast<uint16_t>(i + 1);
      TPage* child = ChildPage(page, i);
      ReleasePage(page);
      page = child;
    }
    int64_t offsetInLeaf = target - c;
    uint16_t pos = static_cast<uint16_t>(std::clamp<int64_t>(offsetInLeaf + 1, 1, page->Count()));
    int32_t position = static_cast<int32_t>(c + pos - 1);
    if (position < target) {
      // The counts and the leaf disagree: continue in the next leaf.
      if (!StepEntry(page, pos, true)) {
        SetCurrent(page, pos, position);
        eof_ = true;
        bof_ = false;
        return;
      }
      ++position;
    }
    if (recordFilter_ && !FirstFiltered(page, pos, position, true)) {
      ReleasePage(page);
      LastImpl();
      eof_ = true;
      return;
    }
    SetCurrent(page, pos, position);
    bof_ = eof_ = false;
  });
}

void TIndexFile::GoToRecord(int32_t recordNumber) {
  naturalRecord_ = recordNumber;
  ResyncNatural();
  if (naturalRecord_ != 0) position_ = filtered_.Count(naturalRecord_);
}

void TIndexFile::ResyncNatural() {
  int32_t limit = TableRecords();
  int32_t at = filtered_.NextSet(std::max(naturalRecord_, 1), limit);
  if (at == 0) at = filtered_.PrevSet(std::min(naturalRecord_, limit));
  if (at == 0) {
    SetEmpty();
    return;
  }
  naturalRecord_ = at;
  if (position_ == 0) position_ = filtered_.Count(at);
  bof_ = eof_ = false;
}

bool TIndexFile::FindKey(const uint8_t* key, bool nearest, bool keepFlags) {
  if (NaturalOrder()) return false;
  TWorkSlot ws(this, slot_);
  bool oldBof = bof_, oldEof = eof_;
  bool found = Restartable([&]() -> bool {
    if (Root() == 0) {
      SetEmpty();
      return false;
    }
    if (rangeActive_) {
      if (Compare(key, rangeStartKey_.data()) < 0) {
        if (nearest) FirstImpl();
        return false;
      }
      if (Compare(key, rangeEndKey_.data()) > 0) {
        if (nearest) {
          LastImpl();
          eof_ = true;
        }
        return false;
      }
    }
    int32_t position;
    TPage* page = DescendSearch(key, nearest ? 0 : 2, &position);
    uint16_t pos = page->cursorPos;
    bool equal = Compare(page->data.Key(pos - 1), key) == 0 && Passes(page, pos);
    if (!equal && !nearest) {
      ReleasePage(page);
      return false;
    }
    bool atEnd = false;
    if (!equal) {
      // Nearest: the first entry not below the key that passes.
      if (Compare(page->data.Key(pos - 1), key) < 0) {
        if (!StepEntry(page, pos, true)) atEnd = true;
        else ++position;
      }
      if (!atEnd && recordFilter_ && !FirstFiltered(page, pos, position, true)) atEnd = true;
      if (!atEnd && rangeActive_ && Compare(page->data.Key(pos - 1), rangeEndKey_.data()) > 0) atEnd = true;
      if (atEnd) {
        ReleasePage(page);
        LastImpl();
        eof_ = true;
        return false;
      }
    }
    SetCurrent(page, pos, position);
    bof_ = eof_ = false;
    return equal;
  });
  if (keepFlags && current_) {
    if (oldBof && Position() <= 1) bof_ = true;
    if (oldEof && Position() >= RecordCount()) eof_ = true;
  }
  return found;
}

// ---------------------------------------------------------------- queries

int32_t TIndexFile::RecordCount() {
  if (recordFilter_) return filteredCount_;
  if (NaturalOrder()) return header_.RecordCount();
  if (!rangeActive_) return TreeCount(slot_);
  if (rangeStart_ == 0 || rangeEnd_ == 0) return 0;
  return std::max(0, rangeEnd_ - rangeStart_ + 1);
}

int32_t TIndexFile::Position() const {
  if (NaturalOrder() || position_ == 0) return position_;
  return rangeActive_ ? position_ - rangeStart_ + 1 : position_;
}

std::vector<uint8_t> TIndexFile::CurrentKey() const {
  const uint8_t* k = CurrentKeyBytes();
  if (!k) return {};
  return std::vector<uint8_t>(k, k + keys_[slot_].KeyLength());
}

const uint8_t* TIndexFile::CurrentKeyBytes() const {
  if (NaturalOrder() || !current_ || current_->cursorPos < 1 || current_->cursorPos > current_->Count()) return nullptr;
  return current_->data.Key(current_->cursorPos - 1);
}

int32_t TIndexFile::RunLength(int32_t count, bool forward) {
  if (count <= 0) return 0;
  if (NaturalOrder()) {
    if (naturalRecord_ == 0) return 0;
    int32_t run = 1;
    int32_t r = naturalRecord_;
    while (run < count) {
      int32_t next = forward ? r + 1 : r - 1;
      if (next < 1 || next > TableRecords() || !filtered_.Test(next)) break;
      r = next;
      ++run;
    }
    return run;
  }
  if (!current_) return 0;
  int32_t run = 1;
  uint32_t pos = current_->cursorPos;
  int32_t r = current_->data.values[pos - 1];
  while (run < count) {
    uint32_t nextPos = forward ? pos + 1 : pos - 1;
    if (nextPos < 1 || nextPos > current_->Count()) break;
    int32_t nr = current_->data.values[nextPos - 1];
    if (nr != (forward ? r + 1 : r - 1)) break;
    // Read ahead only what the walk will visit: under a filter, the records that pass.
    if (recordFilter_ && !filtered_.Test(nr)) break;
    r = nr;
    pos = nextPos;
    ++run;
  }
  return run;
}

// The ordinal of the first key not below the key (start) or of the last key not above it.
int32_t TIndexFile::OrdinalOf(const uint8_t* key, bool start) {
  if (Root() == 0) return 0;
  int32_t position;
  TPage* page = DescendSearch(key, start ? 0 : 1, &position);
  uint16_t pos = page->cursorPos;
  if (start && Compare(page->data.Key(pos - 1), key) < 0) {
    if (!StepEntry(page, pos, true)) position = 0;
    else ++position;
  } else if (!start && Compare(page->data.Key(pos - 1), key) > 0) {
    if (!StepEntry(page, pos, false)) position = 0;
    else --position;
  }
  ReleasePage(page);
  return position;
}

int32_t TIndexFile::CountKeysBetween(const uint8_t* a, const uint8_t* b) { return CountKeysBetween(slot_, a, b); }

int32_t TIndexFile::CountKeysBetween(int slot, const uint8_t* a, const uint8_t* b) {
  TWorkSlot ws(this, slot);
  if (Compare(a, b) > 0) return 0;
  return Restartable([&] {
    int32_t first = OrdinalOf(a, true), last = OrdinalOf(b, false);
    return first > 0 && last > 0 && last >= first ? last - first + 1 : 0;
  });
}

void TIndexFile::MarkKeysBetween(const uint8_t* a, const uint8_t* b, TBitmap& bitmap) {
  MarkKeysBetween(slot_, a, b, bitmap);
}

void TIndexFile::MarkKeysBetween(int slot, const uint8_t* a, const uint8_t* b, TBitmap& bitmap) {
  TWorkSlot ws(this, slot);
  bitmap.ClearAll();
  if (Compare(a, b) > 0 || Root() == 0) return;
  Restartable([&] {
    bitmap.ClearAll();
    int32_t position;
    TPage* page = DescendSearch(a, 0, &position);
    uint16_t pos = page->cursorPos;
    bool more = true;
    if (Compare(page->data.Key(pos - 1), a) < 0) more = StepEntry(page, pos, true);
    int64_t guard = int64_t(header_.EndOfFile() / kPageSize) * kEntryArea + 16;
    while (more && Compare(page->data.Key(pos - 1), b) <= 0) {
      if (--guard < 0) Corrupt();
      bitmap.Set(page->data.values[pos - 1]);
      more = StepEntry(page, pos, true);
    }
    ReleasePage(page);
  });
}

// ---------------------------------------------------------------- ranges

void TIndexFile::SetRangeStart(const uint8_t* key) {
  if (NaturalOrder()) return;
  rangeStartKey_.assign(kRangeKeySize, 0);
  std::memcpy(rangeStartKey_.data(), key, keys_[slot_].KeyLength());
}

void TIndexFile::SetRangeEnd(const uint8_t* key) {
  if (NaturalOrder()) return;
  rangeEndKey_.assign(kRangeKeySize, 0);
  std::memcpy(rangeEndKey_.data(), key, keys_[slot_].KeyLength());
}

void TIndexFile::ApplyRange() {
  if (NaturalOrder()) return;
  rangeActive_ = true;
  ComputeRangeOrdinals();
  if (recordFilter_) RebuildBitmaps();
  SetEmpty();
}

void TIndexFile::ResetRange() {
  rangeStartKey_.assign(kRangeKeySize, 0x00);
  rangeEndKey_.assign(kRangeKeySize, 0xFF);
  rangeActive_ = false;
  rangeStart_ = 1;
  rangeEnd_ = header_.RecordCount();
  if (recordFilter_ && IsOpen()) RebuildBitmaps();
}

void TIndexFile::ComputeRangeOrdinals() {
  if (inRange_) return;
  inRange_ = true;
  struct TGuard {
    bool& flag;
    ~TGuard() { flag = false; }
  } guard{inRange_};
  if (!rangeActive_ || NaturalOrder()) {
    rangeStart_ = 1;
    rangeEnd_ = header_.RecordCount();
    return;
  }
  TWorkSlot ws(this, slot_);
  if (Compare(rangeStartKey_.data(), rangeEndKey_.data()) > 0) {
    rangeStart_ = 0;
    rangeEnd_ = 0;
    return;
  }
  Restartable([&] {
    rangeStart_ = OrdinalOf(rangeStartKey_.data(), true);
    rangeEnd_ = OrdinalOf(rangeEndKey_.data(), false);
    if (rangeStart_ == 0 || rangeEnd_ < rangeStart_) rangeStart_ = rangeEnd_ = 0;
  });
}

// ---------------------------------------------------------------- bitmaps and filters

void TIndexFile::ComputeLiveBitmap() {
  int32_t records = TableRecords();
  live_ = TBitmap(records);
  if (header_.NoPrimary()) {
    // Without "Sys Deleted" only the records themselves tell which are deleted: the
    // data file reads their flags, so that a deleted record never comes back.
    if (!owner_ || !owner_->MarkLiveRecords(live_, records)) live_.SetAll();
    live_.TrimTo(records);
    return;
  }
  TWorkSlot ws(this, kDeletedSlot);
  int saved = slot_;
  slot_ = kDeletedSlot;  // the key range helpers work on the cursor's slot
  struct TRestore {
    int& slot;
    int value;
    ~TRestore() { slot = value; }
  } restore{slot_, saved};
  uint8_t deletedLow[5] = {1, 0, 0, 0, 0}, deletedHigh[5] = {1, 0xFF, 0xFF, 0xFF, 0xFF};
  uint8_t liveLow[5] = {0, 0, 0, 0, 0}, liveHigh[5] = {0, 0xFF, 0xFF, 0xFF, 0xFE};
  int32_t deleted = CountKeysBetween(deletedLow, deletedHigh);
  if (header_.RecordCount() - deleted < deleted) {
    MarkKeysBetween(liveLow, liveHigh, live_);
  } else {
    MarkKeysBetween(deletedLow, deletedHigh, live_);
    live_.Invert();
    live_.TrimTo(records);
  }
}

void TIndexFile::ComputeRangeBitmap() {
  int32_t records = TableRecords();
  range_ = TBitmap(records);
  if (!rangeActive_ || NaturalOrder()) return;
  TWorkSlot ws(this, slot_);
  int32_t inside = RecordCount();
  if (inside <= TreeCount(slot_) / 2) {
    MarkKeysBetween(rangeStartKey_.data(), rangeEndKey_.data(), range_);
    return;
  }
  uint16_t L = keys_[slot_].KeyLength();
  std::vector<uint8_t> low(L, keys_[slot_].Descending() ? 0xFF : 0x00), high(L, keys_[slot_].Descending() ? 0x00 : 0xFF);
  std::vector<uint8_t> before(rangeStartKey_.begin(), rangeStartKey_.begin() + L);
  std::vector<uint8_t> after(rangeEndKey_.begin(), rangeEndKey_.begin() + L);
  TBitmap outside(records), part(records);
  bool beforeEmpty = std::memcmp(before.data(), low.data(), L) == 0;
  bool afterEmpty = std::memcmp(after.data(), high.data(), L) == 0;
  if (keys_[slot_].Descending()) {
    KeySuccessor(before.data(), L);
    KeyPredecessor(after.data(), L);
  } else {
    KeyPredecessor(before.data(), L);
    KeySuccessor(after.data(), L);
  }
  if (!beforeEmpty) MarkKeysBetween(low.data(), before.data(), outside);
  if (!afterEmpty) {
    MarkKeysBetween(after.data(), high.data(), part);
    outside.Or(part);
  }
  range_ = outside;
  range_.Invert();
  range_.TrimTo(records);
}

void TIndexFile::FilterBase(size_t filterIndex, TBitmap& base) {
  base = live_;
  if (rangeActive_ && !NaturalOrder()) base.And(range_);
  if (filters_[filterIndex]->UsesPriorFilters())
    for (size_t i = 0; i < filterIndex; ++i)
      if (filters_[i]->active) base.And(filters_[i]->bitmap);
}

void TIndexFile::Combine() {
  filtered_ = live_;
  if (rangeActive_ && !NaturalOrder()) filtered_.And(range_);
  for (TIndexFilter* f : filters_)
    if (f->active) filtered_.And(f->bitmap);
  filteredCount_ = filtered_.Count(TableRecords());
}

void TIndexFile::RebuildBitmaps() {
  if (inBitmaps_) return;
  inBitmaps_ = true;
  struct TGuard {
    bool& flag;
    ~TGuard() { flag = false; }
  } guard{inBitmaps_};
  ComputeLiveBitmap();
  ComputeRangeBitmap();
  for (size_t i = 0; i < filters_.size(); ++i) {
    if (!filters_[i]->active) continue;
    TBitmap base;
    FilterBase(i, base);
    filters_[i]->bitmap = TBitmap(TableRecords());
    filters_[i]->Compute(*this, base, filters_[i]->bitmap);
  }
  Combine();
}

int TIndexFile::RegisterFilter(TIndexFilter* filter) {
  filters_.push_back(filter);
  return static_cast<int>(filters_.size());
}

uint16_t TIndexFile::FreeFilter(int handle) {
  if (handle < 1 || handle > static_cast<int>(filters_.size())) return errFilterHandle;
  filters_.erase(filters_.begin() + (handle - 1));
  bool anyActive = std::any_of(filters_.begin(), filters_.end(), [](TIndexFilter* f) { return f->active; });
  recordFilter_ = NaturalOrder() || anyActive;
  if (recordFilter_) RebuildBitmaps();
  return 0;
}

void TIndexFile::FreeAllFilters() {
  filters_.clear();
  recordFilter_ = NaturalOrder();
  if (recordFilter_) RebuildBitmaps();
}

uint16_t TIndexFile::ActivateFilter(int handle, bool active) {
  if (handle < 1 || handle > static_cast<int>(filters_.size())) return errFilterHandle;
  TIndexFilter* f = filters_[handle - 1];
  f->active = active;
  bool anyActive = std::any_of(filters_.begin(), filters_.end(), [](TIndexFilter* x) { return x->active; });
  bool wasOn = recordFilter_;
  recordFilter_ = NaturalOrder() || anyActive;
  if (!recordFilter_) {
    live_ = range_ = filtered_ = TBitmap();
    filteredCount_ = 0;
    return 0;
  }
  if (!wasOn) {
    RebuildBitmaps();
  } else if (active) {
    TBitmap base;
    FilterBase(static_cast<size_t>(handle - 1), base);
    f->bitmap = TBitmap(TableRecords());
    f->Compute(*this, base, f->bitmap);
    Combine();
  } else {
    Combine();
  }
  return 0;
}

void TIndexFile::RecordStored(int32_t recordNumber, const uint8_t* record) {
  if (!recordFilter_) return;
  int32_t records = std::max(TableRecords(), recordNumber);
  for (TBitmap* b : {&live_, &range_, &filtered_}) b->Resize(records);
  bool before = filtered_.Test(recordNumber);
  if (rangeActive_ && !NaturalOrder()) {
    std::vector<uint8_t> key(keys_[slot_].KeyLength());
    keys_[slot_].Build(record, key.data());
    bool inside = keys_[slot_].Compare(key.data(), rangeStartKey_.data()) >= 0 &&
                  keys_[slot_].Compare(key.data(), rangeEndKey_.data()) <= 0;
    range_.Set(recordNumber, inside);
  }
  live_.Set(recordNumber);
  bool after = live_.Test(recordNumber) && (!rangeActive_ || NaturalOrder() || range_.Test(recordNumber));
  for (TIndexFilter* f : filters_) {
    if (!f->active) continue;
    f->bitmap.Resize(records);
    bool pass = f->Judge(recordNumber, record);
    f->bitmap.Set(recordNumber, pass);
    after = after && pass;
  }
  filtered_.Set(recordNumber, after);
  filteredCount_ += (after ? 1 : 0) - (before ? 1 : 0);
}

void TIndexFile::RecordRemoved(int32_t recordNumber) {
  if (!recordFilter_) return;
  bool before = filtered_.Test(recordNumber);
  range_.Clear(recordNumber);
  live_.Clear(recordNumber);
  for (TIndexFilter* f : filters_)
    if (f->active) f->bitmap.Clear(recordNumber);
  filtered_.Clear(recordNumber);
  if (before) --filteredCount_;
}

}  // namespace ovrin
