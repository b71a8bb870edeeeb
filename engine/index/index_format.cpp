#include "engine/index/index_format.h"

#include <algorithm>
#include <cstring>

#include "engine/base/errors.h"

namespace ovrin {

using namespace idxfmt;

TIndexHeader TIndexHeader::NewImage() {
  TIndexHeader h;
  h.bytes[hVersion] = kVersion;
  StoreLE32(&h.bytes[hEndOfFile], kHeaderSize);
  TIndexDescriptor deleted = h.Slot(kDeletedSlot);
  deleted.SetName(kDeletedName);
  deleted.SetKeyLength(kDeletedKeyLength);
  h.SetModified(true);
  return h;
}

void TPageData::Clear() {
  keys.clear();
  values.clear();
  counts.clear();
  leading.clear();
  trailing.clear();
  packedSize = 0;
  unchangedBefore = 0;
}

void TPageData::Insert(uint32_t i, const uint8_t* key, int32_t value, int32_t count) {
  keys.insert(keys.begin() + ptrdiff_t(i) * keyLength, key, key + keyLength);
  values.insert(values.begin() + i, value);
  counts.insert(counts.begin() + i, count);
  leading.insert(leading.begin() + i, kCountsUnknown);
  trailing.insert(trailing.begin() + i, 0);
  if (i + 1 < Count()) leading[i + 1] = kCountsUnknown;  // its previous key is new
  Touch(i);
}

void TPageData::Remove(uint32_t i) {
  keys.erase(keys.begin() + ptrdiff_t(i) * keyLength, keys.begin() + ptrdiff_t(i + 1) * keyLength);
  values.erase(values.begin() + i);
  counts.erase(counts.begin() + i);
  leading.erase(leading.begin() + i);
  trailing.erase(trailing.begin() + i);
  if (i < Count()) leading[i] = kCountsUnknown;
  Touch(i);
}

void TPageData::MoveTail(uint32_t from, TPageData& other) {
  const uint32_t joined = other.Count();
  other.keys.insert(other.keys.end(), keys.begin() + ptrdiff_t(from) * keyLength, keys.end());
  other.values.insert(other.values.end(), values.begin() + from, values.end());
  other.counts.insert(other.counts.end(), counts.begin() + from, counts.end());
  other.leading.insert(other.leading.end(), leading.begin() + from, leading.end());
  other.trailing.insert(other.trailing.end(), trailing.begin() + from, trailing.end());
  if (joined < other.Count()) other.leading[joined] = kCountsUnknown;
  other.Touch(joined);
  Touch(from);
  keys.resize(size_t(from) * keyLength);
  values.resize(from);
  counts.resize(from);
  leading.resize(from);
  trailing.resize(from);
}

void TPageData::Append(const TPageData& other) {
  const uint32_t joined = Count();
  keys.insert(keys.end(), other.keys.begin(), other.keys.end());
  values.insert(values.end(), other.values.begin(), other.values.end());
  counts.insert(counts.end(), other.counts.begin(), other.counts.end());
  leading.insert(leading.end(), other.leading.begin(), other.leading.end());
  trailing.insert(trailing.end(), other.trailing.begin(), other.trailing.end());
  if (joined < Count()) leading[joined] = kCountsUnknown;
  Touch(joined);
}

void TPageData::PrependFrom(TPageData& other, uint32_t count) {
  uint32_t from = other.Count() - count;
  TPageData moved;
  moved.keyLength = keyLength;
  other.MoveTail(from, moved);
  moved.Append(*this);
  keys.swap(moved.keys);
  values.swap(moved.values);
  counts.swap(moved.counts);
  leading.swap(moved.leading);
  trailing.swap(moved.trailing);
  unchangedBefore = 0;  // every entry moved
}

void TPageData::BalanceWith(TPageData& right, uint32_t count) {
  if (Count() > count) {
    right.PrependFrom(*this, Count() - count);
  } else if (Count() < count) {
    TPageData rest;
    rest.keyLength = right.keyLength;
    right.MoveTail(count - Count(), rest);
    Append(right);
    right.Clear();
    right.Append(rest);
  }
}

void TPageData::TakeAll(TPageData& right) {
  Append(right);
  right.Clear();
}

namespace {

uint32_t CommonPrefix(const uint8_t* a, const uint8_t* b, uint32_t length) {
  uint32_t n = 0;
  while (n < length && a[n] == b[n]) ++n;
  return n;
}

// Zero bytes that end key[from, to), counted only within its last ((to - from) mod 256)
// bytes.
uint32_t TrailingZeros(const uint8_t* key, uint32_t from, uint32_t to) {
  if (to <= from) return 0;
  uint32_t window = (to - from) % 256;
  uint32_t n = 0;
  while (n < window && key[to - 1 - n] == 0) ++n;
  return n;
}

struct TCounts {
  uint32_t p = 0;
  uint32_t t = 0;
};

TCounts CountsFor(const TIndexShape& shape, const uint8_t* previous, const uint8_t* key) {
  uint32_t L = shape.keyLength;
  uint32_t suffix = shape.idSuffix ? 4 : 0;
  TCounts c;
  switch (shape.compression) {
    case cmpDuplicate:
      c.p = previous ? CommonPrefix(previous, key, L) : 0;
      break;
    case cmpTrailing:
      c.t = L > suffix ? TrailingZeros(key, 0, L - suffix) : 0;
      break;
    case cmpFull:
      c.p = previous ? std::min<uint32_t>(CommonPrefix(previous, key, L), 255) : 0;
      if (!shape.idSuffix) {
        c.t = TrailingZeros(key, c.p, L);
      } else if (L - c.p >= 5) {
        c.t = TrailingZeros(key, c.p, L - 4);
      }
      break;
    default:
      break;
  }
  return c;
}

}  // namespace

uint32_t LeafEntrySize(const TIndexShape& shape, uint32_t p, uint32_t t) {
  uint32_t L = shape.keyLength;
  switch (shape.compression) {
    case cmpNone: return L + 4;
    case cmpDuplicate: return L - p + 6;
    case cmpTrailing: return L - t + 6;
    default: return L - p - t + 6;
  }
}

void ComputeCompression(TPageData& page, const TIndexShape& shape) {
  const uint32_t n = page.Count();
  if (!page.IsLeaf() || shape.compression == cmpNone) {
    // Not packed with counts; should the page ever become a compressed leaf, every
    // entry is worked out then.
    page.leading.assign(n, TPageData::kCountsUnknown);
    page.trailing.assign(n, 0);
    page.packedSize = 0;
    return;
  }
  uint32_t total = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (page.leading[i] == TPageData::kCountsUnknown) {
      TCounts c = CountsFor(shape, i ? page.Key(i - 1) : nullptr, page.Key(i));
      page.leading[i] = static_cast<uint16_t>(c.p);
      page.trailing[i] = static_cast<uint16_t>(c.t);
    }
    total += LeafEntrySize(shape, page.leading[i], page.trailing[i]);
  }
  // Kept exact up to 65,535; anything above the entry area overflows either way.
  page.packedSize = static_cast<uint16_t>(std::min<uint32_t>(total, 0xFFFF));
}

