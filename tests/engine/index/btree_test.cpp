#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "tests/support/engine_error.h"
#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "tests/engine/index/index_fixture.h"

namespace ovrin {
namespace {

using test::CodeOf;
using test::IndexFixture;
using test::IndexSpec;
using Key = std::vector<uint8_t>;
using test::NumberKey;



std::vector<std::string> Verify(TIndexFile& index, int64_t* keys = nullptr) {
  std::vector<std::string> problems;
  int64_t n = index.VerifyTree(1, &problems);
  if (keys) *keys = n;
  return problems;
}

TEST(BTreeTest, FullRootLeafSplitsIntoTwoHalvesUnderANewRoot) {
  IndexFixture fx(IndexSpec{8, true, 0});  // L = 10: 255 entries per leaf
  auto index = fx.Open();
  ASSERT_EQ(fx.KeyLength(), 10);
  for (uint32_t i = 1; i <= 255; ++i) index->InsertKey(1, NumberKey(10, i).data(), static_cast<int32_t>(i));
  int32_t root = index->Header().Slot(1).Root();
  std::vector<std::string> problems;
  EXPECT_EQ(index->VerifyTree(1, &problems), 255);
  EXPECT_EQ(index->Header().Slot(1).Root(), root);  // still one root leaf
  index->InsertKey(1, NumberKey(10, 256).data(), 256);
  EXPECT_NE(index->Header().Slot(1).Root(), root);
  IndexFixture::Commit(*index);
  EXPECT_TRUE(Verify(*index).empty());
  // Read the new root from the file: type 0 with two entries counting 128 each.
  TFileHandler raw;
  raw.SetFileName(fx.IndexPath());
  raw.Open();
  uint8_t page[4096];
  raw.Seek(index->Header().Slot(1).Root(), 0);
  raw.Read(page, 4096);
  EXPECT_EQ(page[0], 0);
  EXPECT_EQ(LoadLE16(page + 1), 2);
  EXPECT_EQ(LoadLEI32(page + 13 + 10 + 4), 128);
  EXPECT_EQ(LoadLEI32(page + 13 + 18 + 10 + 4), 128);
  EXPECT_EQ(Key(page + 13, page + 23), NumberKey(10, 1));
  EXPECT_EQ(Key(page + 31, page + 41), NumberKey(10, 129));
}

TEST(BTreeTest, LowerKeyChangesTheFirstKeyOfTheLeftmostPath) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = fx.Open();
  for (uint32_t i = 100; i < 100 + 60000; ++i) index->InsertKey(1, NumberKey(10, i).data(), static_cast<int32_t>(i));
  index->InsertKey(1, NumberKey(10, 5).data(), 5);
  EXPECT_TRUE(Verify(*index).empty());  // checks every interior first key
  index->First();
  EXPECT_EQ(index->CurrentKey(), NumberKey(10, 5));
}

TEST(BTreeTest, EmptiedIndexPutsEveryPageOnTheFreeListAndReusesTheLastFirst) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = fx.Open();
  for (uint32_t i = 1; i <= 2000; ++i) index->InsertKey(1, NumberKey(10, i).data(), static_cast<int32_t>(i));
  IndexFixture::Commit(*index);
  int32_t pagesUsed = (index->Header().EndOfFile() - 4096) / 4096;
  for (uint32_t i = 1; i <= 2000; ++i) index->DeleteKey(1, NumberKey(10, i).data());
  EXPECT_EQ(index->Header().Slot(1).Root(), 0);
  IndexFixture::Commit(*index);
  // Walk the free list from the file.
  TFileHandler raw;
  raw.SetFileName(fx.IndexPath());
  raw.Open();
  std::vector<int32_t> freeList;
  for (int32_t at = index->Header().Slot(1).FreeList(); at != 0 && freeList.size() < 10000;) {
    freeList.push_back(at);
    uint8_t page[4096];
    raw.Seek(at, 0);
    raw.Read(page, 4096);
    EXPECT_EQ(LoadLE16(page + 1), 0);
    at = LoadLEI32(page + 7);
  }
  EXPECT_EQ(static_cast<int32_t>(freeList.size()), pagesUsed);
  // The next insert takes the most recently freed page, the one after it the next.
  index->InsertKey(1, NumberKey(10, 1).data(), 1);
  EXPECT_EQ(index->Header().Slot(1).Root(), freeList[0]);
  int32_t eof = index->Header().EndOfFile();
  for (uint32_t i = 2; i <= 256; ++i) index->InsertKey(1, NumberKey(10, i).data(), static_cast<int32_t>(i));
  EXPECT_EQ(index->Header().EndOfFile(), eof);  // no page appended while free ones exist
  std::set<int32_t> reused(freeList.begin(), freeList.begin() + 3);
  IndexFixture::Commit(*index);
  EXPECT_TRUE(reused.count(index->Header().Slot(1).Root()));
  EXPECT_TRUE(Verify(*index).empty());
}

