#include "main/text_compare.h"

#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <stdexcept>

namespace hollard {

TTextComparer::TTextComparer(const std::string& codePage, const std::string& locale) : codePage_(codePage) {
  UErrorCode status = U_ZERO_ERROR;
  converter_ = ucnv_open(codePage.c_str(), &status);
  if (U_FAILURE(status) || !converter_) throw std::runtime_error("Unknown code page: " + codePage);
  status = U_ZERO_ERROR;
  // Without a locale of its own (the C or POSIX locale) ICU would pick a collation in
  // code point order, where case counts at the first level; the root collation is the
  // neutral choice then.
  std::string name = locale.empty() ? uloc_getDefault() : locale;
  locale_ = name;
  if (name.rfind("en_US_POSIX", 0) == 0 || name == "c" || name == "C") name = "root";
  collator_ = ucol_open(name.c_str(), &status);
  if (U_FAILURE(status) || !collator_) {
    ucnv_close(converter_);
    throw std::runtime_error("No collation for the locale " + name);
  }
  ucol_setStrength(collator_, UCOL_SECONDARY);

  singleByte_ = ucnv_getMaxCharSize(converter_) == 1;
  if (!singleByte_) return;
  // Each byte on its own: its character, or none when the code page does not define it
  // (the converter would give a substitute that two such bytes share).
  status = U_ZERO_ERROR;
  UConverter* strict = ucnv_open(codePage.c_str(), &status);
  if (U_FAILURE(status) || !strict) {
    singleByte_ = false;
    return;
  }
  ucnv_setToUCallBack(strict, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  ucnv_setFromUCallBack(strict, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    UChar out[4];
    UErrorCode e = U_ZERO_ERROR;
    ucnv_resetToUnicode(strict);
    int32_t n = ucnv_toUChars(strict, out, 4, &in, 1, &e);
    byteChar_[b] = U_SUCCESS(e) && n == 1 ? static_cast<char16_t>(out[0]) : kUndefined;
  }
  // The partner of each letter, when it is one character the code page has.
  auto partner = [&](int b, bool upper) -> uint8_t {
    if (byteChar_[b] == kUndefined) return static_cast<uint8_t>(b);
    UChar in[1] = {static_cast<UChar>(byteChar_[b])}, mapped[8];
    UErrorCode e = U_ZERO_ERROR;
    int32_t n = upper ? u_strToUpper(mapped, 8, in, 1, locale_.c_str(), &e)
                      : u_strToLower(mapped, 8, in, 1, locale_.c_str(), &e);
    if (U_FAILURE(e) || n != 1) return static_cast<uint8_t>(b);
    char back[8];
    e = U_ZERO_ERROR;
    ucnv_resetFromUnicode(strict);
    int32_t m = ucnv_fromUChars(strict, back, 8, mapped, 1, &e);
    if (U_FAILURE(e) || m != 1) return static_cast<uint8_t>(b);
    return static_cast<uint8_t>(back[0]);
  };
  for (int b = 0; b < 256; ++b) {
    lowerByte_[b] = partner(b, false);
    upperByte_[b] = partner(b, true);
  }
  ucnv_close(strict);
}

TTextComparer::~TTextComparer() {
  ucol_close(collator_);
  ucnv_close(converter_);
}

std::u16string TTextComparer::Decode(std::string_view bytes) const {
  std::u16string out(bytes.size() * 2 + 1, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = ucnv_toUChars(converter_, out.data(), static_cast<int32_t>(out.size()), bytes.data(),
                            static_cast<int32_t>(bytes.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<size_t>(n) + 1, u'\0');
    status = U_ZERO_ERROR;
    n = ucnv_toUChars(converter_, out.data(), static_cast<int32_t>(out.size()), bytes.data(),
                      static_cast<int32_t>(bytes.size()), &status);
  }
  out.resize(U_FAILURE(status) ? 0 : static_cast<size_t>(n));
  return out;
}

std::string TTextComparer::Lower(std::string_view bytes) const { return MapCase(bytes, false); }
std::string TTextComparer::Upper(std::string_view bytes) const { return MapCase(bytes, true); }

std::string TTextComparer::MapCase(std::string_view bytes, bool upper) const {
  if (singleByte_) {
    std::string out(bytes);
    for (char& c : out) c = static_cast<char>((upper ? upperByte_ : lowerByte_)[static_cast<uint8_t>(c)]);
    return out;
  }
  // A code page of more than one byte per character: the whole text mapped, and kept as
  // it is when the result does not fit the code page.
  std::u16string text = Decode(bytes);
  std::u16string mapped(text.size() * 3 + 8, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = upper ? u_strToUpper(mapped.data(), static_cast<int32_t>(mapped.size()), text.data(),
                                   static_cast<int32_t>(text.size()), locale_.c_str(), &status)
                    : u_strToLower(mapped.data(), static_cast<int32_t>(mapped.size()), text.data(),
                                   static_cast<int32_t>(text.size()), locale_.c_str(), &status);
  if (U_FAILURE(status)) return std::string(bytes);
  UConverter* strict = ucnv_open(codePage_.c_str(), &status);
  ucnv_setFromUCallBack(strict, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  std::string out(static_cast<size_t>(n) * 4 + 1, '\0');
  int32_t length = ucnv_fromUChars(strict, out.data(), static_cast<int32_t>(out.size()), mapped.data(), n, &status);
  ucnv_close(strict);
  if (U_FAILURE(status)) return std::string(bytes);
  out.resize(static_cast<size_t>(length));
  return out;
}

std::u16string TTextComparer::Folded(std::string_view bytes) const {
  std::u16string text;
  if (singleByte_) {
    text.reserve(bytes.size());
    for (char c : bytes) {
      char16_t u = byteChar_[static_cast<uint8_t>(c)];
      if (u == kUndefined) {
        // Kept as itself: a marker no decoded text holds, then the byte.
        text += kUndefined;
        text += static_cast<char16_t>(static_cast<uint8_t>(c));
      } else {
        text += u;
      }
    }
  } else {
    text = Decode(bytes);
    // A substitute stands for any undefined sequence: the bytes themselves tell them apart.
    if (text.find(u'\uFFFD') != std::u16string::npos) {
      text += kUndefined;
      for (char c : bytes) text += static_cast<char16_t>(static_cast<uint8_t>(c));
    }
  }
  std::u16string folded(text.size() * 3 + 8, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), text.data(),
                            static_cast<int32_t>(text.size()), U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return text;
  folded.resize(static_cast<size_t>(n));
  return folded;
}

TTextComparer::TKey TTextComparer::Key(std::string_view bytes) const { return TKey{Decode(bytes), Folded(bytes)}; }

int TTextComparer::CompareKeys(const TKey& a, const TKey& b) const {
  if (a.folded == b.folded) return 0;
  UCollationResult r = ucol_strcoll(collator_, a.decoded.data(), static_cast<int32_t>(a.decoded.size()),
                                    b.decoded.data(), static_cast<int32_t>(b.decoded.size()));
  if (r != UCOL_EQUAL) return r == UCOL_LESS ? -1 : 1;
  // The collator sees no difference where folding does (a superscript digit, an
  // ignorable character): the folded forms decide.
  return a.folded < b.folded ? -1 : 1;
}

std::string TTextComparer::SortKey(std::string_view bytes) const {
  std::u16string folded = Folded(bytes);
  std::string key;
  key.reserve(folded.size() * 2);
  for (char16_t u : folded) {
    key += static_cast<char>(u >> 8);
    key += static_cast<char>(u & 0xFF);
  }
  return key;
}

int TTextComparer::Compare(std::string_view a, std::string_view b) const {
  if (a == b) return 0;
  return CompareKeys(Key(a), Key(b));
}

size_t TWorkingList::LowerBound(const TTextComparer::TKey& key, bool* found) const {
  size_t low = 0, high = items_.size();
  while (low < high) {
    size_t mid = (low + high) / 2;
    if (comparer_.CompareKeys(items_[mid].key, key) < 0)
      low = mid + 1;
    else
      high = mid;
  }
  *found = low < items_.size() && comparer_.CompareKeys(items_[low].key, key) == 0;
  return low;
}

bool TWorkingList::Add(const std::string& text) {
  TTextComparer::TKey key = comparer_.Key(text);
  bool found = false;
  size_t at = LowerBound(key, &found);
  if (found) return false;
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), TItem{text, std::move(key)});
  return true;
}

int TWorkingList::IndexOf(const std::string& text) const {
  bool found = false;
  size_t at = LowerBound(comparer_.Key(text), &found);
  return found ? static_cast<int>(at) : -1;
}

void TWorkingList::Delete(int index) { items_.erase(items_.begin() + index); }

void TWorkingList::Clear() { items_.clear(); }

}  // namespace hollard
