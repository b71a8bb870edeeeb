// The comparison of the migration's working lists and of its case-insensitive lookups.
// Two texts are equal without regard to case exactly when they are equal after full
// case folding (bytes the code page does not define count as themselves): texts that
// differ in anything but letter case stay different, also where a collator would
// merge them ("x\xB2.pas" and "x2.pas", a soft hyphen, a control byte). Texts that are
// not equal are ordered by an ICU collator of the user's locale at secondary strength
// (accents count, case does not), and by their folded forms where it sees no difference.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct UCollator;
struct UConverter;

namespace hollard {

class TTextComparer {
 public:
  // codePage: an ICU converter name such as "windows-1252"; locale: an ICU locale name,
  // empty for the user's default locale. An unknown code page throws std::runtime_error.
  explicit TTextComparer(const std::string& codePage = "windows-1252", const std::string& locale = "");
  ~TTextComparer();
  TTextComparer(const TTextComparer&) = delete;
  TTextComparer& operator=(const TTextComparer&) = delete;

  std::u16string Decode(std::string_view bytes) const;
  // What a comparison needs of a text: its decoded form (for the collator) and its
  // folded form (for equality).
  struct TKey {
    std::u16string decoded, folded;
  };
  TKey Key(std::string_view bytes) const;
  int Compare(std::string_view a, std::string_view b) const;
  int CompareKeys(const TKey& a, const TKey& b) const;
  bool Equal(std::string_view a, std::string_view b) const { return Compare(a, b) == 0; }
  // A key of the text for hashing: two texts have the same key exactly when they
  // compare equal.
  std::string SortKey(std::string_view bytes) const;
  // The text lower- or upper-cased by the locale's rules, as bytes of the code page
  // again; a letter whose partner the code page lacks (the Turkish dotless i in
  // windows-1252) stays as it is.
  std::string Lower(std::string_view bytes) const;
  std::string Upper(std::string_view bytes) const;
  const std::string& CodePage() const { return codePage_; }

 private:
  // The text folded, with a byte the code page does not define kept as itself.
  std::u16string Folded(std::string_view bytes) const;
  std::string MapCase(std::string_view bytes, bool upper) const;
  std::string codePage_, locale_;
  UCollator* collator_ = nullptr;
  UConverter* converter_ = nullptr;
  // Single-byte code pages: each byte's character (kUndefined for none) and its lower-
  // and upper-case partner byte within the code page.
  bool singleByte_ = false;
  static constexpr char16_t kUndefined = 0xFFFF;
  char16_t byteChar_[256] = {};
  uint8_t lowerByte_[256] = {}, upperByte_[256] = {};
};

// A sorted list that holds each text once (the first one added of texts that compare
// equal), as the migration's steps collect users and module keys.
class TWorkingList {
 public:
  explicit TWorkingList(const TTextComparer& comparer) : comparer_(comparer) {}
  // Adds the text unless an equal one is already there; answers whether it was added.
  bool Add(const std::string& text);
  // The position of the text that compares equal, or -1.
  int IndexOf(const std::string& text) const;
  void Delete(int index);
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& operator[](int index) const { return items_.at(static_cast<size_t>(index)).text; }

 private:
  struct TItem {
    std::string text;
    TTextComparer::TKey key;
  };
  // First position whose text is not less than the key; found when it compares equal.
  size_t LowerBound(const TTextComparer::TKey& key, bool* found) const;
  const TTextComparer& comparer_;
  std::vector<TItem> items_;
};

}  // namespace hollard
