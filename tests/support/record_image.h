// Builds record buffers by hand for tests of the layers below record storage.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/format/table_format.h"

namespace ovrin::test {

class RecordImage {
 public:
  RecordImage(const std::vector<TFieldDescriptor>& fields, uint16_t recordSize)
      : fields_(fields), bytes_(recordSize, 0) {}

  uint8_t* Data() { return bytes_.data(); }
  const uint8_t* Data() const { return bytes_.data(); }

  void SetIdentifier(int32_t id) { StoreLE32(&bytes_[datafmt::rIdentifier], static_cast<uint32_t>(id)); }
  void SetDeleted(bool deleted) { bytes_[datafmt::rDeleted] = deleted ? 1 : 0; }

  void SetNull(int field) {
    const TFieldDescriptor& f = fields_[field - 1];
    std::memset(&bytes_[f.Offset()], 0, f.StoredSize() + 1u);
  }
  void SetInt32(int field, int32_t v) { StoreLE32(Value(field), static_cast<uint32_t>(v)); }
  void SetInt16(int field, int16_t v) { StoreLE16(Value(field), static_cast<uint16_t>(v)); }
  void SetUInt16(int field, uint16_t v) { StoreLE16(Value(field), v); }
  void SetInt64(int field, int64_t v) { StoreLE64(Value(field), static_cast<uint64_t>(v)); }
  void SetDouble(int field, double v) { StoreLEDouble(Value(field), v); }
  void SetString(int field, const std::string& v) {
    const TFieldDescriptor& f = fields_[field - 1];
    uint8_t* p = Value(field);
    std::memset(p, 0, f.StoredSize());
    std::memcpy(p, v.data(), std::min<size_t>(v.size(), f.StoredSize() - 1u));
  }

 private:
  uint8_t* Value(int field) {
    const TFieldDescriptor& f = fields_[field - 1];
    bytes_[f.Offset()] = 1;
    return &bytes_[f.Offset() + 1u];
  }
  std::vector<TFieldDescriptor> fields_;
  std::vector<uint8_t> bytes_;
};

}  // namespace ovrin::test