bool PageOverflows(const TPageData& page, const TIndexShape& shape) {
  if (!page.IsLeaf()) return page.Count() > InteriorLimit(shape.keyLength);
  if (shape.compression == cmpNone) return page.Count() > LeafLimit(shape.keyLength);
  return page.packedSize > kEntryArea;
}

namespace {

// Packs entries [first, Count()) from at on, then clears what is left (see PackPage).
size_t PackEntries(const TPageData& page, const TIndexShape& shape, uint8_t* out, uint8_t* at, uint32_t first,
                   const std::string& fileName, size_t zeroFrom) {
  // The bytes from at up to zeroFrom; past that they are zero already.
  auto clearFrom = [&](uint8_t* from) {
    const size_t used = static_cast<size_t>(from - out);
    if (zeroFrom > used) std::memset(from, 0, std::min<size_t>(zeroFrom, kPageSize) - used);
    return used;
  };
  uint32_t L = shape.keyLength;
  uint32_t n = page.Count();
  const uint8_t* end = out + kPageSize;
  auto room = [&](uint32_t need) {
    if (at + need > end) RaiseEngineError(errIndexCorrupt, fileName);
  };
  if (!page.IsLeaf() || shape.compression == cmpNone) {
    uint32_t size = page.IsLeaf() ? L + 4 : L + 8;
    for (uint32_t i = first; i < n; ++i) {
      room(size);
      std::memcpy(at, page.Key(i), L);
      StoreLE32(at + L, static_cast<uint32_t>(page.values[i]));
      if (!page.IsLeaf()) StoreLE32(at + L + 4, static_cast<uint32_t>(page.counts[i]));
      at += size;
    }
    return clearFrom(at);
  }
  const uint8_t* start = out + kPageHeaderSize;
  for (uint32_t i = first; i < n; ++i) {
    const uint8_t* key = page.Key(i);
    TCounts c;
    if (page.leading[i] != TPageData::kCountsUnknown) {
      c.p = page.leading[i];
      c.t = page.trailing[i];
    } else {
      c = CountsFor(shape, i ? page.Key(i - 1) : nullptr, key);
    }
    room(LeafEntrySize(shape, c.p, c.t));
    uint32_t from = 0, stop = L;  // key bytes written before the identifier, if split
    bool splitId = false;
    if (shape.compression == cmpDuplicate) {
      StoreLE16(at, static_cast<uint16_t>(c.p));
      at += 2;
      from = c.p;
    } else if (shape.compression == cmpTrailing) {
      StoreLE16(at, static_cast<uint16_t>(c.t));
      at += 2;
      splitId = shape.idSuffix;
      stop = L - c.t;
    } else {
      *at++ = static_cast<uint8_t>(c.p);
      *at++ = static_cast<uint8_t>(c.t);
      from = c.p;
      splitId = shape.idSuffix && L - c.p >= 5;
      stop = L - c.t;
    }
    if (splitId) {
      uint32_t body = stop - 4;  // = L - t - 4: the part before the identifier
      std::memcpy(at, key + from, body - from);
      at += body - from;
      std::memcpy(at, key + L - 4, 4);
      at += 4;
    } else {
      std::memcpy(at, key + from, stop - from);
      at += stop - from;
    }
    StoreLE32(at, static_cast<uint32_t>(page.values[i]));
    at += 4;
  }
  uint32_t packed = static_cast<uint32_t>(at - start);
  if (packed > kEntryArea) RaiseEngineError(errIndexCorrupt, fileName);
  StoreLE16(out + pPackedSize, static_cast<uint16_t>(packed));
  return clearFrom(at);
}

// The header of a page that is not free: every field but the packed size, which the
// entries set.
void PackHeader(const TPageData& page, uint8_t* out) {
  std::memset(out, 0, kPageHeaderSize);
  out[pType] = page.type;
  StoreLE32(out + pPrevious, static_cast<uint32_t>(page.previous));
  StoreLE32(out + pNext, static_cast<uint32_t>(page.next));
  StoreLE16(out + pCount, static_cast<uint16_t>(page.Count()));
}

}  // namespace