TEST(BTreeTest, CompressedLeavesNeverMerge) {
  IndexFixture fx(IndexSpec{8, true, 3});
  auto index = fx.Open();
  for (uint32_t i = 1; i <= 5000; ++i) index->InsertKey(1, NumberKey(10, i).data(), static_cast<int32_t>(i));
  auto entries = index->AllEntries(1);
  ASSERT_EQ(entries.size(), 5000u);
  // Delete all but the first key of the second leaf: it stays with one entry.
  index->First();
  int32_t perLeaf = index->RunLength(100000, true);
  (void)perLeaf;
  std::vector<std::string> problems;
  for (uint32_t i = 2; i <= 5000; ++i)
    if (i % 1000 != 0) index->DeleteKey(1, NumberKey(10, i).data());
  EXPECT_EQ(index->TreeCount(1), 6);
  EXPECT_TRUE(Verify(*index).empty());
}

TEST(BTreeTest, DeletingAMissingKeyChangesNothing) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = fx.Open();
  for (uint32_t i = 1; i <= 300; ++i) index->InsertKey(1, NumberKey(10, i * 2).data(), static_cast<int32_t>(i));
  IndexFixture::Commit(*index);
  int32_t counter = index->Header().ChangeCounter();
  try {
    index->DeleteKey(1, NumberKey(10, 3).data());
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 8708);
    EXPECT_EQ(e.Text(), "Key not found in index K of data file " + fx.IndexPath());
  }
  EXPECT_FALSE(index->Header().Modified());
  EXPECT_EQ(CodeOf([&] { index->ReplaceKey(1, NumberKey(10, 3).data(), NumberKey(10, 5).data(), 9); }), 8708);
  EXPECT_EQ(index->TreeCount(1), 300);
  EXPECT_EQ(index->Header().ChangeCounter(), counter);
  EXPECT_EQ(CodeOf([&] { index->CheckUnique(1, NumberKey(10, 4).data()); }), 9729);
  EXPECT_EQ(CodeOf([&] { index->CheckUnique(1, NumberKey(10, 5).data()); }), 0);
}

// ---------------------------------------------------------------- model test

struct ModelCase {
  IndexSpec shape;
  int operations;
};

class BTreeModelTest : public ::testing::TestWithParam<ModelCase> {};

Key RandomKey(std::mt19937& rng, uint16_t L, bool idSuffix, uint32_t id) {
  Key k(L, 0);
  k[0] = 1;
  uint16_t body = static_cast<uint16_t>(L - (idSuffix ? 4 : 0));
  // Few distinct leading bytes and zero tails, so that prefixes and tails compress.
  size_t length = 1 + rng() % (body - 1);
  for (size_t i = 1; i < length && i < body; ++i) k[i] = static_cast<uint8_t>('a' + rng() % 5);
  if (idSuffix) KeyInt32(static_cast<int32_t>(id), k.data() + L - 4);
  return k;
}

void CheckAgainstModel(TIndexFile& index, const std::map<Key, int32_t>& model, bool descending, std::mt19937& rng) {
  std::vector<std::pair<Key, int32_t>> expected(model.begin(), model.end());
  if (descending) std::reverse(expected.begin(), expected.end());
  int64_t keys = 0;
  auto problems = Verify(index, &keys);
  ASSERT_TRUE(problems.empty()) << problems.front();
  ASSERT_EQ(keys, static_cast<int64_t>(model.size()));
  ASSERT_EQ(index.TreeCount(1), static_cast<int32_t>(model.size()));
  // The walk.
  index.First();
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_FALSE(index.Empty());
    ASSERT_EQ(index.CurrentKey(), expected[i].first) << "at " << i;
    ASSERT_EQ(index.CurrentRecordNumber(), expected[i].second);
    ASSERT_EQ(index.Position(), static_cast<int32_t>(i + 1));
    index.MoveBy(1);
  }
  ASSERT_TRUE(expected.empty() ? index.Empty() : index.Eof());
  // Backwards.
  index.Last();
  for (size_t i = expected.size(); i-- > 0;) {
    ASSERT_EQ(index.CurrentKey(), expected[i].first);
    index.MoveBy(-1);
  }
  if (expected.empty()) return;
  ASSERT_TRUE(index.Bof());
  // The position of every key, and Go to position for every ordinal.
  (void)rng;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(index.FindKey(expected[i].first.data(), false, false));
    ASSERT_EQ(index.Position(), static_cast<int32_t>(i + 1));
    index.GoToPosition(static_cast<int32_t>(i + 1));
    ASSERT_EQ(index.CurrentKey(), expected[i].first);
    ASSERT_EQ(index.Position(), static_cast<int32_t>(i + 1));
  }
}

