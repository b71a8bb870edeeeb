#include "engine/index/keys.h"

#include <cstring>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/locale.h"

namespace ovrin {

using namespace idxfmt;

TKeyBuilder::TKeyBuilder(const TIndexHeader& header, int slot, const std::vector<TFieldDescriptor>& fields,
                         uint16_t language, uint16_t sort, const std::string& fileName)
    : slot_(slot), language_(language), sort_(sort) {
  TIndexDescriptor d = header.Slot(slot);
  keyLength_ = d.KeyLength();
  descending_ = d.Descending();
  caseInsensitive_ = d.CaseInsensitive();
  idSuffix_ = slot >= 1 && slot <= kMaxSecondary && !d.Unique();
  std::string indexName = slot == 0 ? kPrimaryName : d.Name();
  if (slot != kDeletedSlot) {
    if (d.FieldCount() > kMaxKeyFields) RaiseEngineError(errIndexLimit, fileName, "", "", indexName);
    for (int i = 0; i < d.FieldCount(); ++i) {
      uint16_t number = d.FieldNumber(i);
      if (number < 1 || number > fields.size())
        RaiseEngineError(errIndexFieldNumber, fileName, std::to_string(number), "", indexName);
      const TFieldDescriptor& f = fields[number - 1];
      if (f.Type() == fldBlob || f.IsCalculated()) RaiseEngineError(errIndexFieldType, fileName, "", "", indexName);
      TKeyField k;
      k.type = f.Type();
      k.storedSize = f.StoredSize();
      k.offset = f.Offset();
      k.autoInc = f.IsAutoInc();
      k.descending = d.FieldDescending(i);
      fields_.push_back(k);
    }
  }
  shape_.keyLength = keyLength_;
  shape_.compression = slot == kDeletedSlot ? uint8_t(cmpNone) : d.Compression();
  shape_.idSuffix = idSuffix_;
}

uint16_t KeyLengthFor(const std::vector<TKeyField>& fields, bool idSuffix) {
  uint32_t length = idSuffix ? 4 : 0;
  for (const TKeyField& f : fields) length += f.storedSize + 1u;
  return static_cast<uint16_t>(std::min<uint32_t>(length, 0xFFFF));
}

void TKeyBuilder::Build(const uint8_t* record, uint8_t* key) const {
  if (slot_ == kDeletedSlot) {
    BuildDeletionKey(record, key);
    return;
  }
  std::memset(key, 0, keyLength_);
  size_t at = 0;
  for (const TKeyField& f : fields_) {
    size_t S = f.storedSize;
    if (at + 1 + S > keyLength_) break;  // a descriptor whose key length is too short
    uint8_t* out = key + at + 1;
    const uint8_t* value;
    if (f.autoInc) {
      key[at] = 1;
      value = record + datafmt::rIdentifier;
    } else {
      key[at] = record[f.offset] ? 1 : 0;
      value = record + f.offset + 1;
    }
    switch (f.type) {
      case fldDate:
      case fldInteger:
      case fldTime:
        KeyInt32(LoadLEI32(value), out);
        break;
      case fldSmallInt:
        KeyInt16(LoadLEI16(value), out);
        break;
      case fldBoolean:
      case fldWord:
        KeyUInt16(LoadLE16(value), out);
        break;
      case fldBcd:
        KeyInt64(LoadLEI64(value), out);
        break;
      case fldFloat:
      case fldTimeStamp:
        KeyDouble(LoadLEDouble(value), out);
        break;
      case fldString: {
        size_t length = 0;
        while (length < S && value[length] != 0) ++length;
        std::string text(reinterpret_cast<const char*>(value), length);
        if (caseInsensitive_ || language_ != 0)
          text = KeyString(language_, sort_, text, caseInsensitive_);
        std::memcpy(out, text.data(), std::min(text.size(), S));
        break;
      }
      default:
        std::memcpy(out, value, S);
        break;
    }
    if (f.descending && !descending_ && language_ == 0)
      InvertKey(key + at, f.type == fldString ? S : S + 1);
    at += S + 1;
  }
  if (idSuffix_ && keyLength_ >= 4) KeyInt32(LoadLEI32(record + datafmt::rIdentifier), key + keyLength_ - 4);
}

namespace {
int CompareBytes(const uint8_t* a, const uint8_t* b, size_t n, bool descending) {
  int c = std::memcmp(a, b, n);
  c = c < 0 ? -1 : (c > 0 ? 1 : 0);
  return descending ? -c : c;
}
}  // namespace

int TKeyBuilder::CompareWithText(const uint8_t* a, const uint8_t* b, size_t n) const {
  int answer = 0;
  size_t pos = 0, off = 0;
  for (size_t i = 0; answer == 0 && i < fields_.size() && off < n; ++i) {
    const TKeyField& f = fields_[i];
    size_t S = f.storedSize;
    if (f.type == fldString) {
      answer = CompareBytes(a + pos, b + pos, off - pos + 1, descending_);
      if (answer != 0) break;
      size_t length = std::min(S, n - off - 1);
      auto text = [&](const uint8_t* k) {
        std::string_view v(reinterpret_cast<const char*>(k + off + 1), length);
        return v.substr(0, v.find('\0'));
      };
      answer = LocaleCompare(MakeLcid(language_, sort_), text(a), text(b), false);
      if (descending_ || f.descending) answer = -answer;
      pos = off + 1 + S;
    }
    off += S + 1;
  }
  if (answer == 0 && pos < n) answer = CompareBytes(a + pos, b + pos, n - pos, descending_);
  return answer;
}

size_t TKeyBuilder::PrefixLength(int fieldCount, int partialLength) const {
  size_t length = 0;
  int i = 0;
  for (; i < fieldCount && i < static_cast<int>(fields_.size()); ++i) length += fields_[i].storedSize + 1u;
  if (partialLength >= 0 && i < static_cast<int>(fields_.size())) length += static_cast<size_t>(partialLength) + 1;
  return std::min<size_t>(length, keyLength_);
}

void TKeyBuilder::FillSearchKey(uint8_t* key, size_t prefix) const {
  FillKey(key, keyLength_, prefix, descending_);
}

void TKeyBuilder::FillRangeEnd(uint8_t* key, size_t prefix) const {
  FillKey(key, keyLength_, prefix, !descending_);
}

void BuildDeletionKey(const uint8_t* record, uint8_t* key) {
  key[0] = record[datafmt::rDeleted];
  KeyInt32(LoadLEI32(record + datafmt::rIdentifier), key + 1);
}

void KeySuccessor(uint8_t* key, size_t length) { IncrementKey(key, length); }
void KeyPredecessor(uint8_t* key, size_t length) { DecrementKey(key, length); }

}  // namespace ovrin
