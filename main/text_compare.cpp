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

std::string TTextComparer::Lower(std::string_view bytes) const {
  std::u16string text = Decode(bytes);
  std::u16string lower(text.size() + 8, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), text.data(),
                           static_cast<int32_t>(text.size()), locale_.c_str(), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    lower.assign(static_cast<size_t>(n) + 1, u'\0');
    status = U_ZERO_ERROR;
    n = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), text.data(), static_cast<int32_t>(text.size()),
                     locale_.c_str(), &status);
  }
  if (U_FAILURE(status)) return std::string(bytes);
  std::string out(static_cast<size_t>(n) * 4 + 1, '\0');
  status = U_ZERO_ERROR;
  int32_t length = ucnv_fromUChars(converter_, out.data(), static_cast<int32_t>(out.size()), lower.data(), n, &status);
  if (U_FAILURE(status)) return std::string(bytes);
  out.resize(static_cast<size_t>(length));
  return out;
}

int TTextComparer::CompareDecoded(const std::u16string& a, const std::u16string& b) const {
  UCollationResult r = ucol_strcoll(collator_, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                    static_cast<int32_t>(b.size()));
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

std::string TTextComparer::SortKey(std::string_view bytes) const {
  std::u16string text = Decode(bytes);
  std::string key(text.size() * 4 + 16, '\0');
  for (;;) {
    int32_t n = ucol_getSortKey(collator_, text.data(), static_cast<int32_t>(text.size()),
                                reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
    if (n <= static_cast<int32_t>(key.size())) {
      key.resize(static_cast<size_t>(std::max(n, 0)));
      return key;
    }
    key.assign(static_cast<size_t>(n), '\0');
  }
}

int TTextComparer::Compare(std::string_view a, std::string_view b) const {
  if (a == b) return 0;
  return CompareDecoded(Decode(a), Decode(b));
}

size_t TWorkingList::LowerBound(const std::u16string& key, bool* found) const {
  size_t low = 0, high = items_.size();
  while (low < high) {
    size_t mid = (low + high) / 2;
    if (comparer_.CompareDecoded(items_[mid].key, key) < 0)
      low = mid + 1;
    else
      high = mid;
  }
  *found = low < items_.size() && comparer_.CompareDecoded(items_[low].key, key) == 0;
  return low;
}

bool TWorkingList::Add(const std::string& text) {
  std::u16string key = comparer_.Decode(text);
  bool found = false;
  size_t at = LowerBound(key, &found);
  if (found) return false;
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), TItem{text, std::move(key)});
  return true;
}

int TWorkingList::IndexOf(const std::string& text) const {
  bool found = false;
  size_t at = LowerBound(comparer_.Decode(text), &found);
  return found ? static_cast<int>(at) : -1;
}

void TWorkingList::Delete(int index) { items_.erase(items_.begin() + index); }

void TWorkingList::Clear() { items_.clear(); }

}  // namespace hollard
