// Explicit little-endian codecs for every file boundary. Never overlay a struct on file
// bytes: read and write each field through these.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>
#include <string_view>

namespace ovrin {

// On a little-endian host a field is one unaligned copy; elsewhere byte by byte.
inline constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

inline uint16_t LoadLE16(const uint8_t* p) {
  if constexpr (kLittleEndianHost) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadLE32(const uint8_t* p) {
  if constexpr (kLittleEndianHost) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t LoadLE64(const uint8_t* p) { return uint64_t(LoadLE32(p)) | (uint64_t(LoadLE32(p + 4)) << 32); }
inline int16_t LoadLEI16(const uint8_t* p) { return static_cast<int16_t>(LoadLE16(p)); }
inline int32_t LoadLEI32(const uint8_t* p) { return static_cast<int32_t>(LoadLE32(p)); }
inline int64_t LoadLEI64(const uint8_t* p) { return static_cast<int64_t>(LoadLE64(p)); }
inline double LoadLEDouble(const uint8_t* p) {
  uint64_t bits = LoadLE64(p);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

inline void StoreLE16(uint8_t* p, uint16_t v) {
  if constexpr (kLittleEndianHost) {
    std::memcpy(p, &v, 2);
    return;
  }
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
  if constexpr (kLittleEndianHost) {
    std::memcpy(p, &v, 4);
    return;
  }
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void StoreLE64(uint8_t* p, uint64_t v) {
  StoreLE32(p, static_cast<uint32_t>(v));
  StoreLE32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline void StoreLEDouble(uint8_t* p, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  StoreLE64(p, bits);
}

// A shortstring[n]: a length byte followed by room for n characters. Reading clamps a
// length byte above n to n, so a damaged length never reads past the field.
inline std::string LoadShortString(const uint8_t* p, size_t capacity) {
  size_t length = p[0] > capacity ? capacity : p[0];
  return std::string(reinterpret_cast<const char*>(p + 1), length);
}
// Writes the text cut to n characters; the room after it is zeroed.
inline void StoreShortString(uint8_t* p, size_t capacity, std::string_view text) {
  size_t length = text.size() > capacity ? capacity : text.size();
  p[0] = static_cast<uint8_t>(length);
  std::memcpy(p + 1, text.data(), length);
  std::memset(p + 1 + length, 0, capacity - length);
}

// The span [first, end) outside which two images of n bytes agree; first == end when
// they agree everywhere. For writing back only what changed in a block a file holds. It
// looks 16 bytes at a time from each end (with SSE2, which every x86-64 has).
inline void ChangedSpan(const uint8_t* a, const uint8_t* b, size_t n, size_t* first, size_t* end) {
  size_t lo = 0, hi = n;
#if defined(__SSE2__)
  while (lo + 16 <= hi) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + lo));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + lo));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)) != 0xFFFF) break;
    lo += 16;
  }
  while (hi >= lo + 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + hi - 16));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + hi - 16));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)) != 0xFFFF) break;
    hi -= 16;
  }
#else
  while (lo + 8 <= hi && std::memcmp(a + lo, b + lo, 8) == 0) lo += 8;
  while (hi >= lo + 8 && std::memcmp(a + hi - 8, b + hi - 8, 8) == 0) hi -= 8;
#endif
  while (lo < hi && a[lo] == b[lo]) ++lo;
  while (hi > lo && a[hi - 1] == b[hi - 1]) --hi;
  *first = lo;
  *end = hi;
}

}  // namespace ovrin
