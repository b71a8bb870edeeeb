// The comparison of the migration's working lists and of its case-insensitive lookups:
// the archive's texts (bytes of its code page) decoded and compared by an ICU collator
// of the user's locale at secondary strength, so that texts differing only in letter
// case are equal while accents still count.
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
  int Compare(std::string_view a, std::string_view b) const;
  int CompareDecoded(const std::u16string& a, const std::u16string& b) const;
  bool Equal(std::string_view a, std::string_view b) const { return Compare(a, b) == 0; }
  // The collation key of the text: two texts have the same key exactly when they
  // compare equal, so equal texts can be found by hashing.
  std::string SortKey(std::string_view bytes) const;
  // The text lower-cased by the locale's rules, as bytes of the code page again.
  std::string Lower(std::string_view bytes) const;
  const std::string& CodePage() const { return codePage_; }

 private:
  std::string codePage_, locale_;
  UCollator* collator_ = nullptr;
  UConverter* converter_ = nullptr;
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
    std::u16string key;
  };
  // First position whose text is not less than the key; found when it compares equal.
  size_t LowerBound(const std::u16string& key, bool* found) const;
  const TTextComparer& comparer_;
  std::vector<TItem> items_;
};

}  // namespace hollard