TEST_P(BTreeModelTest, RandomChangesMatchAnOrderedModel) {
  const ModelCase& c = GetParam();
  const char* fixed = std::getenv("OVRIN_SEED");
  uint32_t seed = fixed ? static_cast<uint32_t>(std::stoul(fixed)) : std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set OVRIN_SEED to replay)");
  std::mt19937 rng(seed);
  IndexFixture fx(c.shape);
  auto index = fx.Open();
  uint16_t L = fx.KeyLength();
  bool idSuffix = !c.shape.unique;
  std::map<Key, int32_t> model;
  uint32_t nextId = 1;
  auto sorted = [&](const Key& k) { return k; };
  (void)sorted;
  for (int op = 1; op <= c.operations; ++op) {
    int kind = static_cast<int>(rng() % 10);
    if (kind < 5 || model.size() < 50) {
      Key k = RandomKey(rng, L, idSuffix, nextId);
      if (model.count(k)) continue;
      index->InsertKey(1, k.data(), static_cast<int32_t>(nextId));
      index->AddRecordCount(1);
      model[k] = static_cast<int32_t>(nextId++);
    } else if (kind < 8) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      index->DeleteKey(1, it->first.data());
      index->AddRecordCount(-1);
      model.erase(it);
    } else {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      Key k = RandomKey(rng, L, idSuffix, static_cast<uint32_t>(it->second));
      if (model.count(k)) continue;
      index->ReplaceKey(1, it->first.data(), k.data(), it->second);
      int32_t r = it->second;
      model.erase(it);
      model[k] = r;
    }
    if (std::getenv("OVRIN_VERIFY_EACH")) {
      int64_t n = 0;
      auto problems = Verify(*index, &n);
      ASSERT_TRUE(problems.empty()) << "after op " << op << " kind " << kind << ": " << problems.front();
      ASSERT_EQ(n, static_cast<int64_t>(model.size())) << "after op " << op << " kind " << kind;
    }
    if (op % 97 == 0) IndexFixture::Commit(*index);
    if (op % 200 == 0) {
      IndexFixture::Commit(*index);
      if (std::getenv("OVRIN_VERIFY_EACH")) {
        int64_t n = 0;
        auto problems = Verify(*index, &n);
        ASSERT_EQ(n, static_cast<int64_t>(model.size())) << "after commit at op " << op;
      }
      CheckAgainstModel(*index, model, c.shape.descending, rng);
    }
  }
  IndexFixture::Commit(*index);
  index->Close();
  index = fx.Open();
  CheckAgainstModel(*index, model, c.shape.descending, rng);
  // Empty it completely: every page goes back to the free list.
  while (!model.empty()) {
    index->DeleteKey(1, model.begin()->first.data());
    model.erase(model.begin());
  }
  EXPECT_EQ(index->Header().Slot(1).Root(), 0);
  IndexFixture::Commit(*index);
  EXPECT_TRUE(Verify(*index).empty());
}

INSTANTIATE_TEST_SUITE_P(
    AllCompressions, BTreeModelTest,
    ::testing::Values(ModelCase{{8, true, 0}, 20000}, ModelCase{{8, false, 0}, 20000}, ModelCase{{8, true, 1}, 20000},
                      ModelCase{{8, false, 2}, 20000}, ModelCase{{8, false, 3}, 20000}, ModelCase{{3, true, 3}, 4000},
                      ModelCase{{250, true, 0}, 8000}, ModelCase{{250, false, 1}, 8000},
                      ModelCase{{250, false, 2}, 8000}, ModelCase{{250, true, 3}, 8000},
                      ModelCase{{100, false, 0, true}, 8000}),
    [](const ::testing::TestParamInfo<ModelCase>& info) {
      const IndexSpec& s = info.param.shape;
      return "W" + std::to_string(s.width) + (s.unique ? "Unique" : "Dup") + "C" + std::to_string(s.compression) +
             (s.descending ? "Desc" : "");
    });

}  // namespace
}  // namespace ovrin
