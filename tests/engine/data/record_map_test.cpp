// The record cache's index by record number against std::unordered_map: random sets,
// erases and lookups, with the keys record numbers take (runs of neighbours, a few far
// apart) and the churn of a cache that evicts as it reads.
#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "engine/data/record_map.h"

namespace ovrin {
namespace {

void ExpectSame(TRecordMap<int>& map, const std::unordered_map<int32_t, int>& model, int32_t highest) {
  ASSERT_EQ(map.Size(), model.size());
  for (int32_t key = 1; key <= highest; ++key) {
    auto found = model.find(key);
    int* value = map.Find(key);
    if (found == model.end()) {
      ASSERT_EQ(value, nullptr) << "key " << key;
    } else {
      ASSERT_NE(value, nullptr) << "key " << key;
      ASSERT_EQ(*value, found->second) << "key " << key;
    }
  }
}

TEST(RecordMapTest, RandomChangesAgreeWithAModel) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    TRecordMap<int> map;
    std::unordered_map<int32_t, int> model;
    // Small key ranges crowd the table into long probe runs; wide ones grow it.
    const int32_t highest = seed % 2 ? 300 : 5000;
    for (int step = 0; step < 20000; ++step) {
      int32_t key = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(highest));
      switch (rng() % 5) {
        case 0:
        case 1: {
          int value = static_cast<int>(rng());
          map.Set(key, value);
          model[key] = value;
          break;
        }
        case 2:
        case 3: EXPECT_EQ(map.Erase(key), model.erase(key) == 1) << "key " << key; break;
        default: EXPECT_EQ(map.Contains(key), model.count(key) == 1) << "key " << key;
      }
      if (step % 2500 == 0) ExpectSame(map, model, highest);
    }
    ExpectSame(map, model, highest);
    map.Clear();
    model.clear();
    ExpectSame(map, model, highest);
    map.Set(7, 70);
    EXPECT_EQ(*map.Find(7), 70);
  }
}

TEST(RecordMapTest, ACacheReadingForwardKeepsItsWindow) {
  // A cache of 240 entries reading a table front to back: each read adds the next number
  // and evicts the oldest, as the record cache does on a scan.
  TRecordMap<int> map;
  const int32_t window = 240;
  for (int32_t n = 1; n <= 100000; ++n) {
    map.Set(n, n * 3);
    if (n > window) {
      ASSERT_TRUE(map.Erase(n - window));
    }
  }
  EXPECT_EQ(map.Size(), static_cast<size_t>(window));
  for (int32_t n = 100000 - window + 1; n <= 100000; ++n) ASSERT_EQ(*map.Find(n), n * 3);
  EXPECT_EQ(map.Find(100000 - window), nullptr);
  EXPECT_FALSE(map.Erase(1));
}

TEST(RecordMapTest, KeysBelowOneAreRefused) {
  TRecordMap<int> map;
  EXPECT_THROW(map.Set(0, 1), std::logic_error);
  EXPECT_THROW(map.Set(-5, 1), std::logic_error);
  EXPECT_EQ(map.Find(0), nullptr);
  EXPECT_FALSE(map.Erase(-1));
  map.Set(0x7FFFFFFF, 9);
  EXPECT_EQ(*map.Find(0x7FFFFFFF), 9);
}

}  // namespace
}  // namespace ovrin
