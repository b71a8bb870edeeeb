// TSystemList: the engine's own growable list with sorting.
//
// Growth when full: capacity + capacity/4 above 64, +16 from 9 to 64, +4 at 8 or less,
// so a list growing from empty takes the capacities 4, 8, 12, 28, 44, 60, 76, 95, ...
// Count and capacity never exceed kMaxListSize. Misuse raises EListError with the
// framework's texts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "engine/base/errors.h"

namespace ovrin {

constexpr int32_t kMaxListSize = 262140;

[[noreturn]] void ListIndexError(int32_t index);
[[noreturn]] void ListCapacityError(int32_t capacity);
[[noreturn]] void ListCountError(int32_t count);
// The capacity a full list of the given capacity grows to.
int32_t ListGrowth(int32_t capacity);

template <typename T>
class TSystemList {
 public:
  TSystemList() = default;
  TSystemList(const TSystemList&) = delete;
  TSystemList& operator=(const TSystemList&) = delete;
  TSystemList(TSystemList&& other) noexcept { Swap(other); }
  TSystemList& operator=(TSystemList&& other) noexcept {
    Swap(other);
    return *this;
  }

  int32_t Count() const { return count_; }
  int32_t Capacity() const { return capacity_; }

  int32_t Add(T item) {
    if (count_ == capacity_) Grow();
    items_[count_] = std::move(item);
    return count_++;
  }

  void Insert(int32_t index, T item) {
    if (index < 0 || index > count_) ListIndexError(index);
    if (count_ == capacity_) Grow();
    for (int32_t i = count_; i > index; --i) items_[i] = std::move(items_[i - 1]);
    items_[index] = std::move(item);
    ++count_;
  }

  void Delete(int32_t index) {
    CheckIndex(index);
    for (int32_t i = index; i < count_ - 1; ++i) items_[i] = std::move(items_[i + 1]);
    --count_;
    items_[count_] = T{};
  }

  // Removes and answers the item at index.
  T Extract(int32_t index) {
    CheckIndex(index);
    T item = std::move(items_[index]);
    Delete(index);
    return item;
  }

  T& Get(int32_t index) {
    CheckIndex(index);
    return items_[index];
  }
  const T& Get(int32_t index) const {
    CheckIndex(index);
    return items_[index];
  }
  T& operator[](int32_t index) { return Get(index); }
  const T& operator[](int32_t index) const { return Get(index); }
  T& First() { return Get(0); }

  void Move(int32_t from, int32_t to) {
    if (from == to) return;
    CheckIndex(to);
    T item = Extract(from);
    Insert(to, std::move(item));
  }

  void Clear() {
    items_.reset();
    count_ = 0;
    capacity_ = 0;
  }

  void SetCapacity(int32_t capacity) {
    if (capacity < count_ || capacity > kMaxListSize) ListCapacityError(capacity);
    if (capacity == capacity_) return;
    std::unique_ptr<T[]> items(capacity > 0 ? new T[capacity]() : nullptr);
    for (int32_t i = 0; i < count_; ++i) items[i] = std::move(items_[i]);
    items_ = std::move(items);
    capacity_ = capacity;
  }

  // New entries are value-initialised (null for pointers).
  void SetCount(int32_t count) {
    if (count < 0 || count > kMaxListSize) ListCountError(count);
    if (count > capacity_) SetCapacity(count);
    for (int32_t i = count; i < count_; ++i) items_[i] = T{};
    count_ = count;
  }

  int32_t IndexOf(const T& item) const {
    for (int32_t i = 0; i < count_; ++i)
      if (items_[i] == item) return i;
    return -1;
  }

  // Quicksort with the middle item as pivot; equal items may change their order.
  // compare answers < 0, 0 or > 0.
  void Sort(const std::function<int(const T&, const T&)>& compare) {
    if (count_ > 1) QuickSort(0, count_ - 1, compare);
  }

  T* begin() { return items_.get(); }
  T* end() { return items_.get() + count_; }
  const T* begin() const { return items_.get(); }
  const T* end() const { return items_.get() + count_; }

 private:
  void CheckIndex(int32_t index) const {
    if (index < 0 || index >= count_) ListIndexError(index);
  }
  void Grow() { SetCapacity(ListGrowth(capacity_)); }
  void Swap(TSystemList& other) noexcept {
    std::swap(items_, other.items_);
    std::swap(count_, other.count_);
    std::swap(capacity_, other.capacity_);
  }

  void QuickSort(int32_t left, int32_t right,
                 const std::function<int(const T&, const T&)>& compare) {
    int32_t i;
    do {
      i = left;
      int32_t j = right;
      // The pivot is copied: swaps below may move the item it came from.
      T pivot = items_[(left + right) / 2];
      do {
        while (compare(items_[i], pivot) < 0) ++i;
        while (compare(items_[j], pivot) > 0) --j;
        if (i <= j) {
          std::swap(items_[i], items_[j]);
          ++i;
          --j;
        }
      } while (i <= j);
      if (left < j) QuickSort(left, j, compare);
      left = i;
    } while (i < right);
  }

  std::unique_ptr<T[]> items_;
  int32_t count_ = 0;
  int32_t capacity_ = 0;
};

}  // namespace ovrin
