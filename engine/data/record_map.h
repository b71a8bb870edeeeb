// The record cache's index by record number: an open-addressing hash table of positive
// 32-bit keys, so that a record read into the cache and one evicted from it cost no
// allocation (a node-based map allocates and frees a node for each).
//
// Linear probing, at most half full, with deletion by shifting later entries of the same
// probe run back (no tombstones), so that lookups stay short however many records pass
// through the cache. Key 0 marks an empty slot: record numbers start at 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace ovrin {

template <typename V>
class TRecordMap {
 public:
  // The value stored for key, or null.
  V* Find(int32_t key) {
    if (size_ == 0 || key <= 0) return nullptr;
    for (size_t i = Home(key);; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i].value;
      if (slots_[i].key == 0) return nullptr;
    }
  }
  bool Contains(int32_t key) { return Find(key) != nullptr; }

  // Stores value for key, over any value it had.
  void Set(int32_t key, V value) {
    if (key <= 0) throw std::logic_error("record map: record numbers start at 1");
    if ((size_ + 1) * 2 > slots_.size()) Grow();
    size_t i = Home(key);
    for (; slots_[i].key != 0; i = (i + 1) & mask_)
      if (slots_[i].key == key) {
        slots_[i].value = value;
        return;
      }
    slots_[i] = {key, value};
    ++size_;
  }

  // Removes key; answers whether it was there.
  bool Erase(int32_t key) {
    if (size_ == 0 || key <= 0) return false;
    size_t hole = Home(key);
    for (;; hole = (hole + 1) & mask_) {
      if (slots_[hole].key == key) break;
      if (slots_[hole].key == 0) return false;
    }
    // Entries after the hole whose home is not between the hole and themselves (going
    // round) would no longer be found past the hole: each moves into it in turn.
    for (size_t j = (hole + 1) & mask_; slots_[j].key != 0; j = (j + 1) & mask_) {
      size_t home = Home(slots_[j].key);
      bool reachable = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
      if (reachable) continue;
      slots_[hole] = slots_[j];
      hole = j;
    }
    slots_[hole] = Slot{};
    --size_;
    return true;
  }

  void Clear() {
    slots_.assign(slots_.size(), Slot{});
    size_ = 0;
  }
  size_t Size() const { return size_; }

 private:
  struct Slot {
    int32_t key = 0;
    V value{};
  };
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 32;
  size_t size_ = 0;

  // Multiplicative hashing, taking the product's top bits: consecutive record numbers
  // spread over the table instead of filling one run.
  size_t Home(int32_t key) const { return static_cast<uint32_t>(static_cast<uint32_t>(key) * 2654435769u) >> shift_; }

  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 32;
    for (size_t c = capacity; c > 1; c >>= 1) --shift_;
    size_ = 0;
    for (const Slot& s : old)
      if (s.key != 0) Set(s.key, s.value);
  }
};

}  // namespace ovrin
