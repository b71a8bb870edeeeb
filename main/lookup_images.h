// The run's lookup structures. A step finds users, projects, modules, revisions and
// project links by walking a target table from its first record for every item, which
// costs items times table size on a large archive. An image holds, per table, what such
// a walk meets (the keys and the answers, in walk order) and answers the same question
// from memory:
//
// - Before each lookup the image asks the table's change counter, as the data file holds
//   it, whether anything changed since it was last exact (every post raises it: by this
//   run's other cursors on the table and by other users); only then is the cursor
//   refreshed, so that a walk sees every record posted so far.
// - A change the run posts itself through a cursor of the table is taken into the image
//   at once, when the counter shows that it was the only change since (one header write
//   per post); any other change makes the next lookup rebuild the image by one walk.
// - "First in walk order" is decided by the table's own bookmark order (the primary
//   index's key order, or the record number for a table without a primary index), so
//   the answers hold for any primary index, whatever the insertion order.
//
// Keeping an image costs one walk per table and step at most, and the memory of the keys.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "main/text_compare.h"

namespace ovrin {
class TOvrinTable;
}

namespace hollard {

using TBookmark = std::vector<uint8_t>;

class TTableImage {
 public:
  virtual ~TTableImage() = default;
  // When the table changed in a way the image has not followed, refreshes the cursor and
  // rebuilds the image by one walk of it from its first record.
  void Sync(ovrin::TOvrinTable& cursor);
  // The record `writer` (a cursor of the image's table, on its primary order) stands on
  // was just appended through it.
  void Appended(ovrin::TOvrinTable& writer);
  // The record `writer` stands on was just changed through it in fields the image does
  // not keep.
  void Touched(ovrin::TOvrinTable& writer);
  // Walks made for the image since it was created (for tests and figures).
  int Rebuilds() const { return rebuilds_; }

 protected:
  struct TEntry {
    TBookmark bookmark;
    int32_t id = 0;
  };
  virtual void Clear() = 0;
  // Takes in the record the cursor stands on. During a rebuild the records come in walk
  // order; otherwise `cursor` decides where the record goes among those already taken.
  virtual void Take(ovrin::TOvrinTable& cursor, TBookmark bookmark, bool inWalkOrder) = 0;
  // Whether an appended record can be taken in without a new walk.
  virtual bool TakesAppends() const { return true; }
  // Whether a comes before b in the walk order of the cursor's table.
  static bool Before(ovrin::TOvrinTable& cursor, const TBookmark& a, const TBookmark& b);
  // Keeps the earlier of the entry held and the new one.
  static void KeepFirst(ovrin::TOvrinTable& cursor, std::unordered_map<std::string, TEntry>& map, std::string key,
                        const TEntry& entry, bool inWalkOrder);

 private:
  // Whether the writer's change was the only one since the image was last exact.
  bool Follows(ovrin::TOvrinTable& writer);
  bool valid_ = false;
  uint32_t counter_ = 0;
  int rebuilds_ = 0;
};

// The first record whose key (and second key) equal the texts exactly; failing that,
// the first whose keys equal them without regard to case, as the run's comparer sees it.
class TKeyImage : public TTableImage {
 public:
  // secondField may be null.
  TKeyImage(const TTextComparer& comparer, const char* keyField, const char* secondField, const char* idField)
      : comparer_(comparer), keyField_(keyField), secondField_(secondField), idField_(idField) {}
  // The id of that record, 0 when there is none.
  int32_t Find(const std::string& key, const std::string& second) const;

 protected:
  void Clear() override;
  void Take(ovrin::TOvrinTable& cursor, TBookmark bookmark, bool inWalkOrder) override;

 private:
  std::string Folded(std::string_view key, std::string_view second) const;
  const TTextComparer& comparer_;
  const char *keyField_, *secondField_, *idField_;
  std::unordered_map<std::string, TEntry> exact_, folded_;
};

// Every record whose integer fields equal the given values, in walk order.
class TGroupImage : public TTableImage {
 public:
  // idField may be null when only the records' places are asked for.
  TGroupImage(std::vector<const char*> fields, const char* idField) : fields_(std::move(fields)), idField_(idField) {}
  std::vector<int32_t> Ids(const std::vector<int32_t>& values) const;
  std::vector<TBookmark> Bookmarks(const std::vector<int32_t>& values) const;
  bool Contains(const std::vector<int32_t>& values) const { return groups_.count(values) != 0; }

 protected:
  void Clear() override { groups_.clear(); }
  void Take(ovrin::TOvrinTable& cursor, TBookmark bookmark, bool inWalkOrder) override;

 private:
  const std::vector<TEntry>& Group(const std::vector<int32_t>& values) const;
  std::vector<const char*> fields_;
  const char* idField_;
  std::map<std::vector<int32_t>, std::vector<TEntry>> groups_;
};

// The first record (walk order) whose non-empty pattern occurs in a text: the patterns
// are matched all at once (an Aho-Corasick automaton), however many records there are.
class TTextImage : public TTableImage {
 public:
  struct TFound {
    int32_t id = 0;
    std::string pattern;  // empty when nothing was found
  };
  // The pattern of the record a cursor stands on.
  using TPatternOf = std::string (*)(ovrin::TOvrinTable& cursor);
  TTextImage(TPatternOf patternOf, const char* idField) : patternOf_(patternOf), idField_(idField) {}
  TFound Find(const std::string& text);

 protected:
  void Clear() override;
  void Take(ovrin::TOvrinTable& cursor, TBookmark bookmark, bool inWalkOrder) override;
  bool TakesAppends() const override { return false; }

 private:
  struct TPattern {
    std::string text;
    int32_t id = 0;
    int64_t rank = 0;  // walk position of its first record
  };
  void Build();
  int Step(int state, uint8_t byte) const;
  TPatternOf patternOf_;
  const char* idField_;
  std::unordered_map<std::string, size_t> index_;  // pattern text -> position in patterns_
  std::vector<TPattern> patterns_;
  int64_t taken_ = 0;
  bool built_ = false;
  // The automaton: transitions keyed by state * 256 + byte, failure links, the pattern
  // ending at each state (or -1) and the nearest state on the failure chain that ends one.
  std::unordered_map<uint64_t, int> next_;
  std::array<int, 256> root_{};  // the first state's moves, taken from next_
  std::vector<int> fail_, ends_, output_;
};

}  // namespace hollard