size_t PackPage(const TPageData& page, const TIndexShape& shape, bool freeMark, uint8_t* out,
                const std::string& fileName, size_t zeroFrom) {
  // The header and whatever the entries leave are zeros; the entries are written over
  // the rest, so only those parts are cleared (a page is packed at every change).
  if (freeMark) {
    std::memset(out, 0, kPageHeaderSize);
    out[pType] = page.type;
    StoreLE32(out + pPrevious, static_cast<uint32_t>(page.previous));
    StoreLE32(out + pNext, static_cast<uint32_t>(page.next));
    const size_t used = kPageHeaderSize;
    if (zeroFrom > used) std::memset(out + used, 0, std::min<size_t>(zeroFrom, kPageSize) - used);
    return used;
  }
  PackHeader(page, out);
  return PackEntries(page, shape, out, out + kPageHeaderSize, 0, fileName, zeroFrom);
}

size_t PackPageAfter(const TPageData& page, const TIndexShape& shape, const uint8_t* last, uint8_t* out,
                     const std::string& fileName, size_t zeroFrom, size_t* copiedTo) {
  if (copiedTo) *copiedTo = kPageHeaderSize;
  const uint32_t first = std::min(page.unchangedBefore, page.Count());
  // Where entry first starts: the sizes of the entries before it, all known.
  size_t offset = 0;
  if (!page.IsLeaf() || shape.compression == cmpNone) {
    offset = size_t(first) * (page.IsLeaf() ? shape.keyLength + 4u : shape.keyLength + 8u);
  } else {
    for (uint32_t i = 0; i < first; ++i) {
      if (page.leading[i] == TPageData::kCountsUnknown) return PackPage(page, shape, false, out, fileName, zeroFrom);
      offset += LeafEntrySize(shape, page.leading[i], page.trailing[i]);
    }
  }
  if (offset > kEntryArea) RaiseEngineError(errIndexCorrupt, fileName);
  PackHeader(page, out);
  std::memcpy(out + kPageHeaderSize, last + kPageHeaderSize, offset);
  if (copiedTo) *copiedTo = kPageHeaderSize + offset;
  return PackEntries(page, shape, out, out + kPageHeaderSize + offset, first, fileName, zeroFrom);
}

