#include "main/lookup_images.h"

#include <algorithm>
#include <deque>

#include "engine/data/data_file.h"
#include "engine/table/table.h"

namespace hollard {

using ovrin::TOvrinTable;

namespace {

uint32_t ChangeCounter(TOvrinTable& table) {
  return static_cast<uint32_t>(table.Handle()->Header().ChangeCounter());
}

// Texts of any bytes joined without ambiguity: each with its length in front.
void AppendPart(std::string* key, std::string_view part) {
  *key += std::to_string(part.size());
  *key += ':';
  *key += part;
}

}  // namespace

// ---------------------------------------------------------------- TTableImage

void TTableImage::Sync(TOvrinTable& cursor) {
  // Nobody changed the table since the image was last exact, nor since the cursor last
  // read or wrote its header: the data file's change counter, which every change of the
  // table raises, tells in one read. The cursor is then as current as a refresh would
  // leave it, and the refresh's reads of the index and blob headers are spared.
  if (valid_ && ChangeCounter(cursor) == counter_ && cursor.StoredChangeCounter() == counter_) return;
  cursor.Refresh();
  uint32_t counter = ChangeCounter(cursor);
  if (valid_ && counter == counter_) return;
  Clear();
  valid_ = false;
  ++rebuilds_;
  for (cursor.First(); !cursor.Eof(); cursor.Next()) Take(cursor, cursor.GetBookmark(), true);
  counter_ = counter;
  valid_ = true;
}

bool TTableImage::Follows(TOvrinTable& writer) {
  // Every post of a shared table writes its header once, raising the counter by one; a
  // larger step means another change came between, which only a new walk can follow.
  uint32_t counter = ChangeCounter(writer);
  valid_ = valid_ && counter == counter_ + 1;
  counter_ = counter;
  return valid_;
}

void TTableImage::Appended(TOvrinTable& writer) {
  if (!Follows(writer)) return;
  if (!TakesAppends()) {
    valid_ = false;
    return;
  }
  Take(writer, writer.GetBookmark(), false);
}

void TTableImage::Touched(TOvrinTable& writer) { Follows(writer); }

bool TTableImage::Before(TOvrinTable& cursor, const TBookmark& a, const TBookmark& b) {
  return cursor.CompareBookmarks(a, b) < 0;
}

void TTableImage::KeepFirst(TOvrinTable& cursor, std::unordered_map<std::string, TEntry>& map, std::string key,
                            const TEntry& entry, bool inWalkOrder) {
  auto [it, added] = map.emplace(std::move(key), entry);
  if (!added && !inWalkOrder && Before(cursor, entry.bookmark, it->second.bookmark)) it->second = entry;
}

// ---------------------------------------------------------------- TKeyImage

std::string TKeyImage::Folded(std::string_view key, std::string_view second) const {
  std::string folded;
  AppendPart(&folded, comparer_.SortKey(key));
  if (secondField_) AppendPart(&folded, comparer_.SortKey(second));
  return folded;
}

void TKeyImage::Clear() {
  exact_.clear();
  folded_.clear();
}

void TKeyImage::Take(TOvrinTable& cursor, TBookmark bookmark, bool inWalkOrder) {
  std::string_view key = cursor.FieldByName(keyField_).AsStringView();
  std::string_view second = secondField_ ? cursor.FieldByName(secondField_).AsStringView() : std::string_view();
  TEntry entry{std::move(bookmark), cursor.FieldByName(idField_).AsInteger()};
  std::string exact;
  AppendPart(&exact, key);
  AppendPart(&exact, second);
  KeepFirst(cursor, exact_, std::move(exact), entry, inWalkOrder);
  KeepFirst(cursor, folded_, Folded(key, second), entry, inWalkOrder);
}

int32_t TKeyImage::Find(const std::string& key, const std::string& second) const {
  std::string exact;
  AppendPart(&exact, key);
  AppendPart(&exact, secondField_ ? second : std::string());
  auto it = exact_.find(exact);
  if (it != exact_.end()) return it->second.id;
  it = folded_.find(Folded(key, second));
  return it == folded_.end() ? 0 : it->second.id;
}

// ---------------------------------------------------------------- TGroupImage

void TGroupImage::Take(TOvrinTable& cursor, TBookmark bookmark, bool inWalkOrder) {
  std::vector<int32_t> values;
  values.reserve(fields_.size());
  for (const char* field : fields_) values.push_back(cursor.FieldByName(field).AsInteger());
  TEntry entry{std::move(bookmark), idField_ ? cursor.FieldByName(idField_).AsInteger() : 0};
  std::vector<TEntry>& group = groups_[values];
  auto at = group.end();
  if (!inWalkOrder)
    at = std::upper_bound(group.begin(), group.end(), entry,
                          [&](const TEntry& a, const TEntry& b) { return Before(cursor, a.bookmark, b.bookmark); });
  group.insert(at, std::move(entry));
}

const std::vector<TTableImage::TEntry>& TGroupImage::Group(const std::vector<int32_t>& values) const {
  static const std::vector<TEntry> none;
  auto it = groups_.find(values);
  return it == groups_.end() ? none : it->second;
}

std::vector<int32_t> TGroupImage::Ids(const std::vector<int32_t>& values) const {
  std::vector<int32_t> ids;
  for (const TEntry& e : Group(values)) ids.push_back(e.id);
  return ids;
}

std::vector<TBookmark> TGroupImage::Bookmarks(const std::vector<int32_t>& values) const {
  std::vector<TBookmark> out;
  for (const TEntry& e : Group(values)) out.push_back(e.bookmark);
  return out;
}

// ---------------------------------------------------------------- TTextImage

void TTextImage::Clear() {
  index_.clear();
  patterns_.clear();
  taken_ = 0;
  built_ = false;
}

void TTextImage::Take(TOvrinTable& cursor, TBookmark, bool) {
  // Only rebuilds feed this image, so the records come in walk order.
  int64_t rank = taken_++;
  std::string pattern = patternOf_(cursor);
  if (pattern.empty() || index_.count(pattern)) return;
  index_.emplace(pattern, patterns_.size());
  patterns_.push_back({std::move(pattern), cursor.FieldByName(idField_).AsInteger(), rank});
  built_ = false;
}

int TTextImage::Step(int state, uint8_t byte) const {
  for (;;) {
    // The first state's moves are a table of their own: most bytes of a text lead there
    // or start there, and a failure chain always ends there.
    if (state == 0) return root_[byte];
    auto it = next_.find(static_cast<uint64_t>(state) * 256 + byte);
    if (it != next_.end()) return it->second;
    state = fail_[static_cast<size_t>(state)];
  }
}

void TTextImage::Build() {
  next_.clear();
  fail_.assign(1, 0);
  ends_.assign(1, -1);
  for (size_t p = 0; p < patterns_.size(); ++p) {
    int state = 0;
    for (unsigned char c : patterns_[p].text) {
      uint64_t edge = static_cast<uint64_t>(state) * 256 + c;
      auto it = next_.find(edge);
      if (it == next_.end()) {
        it = next_.emplace(edge, static_cast<int>(fail_.size())).first;
        fail_.push_back(0);
        ends_.push_back(-1);
      }
      state = it->second;
    }
    ends_[static_cast<size_t>(state)] = static_cast<int>(p);
  }
  for (int byte = 0; byte < 256; ++byte) {
    auto it = next_.find(static_cast<uint64_t>(byte));
    root_[static_cast<size_t>(byte)] = it == next_.end() ? 0 : it->second;
  }
  // Failure links breadth first: children by state, so each parent's link is known first.
  std::vector<std::vector<std::pair<uint8_t, int>>> children(fail_.size());
  for (const auto& [edge, child] : next_)
    children[static_cast<size_t>(edge / 256)].push_back({static_cast<uint8_t>(edge % 256), child});
  output_.assign(fail_.size(), -1);
  std::deque<int> queue;
  for (const auto& [byte, child] : children[0]) queue.push_back(child);
  while (!queue.empty()) {
    int state = queue.front();
    queue.pop_front();
    int link = fail_[static_cast<size_t>(state)];
    output_[static_cast<size_t>(state)] = ends_[static_cast<size_t>(link)] >= 0 ? link : output_[static_cast<size_t>(link)];
    for (const auto& [byte, child] : children[static_cast<size_t>(state)]) {
      fail_[static_cast<size_t>(child)] = Step(link, byte);
      if (fail_[static_cast<size_t>(child)] == child) fail_[static_cast<size_t>(child)] = 0;
      queue.push_back(child);
    }
  }
  built_ = true;
}

TTextImage::TFound TTextImage::Find(const std::string& text) {
  if (!built_) Build();
  const TPattern* best = nullptr;
  int state = 0;
  for (unsigned char c : text) {
    state = Step(state, c);
    for (int s = ends_[static_cast<size_t>(state)] >= 0 ? state : output_[static_cast<size_t>(state)]; s > 0;
         s = output_[static_cast<size_t>(s)]) {
      const TPattern& p = patterns_[static_cast<size_t>(ends_[static_cast<size_t>(s)])];
      if (!best || p.rank < best->rank) best = &p;
    }
  }
  return best ? TFound{best->id, best->text} : TFound{};
}

}  // namespace hollard
