#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "engine/base/system_list.h"

namespace ovrin {
namespace {

TEST(SystemListTest, GrowsByTheFrameworkSteps) {
  TSystemList<int> list;
  std::vector<int32_t> capacities;
  for (int i = 0; i < 200; ++i) {
    int32_t before = list.Capacity();
    list.Add(i);
    if (list.Capacity() != before) capacities.push_back(list.Capacity());
  }
  std::vector<int32_t> expected = {4, 8, 12, 28, 44, 60, 76, 95, 118, 147, 183, 228};
  EXPECT_EQ(capacities, expected);
}

TEST(SystemListTest, MisuseRaisesListErrorsWithTheirTexts) {
  TSystemList<int> list;
  list.Add(1);
  try {
    list.Get(1);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (1)");
  }
  EXPECT_THROW(list.Get(-1), EListError);
  EXPECT_THROW(list.Insert(2, 0), EListError);
  EXPECT_THROW(list.Delete(5), EListError);
  try {
    list.SetCapacity(0);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List capacity out of bounds (0)");
  }
  EXPECT_THROW(list.SetCapacity(kMaxListSize + 1), EListError);
  try {
    list.SetCount(-1);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List count out of bounds (-1)");
  }
  EXPECT_THROW(list.SetCount(kMaxListSize + 1), EListError);
}

TEST(SystemListTest, SetCountFillsWithNull) {
  TSystemList<int*> list;
  int x = 0;
  list.Add(&x);
  list.SetCount(5);
  EXPECT_EQ(list.Count(), 5);
  EXPECT_EQ(list[0], &x);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(list[i], nullptr);
  list.SetCount(1);
  list.SetCount(2);
  EXPECT_EQ(list[1], nullptr);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 0);
}

TEST(SystemListTest, RandomOperationsMatchAVector) {
  std::mt19937 rng(12345);
  TSystemList<int> list;
  std::vector<int> model;
  for (int step = 0; step < 20000; ++step) {
    int op = static_cast<int>(rng() % 5);
    int32_t n = static_cast<int32_t>(model.size());
    int value = static_cast<int>(rng() % 1000);
    if (op == 0 || n == 0) {
      list.Add(value);
      model.push_back(value);
    } else if (op == 1) {
      int32_t at = static_cast<int32_t>(rng() % (n + 1));
      list.Insert(at, value);
      model.insert(model.begin() + at, value);
    } else if (op == 2) {
      int32_t at = static_cast<int32_t>(rng() % n);
      list.Delete(at);
      model.erase(model.begin() + at);
    } else if (op == 3) {
      int32_t from = static_cast<int32_t>(rng() % n), to = static_cast<int32_t>(rng() % n);
      list.Move(from, to);
      int v = model[from];
      model.erase(model.begin() + from);
      model.insert(model.begin() + to, v);
    } else {
      int32_t at = static_cast<int32_t>(rng() % n);
      EXPECT_EQ(list[at], model[at]);
    }
    ASSERT_EQ(list.Count(), static_cast<int32_t>(model.size()));
  }
  ASSERT_TRUE(std::equal(list.begin(), list.end(), model.begin(), model.end()));
}

TEST(SystemListTest, SortOrdersLikeStdSort) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    TSystemList<int> list;
    std::vector<int> model;
    int n = static_cast<int>(rng() % 300);
    for (int i = 0; i < n; ++i) {
      int v = static_cast<int>(rng() % 50);  // many equal items
      list.Add(v);
      model.push_back(v);
    }
    list.Sort([](const int& a, const int& b) { return a < b ? -1 : (a > b ? 1 : 0); });
    std::sort(model.begin(), model.end());
    ASSERT_TRUE(std::equal(list.begin(), list.end(), model.begin(), model.end())) << "round " << round;
  }
}

}  // namespace
}  // namespace ovrin