void UnpackPage(const uint8_t* in, const TIndexShape& shape, bool headerOnly, TPageData* page,
                const std::string& fileName) {
  auto corrupt = [&]() { RaiseEngineError(errIndexCorrupt, fileName); };
  page->Clear();
  page->keyLength = shape.keyLength;
  page->type = in[pType];
  if (page->type > ptRootLeaf) corrupt();
  uint32_t n = LoadLE16(in + pCount);
  page->previous = LoadLEI32(in + pPrevious);
  page->next = LoadLEI32(in + pNext);
  uint32_t packedSize = LoadLE16(in + pPackedSize);
  bool compressed = page->IsLeaf() && shape.compression != cmpNone;
  page->packedSize = compressed ? static_cast<uint16_t>(packedSize) : 0;
  if (headerOnly) return;
  // Entries read are as the file holds them (the reader keeps the bytes it read).
  page->unchangedBefore = n;
  uint32_t L = shape.keyLength;
  if (L == 0 && n > 0) corrupt();
  const uint8_t* at = in + kPageHeaderSize;
  page->keys.resize(size_t(n) * L);
  page->values.resize(n);
  page->counts.assign(n, 0);
  page->leading.assign(n, TPageData::kCountsUnknown);
  page->trailing.assign(n, 0);
  if (!compressed) {
    uint32_t size = page->IsLeaf() ? L + 4 : L + 8;
    uint32_t limit = page->IsLeaf() ? LeafLimit(L) : InteriorLimit(L);
    if (n > limit || size_t(n) * size > kEntryArea) corrupt();
    for (uint32_t i = 0; i < n; ++i) {
      std::memcpy(page->Key(i), at, L);
      page->values[i] = LoadLEI32(at + L);
      if (!page->IsLeaf()) page->counts[i] = LoadLEI32(at + L + 4);
      at += size;
    }
    return;
  }
  if (packedSize > kEntryArea) corrupt();
  const uint8_t* end = at + packedSize;
  auto need = [&](uint32_t bytes) {
    if (static_cast<uint32_t>(end - at) < bytes) corrupt();
  };
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t* key = page->Key(i);
    uint32_t p = 0, t = 0;
    bool splitId = false;
    if (shape.compression == cmpDuplicate) {
      need(2);
      p = LoadLE16(at);
      at += 2;
      if (p > L) corrupt();
    } else if (shape.compression == cmpTrailing) {
      need(2);
      t = LoadLE16(at);
      at += 2;
      uint32_t considered = shape.idSuffix ? (L >= 4 ? L - 4 : 0) : L;
      if (t > considered) corrupt();
      splitId = shape.idSuffix;
    } else {
      need(2);
      p = at[0];
      t = at[1];
      at += 2;
      if (p > L) corrupt();
      splitId = shape.idSuffix && L - p >= 5;
      uint32_t considered = splitId ? L - p - 4 : (shape.idSuffix ? 0 : L - p);
      if (t > considered) corrupt();
    }
    if (i == 0 && p != 0) corrupt();  // nothing to share a prefix with
    if (p > 0) std::memcpy(key, page->Key(i - 1), p);
    uint32_t stored = L - p - t;
    need(stored + 4);
    std::memset(key + p, 0, L - p);
    if (splitId) {
      uint32_t body = stored - 4;
      std::memcpy(key + p, at, body);
      std::memcpy(key + L - 4, at + body, 4);
    } else {
      std::memcpy(key + p, at, stored);
    }
    at += stored;
    page->values[i] = LoadLEI32(at);
    at += 4;
    page->leading[i] = static_cast<uint16_t>(p);
    page->trailing[i] = static_cast<uint16_t>(t);
  }
  if (at != end) corrupt();
}

}  // namespace ovrin

