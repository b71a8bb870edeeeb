// Fuzz inputs made of several files: each part is preceded by its length in four bytes
// (little-endian); a length beyond the input takes what is left.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

inline bool TakePart(const uint8_t*& data, size_t& size, std::string* part) {
  if (size < 4) return false;
  uint32_t n;
  std::memcpy(&n, data, 4);
  data += 4;
  size -= 4;
  n = static_cast<uint32_t>(std::min<size_t>(n, size));
  part->assign(reinterpret_cast<const char*>(data), n);
  data += n;
  size -= n;
  return true;
}
