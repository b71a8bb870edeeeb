// B+-tree maintenance of TIndexFile: check unique, insert, delete and replace keys with
// the split, merge and redistribution rules, first-key propagation and subtree counts.
#include <algorithm>
#include <cstring>

#include "engine/base/errors.h"
#include "engine/index/index_file.h"

namespace ovrin {

using namespace idxfmt;

namespace {
// Descents deeper than this mean a cycle or a damaged tree: a tree of 3-entry interior
// pages over 2^31 keys is 20 levels deep.
constexpr size_t kMaxDepth = 40;

// Releases the pages of a path on every way out.
struct TPinnedPath {
  TIndexFile* file;
  std::vector<TPage*> pages;
  // Room for a path from the root to a leaf and the pages a split adds, in one allocation.
  explicit TPinnedPath(TIndexFile* f) : file(f) { pages.reserve(16); }
  ~TPinnedPath() {
    for (TPage* p : pages) file->ReleasePage(p);
  }
};
}  // namespace

uint32_t TIndexFile::SearchPage(const TPage* page, const uint8_t* key, bool* found) const {
  // Binary search over positions 1..n: the equal entry, or the last entry below the key
  // (0 when the key is below all).
  int32_t lo = 1, hi = static_cast<int32_t>(page->Count());
  *found = false;
  while (lo <= hi) {
    int32_t mid = (lo + hi) / 2;
    int c = Compare(page->data.Key(static_cast<uint32_t>(mid - 1)), key);
    if (c == 0) {
      *found = true;
      return static_cast<uint32_t>(mid);
    }
    if (c < 0) lo = mid + 1;
    else hi = mid - 1;
  }
  return static_cast<uint32_t>(hi);
}

TPage* TIndexFile::RootPage() {
  TPage* root = GetPage(Root());
  if (!IsRootType(root->data.type) || (root->Count() == 0 && root->data.type == ptRoot)) {
    ReleasePage(root);
    Corrupt();
  }
  root->parent = 0;
  return root;
}

TPage* TIndexFile::ChildPage(TPage* parent, uint32_t index) {
  TPage* child = GetPage(parent->data.values[index]);
  // Below the root only interior and leaf pages, never an empty one.
  if (IsRootType(child->data.type) || child->Count() == 0 || child == parent) {
    ReleasePage(child);
    Corrupt();
  }
  child->parent = parent->offset;
  return child;
}

void TIndexFile::CheckMaintainable(int slot) const {
  bool used = slot == kDeletedSlot ? !header_.NoPrimary()
                                   : (slot == 0 ? !header_.NoPrimary() : slot >= 1 && slot <= header_.SecondaryCount());
  if (!used) Raise(errInvalidIndexName);
}

void TIndexFile::BeginMaintenance() {
  // Changes are made under the table's write lock; another user's change is looked for
  // once here, never in the middle of a change.
  if (!owner_ && !strict_ && !Exclusive() && HeaderChanged()) ForgetPages();
}

bool TIndexFile::SearchExact(const uint8_t* key) {
  if (Root() == 0) return false;
  TPinnedPath path(this);
  TPage* page = RootPage();
  path.pages.push_back(page);
  for (size_t depth = 0;; ++depth) {
    if (depth > kMaxDepth) Corrupt();
    bool found;
    uint32_t pos = SearchPage(page, key, &found);
    if (page->IsLeaf()) return found;
    page = ChildPage(page, std::max<uint32_t>(pos, 1) - 1);
    path.pages.push_back(page);
  }
}

bool TIndexFile::ContainsKey(int slot, const uint8_t* key) {
  CheckMaintainable(slot);
  TWorkSlot ws(this, slot);
  return Restartable([&] { return SearchExact(key); });
}

void TIndexFile::CheckUnique(int slot, const uint8_t* key) {
  CheckMaintainable(slot);
  TWorkSlot ws(this, slot);
  if (slot != 0 && !header_.Slot(slot).Unique()) return;
  if (Restartable([&] { return SearchExact(key); })) RaiseEngineError(errKeyViolation, FileName(), "", "", IndexName(slot));
}

int32_t TIndexFile::TreeCount(int slot) {
  TWorkSlot ws(this, slot);
  if (slot == 0 && header_.NoPrimary()) return header_.RecordCount();
  if (Root() == 0) return 0;
  return Restartable([&] {
    TPage* root = RootPage();
    int64_t n = root->SubtreeCount();
    ReleasePage(root);
    return static_cast<int32_t>(n);
  });
}

void TIndexFile::PropagateFirstKey(std::vector<TPage*>& path, size_t level) {
  while (level > 0) {
    TPage* page = path[level];
    TPage* parent = path[level - 1];
    if (page->Count() == 0) return;
    uint32_t c = parent->cursorPos;
    if (c < 1 || c > parent->Count()) Corrupt();
    uint8_t* key = parent->data.Key(c - 1);
    if (std::memcmp(key, page->data.Key(0), KeyLength()) == 0) return;
    parent->data.Touch(c - 1);
    std::memcpy(key, page->data.Key(0), KeyLength());
    parent->modified = true;
    if (c != 1) return;
    --level;
  }
}

void TIndexFile::InsertKey(int slot, const uint8_t* key, int32_t recordNumber) {
  CheckMaintainable(slot);
  TWorkSlot ws(this, slot);
  BeginMaintenance();
  noRestart_ = true;
  struct TReset {
    bool& flag;
    ~TReset() { flag = false; }
  } reset{noRestart_};

  if (Root() == 0) {
    TPage* page = AllocatePage();
    page->data.type = ptRootLeaf;
    page->data.Insert(0, key, recordNumber, 0);
    Repack(page);
    SetRoot(page->offset);
    ReleasePage(page);
    return;
  }
  TPinnedPath path(this);
  TPage* page = RootPage();
  path.pages.push_back(page);
  while (!page->IsLeaf()) {
    if (path.pages.size() > kMaxDepth) Corrupt();
    bool found;
    uint32_t pos = std::max<uint32_t>(SearchPage(page, key, &found), 1);
    page->cursorPos = static_cast<uint16_t>(pos);
    page->data.Touch(pos - 1);
    page->data.counts[pos - 1] += 1;
    page->modified = true;
    page = ChildPage(page, pos - 1);
    path.pages.push_back(page);
  }
  bool found;
  uint32_t pos = SearchPage(page, key, &found);
  page->data.Insert(pos, key, recordNumber, 0);
  page->insertPos = page->cursorPos = static_cast<uint16_t>(pos + 1);
  Repack(page);
  size_t level = path.pages.size() - 1;
  if (pos == 0) PropagateFirstKey(path.pages, level);
  if (PageOverflows(page->data, Shape())) SplitAndPropagate(path.pages, level);
}

void TIndexFile::SplitAndPropagate(std::vector<TPage*>& path, size_t level) {
  TIndexShape shape = Shape();
  auto fits = [&](TPage* p) { return p->data.packedSize <= kEntryArea; };
  for (;;) {
    TPage* old = path[level];
    bool wasRoot = IsRootType(old->data.type);
    bool leaf = old->IsLeaf();
    uint32_t n = old->Count();
    TPage* fresh = AllocatePage();
    path.push_back(fresh);  // released with the path
    old->data.MoveTail(n - n / 2, fresh->data);
    uint8_t type = leaf ? ptLeaf : ptInterior;
    old->data.type = fresh->data.type = type;
    fresh->data.next = old->data.next;
    if (old->data.next != 0) {
      TPage* right = GetPage(old->data.next);
      right->data.previous = fresh->offset;
      right->modified = true;
      ReleasePage(right);
    }
    old->data.next = fresh->offset;
    fresh->data.previous = old->offset;
    fresh->parent = old->parent;
    Repack(old);
    Repack(fresh);
    if (leaf && shape.compression != cmpNone) {
      if (fits(old) && !fits(fresh)) {
        while (!fits(fresh) && fresh->Count() > 1) {
          old->data.Insert(old->Count(), fresh->data.Key(0), fresh->data.values[0], 0);
          fresh->data.Remove(0);
          Repack(old);
          Repack(fresh);
        }
      } else if (!fits(old)) {
        while (!fits(old) && old->Count() > 1) {
          uint32_t last = old->Count() - 1;
          fresh->data.Insert(0, old->data.Key(last), old->data.values[last], 0);
          old->data.Remove(last);
          Repack(old);
          Repack(fresh);
        }
      }
      if (!fits(old) || !fits(fresh)) Corrupt();
    }
    if (wasRoot) {
      TPage* root = AllocatePage();
      path.push_back(root);
      root->data.type = ptRoot;
      root->data.Insert(0, old->data.Key(0), old->offset, static_cast<int32_t>(old->SubtreeCount()));
      root->data.Insert(1, fresh->data.Key(0), fresh->offset, static_cast<int32_t>(fresh->SubtreeCount()));
      Repack(root);
      SetRoot(root->offset);
      return;
    }
    if (level == 0) Corrupt();  // a page that is not the root needs its parent
    TPage* parent = path[level - 1];
    uint32_t c = parent->cursorPos;
    if (c < 1 || c > parent->Count() || parent->data.values[c - 1] != old->offset) Corrupt();
    parent->data.Touch(c - 1);
    parent->data.counts[c - 1] = static_cast<int32_t>(old->SubtreeCount());
    parent->data.Insert(c, fresh->data.Key(0), fresh->offset, static_cast<int32_t>(fresh->SubtreeCount()));
    Repack(parent);
    if (!PageOverflows(parent->data, Shape())) return;
    --level;
  }
}

void TIndexFile::DeleteKey(int slot, const uint8_t* key) {
  CheckMaintainable(slot);
  TWorkSlot ws(this, slot);
  BeginMaintenance();
  noRestart_ = true;
  struct TReset {
    bool& flag;
    ~TReset() { flag = false; }
  } reset{noRestart_};
  // The key must be there before anything changes.
  if (!SearchExact(key)) RaiseEngineError(errKeyNotFound, FileName(), "", "", IndexName(slot));

  TPinnedPath path(this);
  TPage* page = RootPage();
  path.pages.push_back(page);
  while (!page->IsLeaf()) {
    if (path.pages.size() > kMaxDepth) Corrupt();
    bool found;
    uint32_t pos = std::max<uint32_t>(SearchPage(page, key, &found), 1);
    page->cursorPos = static_cast<uint16_t>(pos);
    page->data.Touch(pos - 1);
    page->data.counts[pos - 1] -= 1;
    page->modified = true;
    page = ChildPage(page, pos - 1);
    path.pages.push_back(page);
  }
  bool found;
  uint32_t pos = std::max<uint32_t>(SearchPage(page, key, &found), 1);
  if (!found) Corrupt();  // the exact search above found it
  page->data.Remove(pos - 1);
  page->cursorPos = static_cast<uint16_t>(std::min<uint32_t>(pos, page->Count()));
  Repack(page);
  size_t level = path.pages.size() - 1;
  if (page->Count() > 0 && pos == 1) PropagateFirstKey(path.pages, level);
  Rebalance(path.pages, level);
}

void TIndexFile::ReplaceKey(int slot, const uint8_t* oldKey, const uint8_t* newKey, int32_t recordNumber) {
  CheckMaintainable(slot);
  {
    TWorkSlot ws(this, slot);
    if (!Restartable([&] { return SearchExact(oldKey); }))
      RaiseEngineError(errKeyNotFound, FileName(), "", "", IndexName(slot));
  }
  DeleteKey(slot, oldKey);
  InsertKey(slot, newKey, recordNumber);
}

void TIndexFile::RemoveEmptyPage(std::vector<TPage*>& path, size_t level) {
  TPage* page = path[level];
  if (level == 0) {
    FreePage(page);
    SetRoot(0);
    return;
  }
  if (page->data.next != 0) {
    TPage* right = GetPage(page->data.next);
    right->data.previous = page->data.previous;
    right->modified = true;
    ReleasePage(right);
  }
  if (page->data.previous != 0) {
    TPage* left = GetPage(page->data.previous);
    left->data.next = page->data.next;
    left->modified = true;
    ReleasePage(left);
  }
  TPage* parent = path[level - 1];
  uint32_t c = parent->cursorPos;
  if (c < 1 || c > parent->Count() || parent->data.values[c - 1] != page->offset) Corrupt();
  FreePage(page);
  parent->data.Remove(c - 1);
  Repack(parent);
  if (c == 1 && parent->Count() > 0) PropagateFirstKey(path, level - 1);
  Rebalance(path, level - 1);
}

void TIndexFile::Rebalance(std::vector<TPage*>& path, size_t level) {
  TPage* page = path[level];
  TIndexShape shape = Shape();
  if (level == 0) {
    if (page->Count() == 0) {
      FreePage(page);
      SetRoot(0);
    } else if (!page->IsLeaf() && page->Count() == 1) {
      TPage* child = GetPage(page->data.values[0]);
      child->data.type = child->IsLeaf() ? ptRootLeaf : ptRoot;
      child->data.previous = child->data.next = 0;
      child->parent = 0;
      child->modified = true;
      SetRoot(child->offset);
      FreePage(page);
      ReleasePage(child);
    }
    return;
  }
  // Compressed leaves never merge; any page left empty is taken out of the tree.
  if (page->Count() == 0) {
    RemoveEmptyPage(path, level);
    return;
  }
  if (page->IsLeaf() && shape.compression != cmpNone) return;
  uint32_t limit = page->IsLeaf() ? LeafLimit(shape.keyLength) : InteriorLimit(shape.keyLength);
  if (page->Count() >= limit / 2) return;
  TPage* parent = path[level - 1];
  uint32_t c = parent->cursorPos;
  uint32_t n = parent->Count();
  if (c < 1 || c > n || parent->data.values[c - 1] != page->offset) Corrupt();
  if (n == 1) return;  // an only child has no partner under its parent
  if (c > 1) {
    TPage* left = GetPage(parent->data.values[c - 2]);
    TPageGuard release(this, left);
    if (left->offset != page->data.previous || left->data.next != page->offset) Corrupt();
    uint32_t total = left->Count() + page->Count();
    if (total < limit) {
      left->data.TakeAll(page->data);
      left->data.next = page->data.next;
      if (page->data.next != 0) {
        TPage* right = GetPage(page->data.next);
        right->data.previous = left->offset;
        right->modified = true;
        ReleasePage(right);
      }
      Repack(left);
      FreePage(page);
      parent->data.Touch(c - 2);
      parent->data.counts[c - 2] = static_cast<int32_t>(left->SubtreeCount());
      parent->data.Remove(c - 1);
      parent->cursorPos = static_cast<uint16_t>(c - 1);
      Repack(parent);
      Rebalance(path, level - 1);
    } else {
      left->data.BalanceWith(page->data, (total + 1) / 2);
      Repack(left);
      Repack(page);
      parent->data.Touch(c - 2);
      std::memcpy(parent->data.Key(c - 1), page->data.Key(0), shape.keyLength);
      parent->data.counts[c - 1] = static_cast<int32_t>(page->SubtreeCount());
      parent->data.counts[c - 2] = static_cast<int32_t>(left->SubtreeCount());
      Repack(parent);
    }
    return;
  }
  // c == 1 and not the last entry: the right neighbour is the partner.
  TPage* right = GetPage(parent->data.values[1]);
  TPageGuard release(this, right);
  if (right->offset != page->data.next || right->data.previous != page->offset) Corrupt();
  uint32_t total = right->Count() + page->Count();
  if (total < limit) {
    // The right neighbour keeps its place in the file and takes this page's entries first.
    page->data.TakeAll(right->data);
    right->data.TakeAll(page->data);
    right->data.previous = page->data.previous;
    if (page->data.previous != 0) {
      TPage* left = GetPage(page->data.previous);
      left->data.next = right->offset;
      left->modified = true;
      ReleasePage(left);
    }
    Repack(right);
    FreePage(page);
    parent->data.Touch(1);
    std::memcpy(parent->data.Key(1), right->data.Key(0), shape.keyLength);
    parent->data.counts[1] = static_cast<int32_t>(right->SubtreeCount());
    parent->data.Remove(0);
    parent->cursorPos = 1;
    Repack(parent);
    PropagateFirstKey(path, level - 1);
    Rebalance(path, level - 1);
  } else {
    page->data.BalanceWith(right->data, total / 2);
    Repack(page);
    Repack(right);
    parent->data.Touch(0);
    std::memcpy(parent->data.Key(0), page->data.Key(0), shape.keyLength);
    parent->data.counts[0] = static_cast<int32_t>(page->SubtreeCount());
    std::memcpy(parent->data.Key(1), right->data.Key(0), shape.keyLength);
    parent->data.counts[1] = static_cast<int32_t>(right->SubtreeCount());
    Repack(parent);
    PropagateFirstKey(path, level - 1);
  }
}

}  // namespace ovrin