#include "engine/base/file_handler.h"
#include "engine/format/table_format.h"

namespace ovrin {

void WriteIndexHeader(TFileHandler& file, TIndexHeader& header, bool encrypted) {
  header.SetChangeCounter(header.ChangeCounter() + 1);
  std::array<uint8_t, idxfmt::kHeaderSize> out = header.bytes;
  if (encrypted) ApplyCipher(out.data(), out.size(), kTableKey);
  file.Seek(0, 0);
  file.Write(out.data(), idxfmt::kHeaderSize);
  header.SetModified(false);
}

void ReadIndexHeader(TFileHandler& file, TIndexHeader& header, bool encrypted) {
  file.Seek(0, 0);
  file.Read(header.bytes.data(), idxfmt::kHeaderSize);
  if (encrypted) ApplyCipher(header.bytes.data(), header.bytes.size(), kTableKey);
  header.SetModified(false);
  if (header.Version() != idxfmt::kVersion) RaiseEngineError(errVersion, file.FileName());
}

}  // namespace ovrin

namespace ovrin {

void ValidateIndexHeader(const TIndexHeader& header, int64_t fileSize, const std::string& fileName) {
  auto bad = [&]() { RaiseEngineError(errHeaderCorrupt, fileName); };
  int64_t eof = header.EndOfFile();
  if (eof < idxfmt::kHeaderSize || eof % idxfmt::kPageSize != 0 || eof > fileSize ||
      eof > idxfmt::kMaxEndOfFile + idxfmt::kPageSize)
    bad();
  if (header.SecondaryCount() > idxfmt::kMaxSecondary) bad();
  auto pageOk = [&](int32_t offset) {
    return offset == 0 || (offset >= int32_t(idxfmt::kHeaderSize) && offset % idxfmt::kPageSize == 0 && offset < eof);
  };
  for (int slot = 0; slot < idxfmt::kSlots; ++slot) {
    bool used = slot == idxfmt::kDeletedSlot || slot <= header.SecondaryCount();
    TIndexDescriptor d = header.Slot(slot);
    if (!pageOk(d.Root()) || !pageOk(d.FreeList())) bad();
    if (!used) continue;
    if (slot == 0 && header.NoPrimary()) continue;
    if (slot == idxfmt::kDeletedSlot && d.KeyLength() != idxfmt::kDeletedKeyLength) bad();
    if (d.KeyLength() == 0 || d.KeyLength() > kMaxKeyLength) bad();
    if (d.FieldCount() > idxfmt::kMaxKeyFields || d.Compression() > idxfmt::cmpFull) bad();
  }
}

}  // namespace ovrin
