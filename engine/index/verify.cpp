// Read-only consistency walks over the trees of an index file.
#include <cstring>
#include <set>

#include "engine/index/index_file.h"

namespace ovrin {

using namespace idxfmt;

int64_t TIndexFile::VerifyTree(int slot, std::vector<std::string>* problems) {
  TWorkSlot ws(this, slot);
  std::string where = "index " + IndexName(slot) + ": ";
  auto problem = [&](const std::string& text) { problems->push_back(where + text); };
  int64_t keys = 0;
  std::set<int32_t> seen;
  int32_t pageLimit = header_.EndOfFile() / int32_t(kPageSize);
  auto offsetOk = [&](int32_t offset) {
    return offset >= int32_t(kHeaderSize) && offset % int32_t(kPageSize) == 0 && offset < header_.EndOfFile();
  };
  int32_t root = Root();
  if (root != 0) {
    if (!offsetOk(root)) {
      problem("root page " + std::to_string(root) + " is not a page of the file");
      return 0;
    }
    // Level by level: the leftmost page of each level, then its right neighbours.
    int32_t levelStart = root;
    int depth = 0;
    std::vector<uint8_t> previousKey;
    while (levelStart != 0 && depth < 64) {
      int32_t offset = levelStart, previous = 0, nextLevelStart = 0;
      bool leafLevel = false;
      std::vector<uint8_t> lastKey;
      int walked = 0;
      while (offset != 0) {
        if (!offsetOk(offset) || !seen.insert(offset).second || ++walked > pageLimit) {
          problem("page " + std::to_string(offset) + " is reached twice or lies outside the file");
          break;
        }
        TPage* page;
        try {
          page = GetPage(offset);
        } catch (const EOvrinEngineError& e) {
          problem("page " + std::to_string(offset) + ": " + e.Text());
          break;
        }
        TPageGuard release(this, page);
        uint8_t type = page->data.type;
        bool isRoot = offset == root;
        if (isRoot != IsRootType(type)) problem("page " + std::to_string(offset) + " has type " + std::to_string(type));
        if (page->data.previous != previous)
          problem("page " + std::to_string(offset) + " links back to " + std::to_string(page->data.previous) +
                  " instead of " + std::to_string(previous));
        if (page->Count() == 0) problem("page " + std::to_string(offset) + " is empty");
        leafLevel = page->IsLeaf();
        for (uint32_t i = 0; i < page->Count(); ++i) {
          const uint8_t* key = page->data.Key(i);
          if (!lastKey.empty() && Compare(lastKey.data(), key) >= 0)
            problem("keys out of order in page " + std::to_string(offset) + " at entry " + std::to_string(i + 1));
          lastKey.assign(key, key + KeyLength());
          if (!leafLevel) {
            int32_t childOffset = page->data.values[i];
            if (i == 0 && nextLevelStart == 0) nextLevelStart = childOffset;
            if (!offsetOk(childOffset)) {
              problem("page " + std::to_string(offset) + " names child " + std::to_string(childOffset));
              continue;
            }
            TPage* child;
            try {
              child = GetPage(childOffset);
            } catch (const EOvrinEngineError& e) {
              problem("page " + std::to_string(childOffset) + ": " + e.Text());
              continue;
            }
            if (child->Count() == 0 || std::memcmp(child->data.Key(0), key, KeyLength()) != 0)
              problem("entry " + std::to_string(i + 1) + " of page " + std::to_string(offset) +
                      " does not carry the first key of its child");
            if (child->SubtreeCount() != page->data.counts[i])
              problem("entry " + std::to_string(i + 1) + " of page " + std::to_string(offset) + " counts " +
                      std::to_string(page->data.counts[i]) + " keys, its child holds " +
                      std::to_string(child->SubtreeCount()));
            ReleasePage(child);
          } else {
            ++keys;
          }
        }
        if (PageOverflows(page->data, Shape())) problem("page " + std::to_string(offset) + " holds too much");
        previous = offset;
        offset = page->data.next;
      }
      if (leafLevel) break;
      levelStart = nextLevelStart;
      ++depth;
    }
  }
  // The free list: pages without entries, each once, none of them in the tree.
  int32_t free = header_.Slot(slot).FreeList();
  int walked = 0;
  while (free != 0) {
    if (!offsetOk(free) || !seen.insert(free).second || ++walked > pageLimit) {
      problem("free page " + std::to_string(free) + " is in use, listed twice or outside the file");
      break;
    }
    TPage* page;
    try {
      page = GetPage(free, true);
    } catch (const EOvrinEngineError& e) {
      problem("free page " + std::to_string(free) + ": " + e.Text());
      break;
    }
    bool isFree = page->freeMark || page->storedCount == 0;
    int32_t next = page->data.next;
    ReleasePage(page);
    if (!isFree) problem("free page " + std::to_string(free) + " holds entries");
    free = next;
  }
  return keys;
}

std::vector<std::pair<std::vector<uint8_t>, int32_t>> TIndexFile::AllEntries(int slot) {
  TWorkSlot ws(this, slot);
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> out;
  if (Root() == 0) return out;
  return Restartable([&] {
    out.clear();
    int32_t position;
    TPage* page = DescendToEdge(true, &position);
    uint16_t pos = 1;
    int64_t guard = int64_t(header_.EndOfFile() / kPageSize) * kEntryArea + 16;
    do {
      if (--guard < 0) Corrupt();
      const uint8_t* k = page->data.Key(pos - 1);
      out.emplace_back(std::vector<uint8_t>(k, k + KeyLength()), page->data.values[pos - 1]);
    } while (StepEntry(page, pos, true));
    ReleasePage(page);
    return out;
  });
}

}  // namespace ovrin
