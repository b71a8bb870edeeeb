// Record bitmaps: one bit per physical record number n, at byte (n - 1) / 8, bit
// (n - 1) % 8, least significant bit first. A bitmap for a table of c physical records
// has c / 8 + 1 bytes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace ovrin {

class TBitmap {
 public:
  TBitmap() = default;
  explicit TBitmap(int32_t records) { Resize(records); }

  // Sizes the bitmap for that many physical records, keeping existing bits.
  void Resize(int32_t records) { bytes_.resize(static_cast<size_t>(records < 0 ? 0 : records) / 8 + 1, 0); }
  size_t SizeInBytes() const { return bytes_.size(); }
  // The highest record number the bitmap has room for.
  int32_t Capacity() const { return static_cast<int32_t>(bytes_.size() * 8); }

  bool Test(int32_t n) const {
    return n >= 1 && n <= Capacity() && (bytes_[size_t(n - 1) / 8] >> ((n - 1) % 8)) & 1;
  }
  void Set(int32_t n, bool value = true) {
    if (n < 1 || n > Capacity()) return;
    uint8_t mask = static_cast<uint8_t>(1u << ((n - 1) % 8));
    if (value) bytes_[size_t(n - 1) / 8] |= mask;
    else bytes_[size_t(n - 1) / 8] &= static_cast<uint8_t>(~mask);
  }
  void Clear(int32_t n) { Set(n, false); }
  void ClearAll() { std::fill(bytes_.begin(), bytes_.end(), 0); }
  void SetAll() { std::fill(bytes_.begin(), bytes_.end(), 0xFF); }
  // Clears every bit above record n, so that set bits only ever name existing records.
  void TrimTo(int32_t n) {
    for (int32_t i = std::max(n, 0) + 1; i <= Capacity(); ++i) Clear(i);
  }
  void Invert() {
    for (uint8_t& b : bytes_) b = static_cast<uint8_t>(~b);
  }
  void And(const TBitmap& other) {
    for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] &= i < other.bytes_.size() ? other.bytes_[i] : 0;
  }
  void Or(const TBitmap& other) {
    for (size_t i = 0; i < bytes_.size() && i < other.bytes_.size(); ++i) bytes_[i] |= other.bytes_[i];
  }
  // Set bits among records 1..limit.
  int32_t Count(int32_t limit) const {
    int32_t n = 0;
    for (int32_t i = 1; i <= limit && i <= Capacity(); ++i) n += Test(i) ? 1 : 0;
    return n;
  }
  // The first set bit at or after n (up to limit), or 0.
  int32_t NextSet(int32_t n, int32_t limit) const {
    if (n < 1) n = 1;
    for (int32_t i = n; i <= limit && i <= Capacity(); ++i) {
      if ((i - 1) % 8 == 0 && bytes_[size_t(i - 1) / 8] == 0) {
        i += 7;
        continue;
      }
      if (Test(i)) return i;
    }
    return 0;
  }
  // The record of the nth set bit (1-based) among records 1..limit, or 0.
  int32_t NthSet(int32_t n, int32_t limit) const {
    if (n < 1) return 0;
    for (int32_t i = 1; i <= limit && i <= Capacity(); ++i) {
      if ((i - 1) % 8 == 0 && i + 7 <= limit) {
        int bits = std::popcount(bytes_[size_t(i - 1) / 8]);
        if (bits < n) {
          n -= bits;
          i += 7;
          continue;
        }
      }
      if (Test(i) && --n == 0) return i;
    }
    return 0;
  }
  // The last set bit at or before n, or 0.
  int32_t PrevSet(int32_t n) const {
    if (n > Capacity()) n = Capacity();
    for (int32_t i = n; i >= 1; --i)
      if (Test(i)) return i;
    return 0;
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_ = std::vector<uint8_t>(1, 0);
};

}  // namespace ovrin
