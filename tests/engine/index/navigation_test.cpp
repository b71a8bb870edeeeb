#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <algorithm>

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


uint32_t NumberOf(const Key& k) { return (uint32_t(k[1]) << 24) | (uint32_t(k[2]) << 16) | (uint32_t(k[3]) << 8) | k[4]; }


// Keys 1..n with record number = key number.
std::unique_ptr<TIndexFile> Filled(IndexFixture& fx, uint32_t n) {
  auto index = fx.Open();
  for (uint32_t i = 1; i <= n; ++i) {
    index->InsertKey(1, NumberKey(10, i).data(), static_cast<int32_t>(i));
    index->AddRecordCount(1);
  }
  IndexFixture::Commit(*index);
  index->SetPhysicalRecordCount(static_cast<int32_t>(n));
  return index;
}

TEST(NavigationTest, GoToPositionLandsOnTheOrdinal) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = Filled(fx, 1000);
  index->GoToPosition(500);
  EXPECT_EQ(NumberOf(index->CurrentKey()), 500u);
  EXPECT_EQ(index->Position(), 500);
  EXPECT_FALSE(index->Eof());
  for (int32_t n : {1, 2, 255, 256, 257, 999, 1000}) {
    index->GoToPosition(n);
    EXPECT_EQ(NumberOf(index->CurrentKey()), static_cast<uint32_t>(n));
    EXPECT_EQ(index->Position(), n);
  }
  index->GoToPosition(1001);
  EXPECT_TRUE(index->Eof());
  EXPECT_EQ(NumberOf(index->CurrentKey()), 1000u);
  index->GoToPosition(0);
  EXPECT_TRUE(index->Bof());
  EXPECT_EQ(index->RecordCount(), 1000);
}

TEST(NavigationTest, RangeOfTenKeys) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = Filled(fx, 100);
  index->SetRangeStart(NumberKey(10, 10).data());
  index->SetRangeEnd(NumberKey(10, 19).data());
  index->ApplyRange();
  EXPECT_EQ(index->RecordCount(), 10);
  index->First();
  EXPECT_EQ(index->Position(), 1);
  EXPECT_EQ(NumberOf(index->CurrentKey()), 10u);
  index->Last();
  EXPECT_EQ(index->Position(), 10);
  EXPECT_EQ(NumberOf(index->CurrentKey()), 19u);
  index->GoToPosition(4);
  EXPECT_EQ(NumberOf(index->CurrentKey()), 13u);
  // Moving past the end of the range stops on the first key after it with the end flag.
  index->MoveBy(100);
  EXPECT_TRUE(index->Eof());
  EXPECT_EQ(index->CountKeysBetween(NumberKey(10, 10).data(), NumberKey(10, 19).data()), 10);
  // Find key outside the range goes to the range's edge and answers not found.
  EXPECT_FALSE(index->FindKey(NumberKey(10, 50).data(), true, false));
  EXPECT_EQ(NumberOf(index->CurrentKey()), 19u);
  EXPECT_TRUE(index->FindKey(NumberKey(10, 15).data(), false, false));
  EXPECT_EQ(index->Position(), 6);
  index->ResetRange();
  EXPECT_EQ(index->RecordCount(), 100);
}

TEST(NavigationTest, RangeWithGapsBetweenKeys) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = fx.Open();
  for (uint32_t i = 1; i <= 3000; ++i) index->InsertKey(1, NumberKey(10, i * 10).data(), static_cast<int32_t>(i));
  IndexFixture::Commit(*index);
  // The range bounds fall between keys, and on leaf boundaries.
  for (auto [lo, hi] : std::vector<std::pair<uint32_t, uint32_t>>{{5, 25}, {2555, 2565}, {2541, 5129}, {29995, 40000}, {0, 9}}) {
    index->SetRangeStart(NumberKey(10, lo).data());
    index->SetRangeEnd(NumberKey(10, hi).data());
    index->ApplyRange();
    uint32_t first = std::max<uint32_t>(1, (lo + 9) / 10), last = std::min<uint32_t>(hi / 10, 3000);
    int32_t expected = last >= first ? static_cast<int32_t>(last - first + 1) : 0;
    EXPECT_EQ(index->RecordCount(), expected) << lo << ".." << hi;
    index->First();
    if (expected == 0) {
      EXPECT_TRUE(index->Empty());
      continue;
    }
    EXPECT_EQ(NumberOf(index->CurrentKey()), first * 10);
    index->Last();
    EXPECT_EQ(NumberOf(index->CurrentKey()), last * 10);
    EXPECT_EQ(index->Position(), expected);
  }
}

TEST(NavigationTest, InvertedRangeIsEmpty) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = Filled(fx, 100);
  index->SetRangeStart(NumberKey(10, 50).data());
  index->SetRangeEnd(NumberKey(10, 40).data());
  index->ApplyRange();
  EXPECT_EQ(index->RecordCount(), 0);
  index->First();
  EXPECT_TRUE(index->Empty());
  EXPECT_TRUE(index->Bof() && index->Eof());
  index->Last();
  EXPECT_TRUE(index->Empty());
  index->MoveBy(1);
  EXPECT_TRUE(index->Empty());
}

TEST(NavigationTest, MoveByPastTheEnd) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = Filled(fx, 600);
  index->GoToPosition(598);
  index->MoveBy(5);
  EXPECT_TRUE(index->Eof());
  EXPECT_EQ(NumberOf(index->CurrentKey()), 600u);
  index->GoToPosition(3);
  index->MoveBy(-5);
  EXPECT_TRUE(index->Bof());
  EXPECT_EQ(NumberOf(index->CurrentKey()), 1u);
  index->MoveBy(300);
  EXPECT_FALSE(index->Bof());
  EXPECT_EQ(index->Position(), 301);
  EXPECT_EQ(NumberOf(index->CurrentKey()), 301u);
  index->MoveBy(0);
  EXPECT_EQ(index->Position(), 301);
}

TEST(NavigationTest, RandomMovesWithinAndAcrossLeavesAgreeWithAModel) {
  // Short moves stay inside a leaf, long ones cross leaves; either end stops the cursor
  // on the edge key with its flag set.
  IndexFixture fx(IndexSpec{8, true, 0});
  const int32_t n = 3000;
  auto index = Filled(fx, n);
  std::mt19937 rng(11);
  int64_t at = 1;
  index->First();
  for (int step = 0; step < 5000; ++step) {
    int32_t distance = rng() % 4 == 0 ? static_cast<int32_t>(rng() % 801) - 400 : static_cast<int32_t>(rng() % 7) - 3;
    int64_t to = at + distance;
    index->MoveBy(distance);
    if (distance == 0) {
      ASSERT_EQ(index->Position(), at);
      continue;
    }
    at = std::clamp<int64_t>(to, 1, n);
    ASSERT_EQ(index->Position(), at) << "step " << step << " moving " << distance;
    ASSERT_EQ(NumberOf(index->CurrentKey()), static_cast<uint32_t>(at)) << "step " << step;
    ASSERT_EQ(index->CurrentRecordNumber(), at);
    ASSERT_EQ(index->Eof(), to > n) << "step " << step;
    ASSERT_EQ(index->Bof(), to < 1) << "step " << step;
  }
}

TEST(NavigationTest, FindKeyNearest) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = fx.Open();
  for (uint32_t i = 1; i <= 1000; ++i) index->InsertKey(1, NumberKey(10, i * 2).data(), static_cast<int32_t>(i));
  IndexFixture::Commit(*index);
  EXPECT_FALSE(index->FindKey(NumberKey(10, 5000).data(), true, false));
  EXPECT_TRUE(index->Eof());
  EXPECT_FALSE(index->FindKey(NumberKey(10, 511).data(), true, false));
  EXPECT_EQ(NumberOf(index->CurrentKey()), 512u);
  EXPECT_EQ(index->Position(), 256);
  // Not nearest and not found: the cursor does not move.
  EXPECT_FALSE(index->FindKey(NumberKey(10, 3).data(), false, false));
  EXPECT_EQ(NumberOf(index->CurrentKey()), 512u);
  EXPECT_TRUE(index->FindKey(NumberKey(10, 2000).data(), false, false));
  EXPECT_EQ(index->Position(), 1000);
  EXPECT_EQ(index->CurrentRecordNumber(), 1000);
}

class PassEven : public TIndexFilter {
 public:
  explicit PassEven(bool none = false) : none_(none) {}
  void Compute(TIndexFile&, const TBitmap& base, TBitmap& out) override {
    out = base;
    for (int32_t n = 1; n <= out.Capacity(); ++n) out.Set(n, !none_ && base.Test(n) && n % 2 == 0);
  }
  bool Judge(int32_t n, const uint8_t*) override { return !none_ && n % 2 == 0; }

 private:
  bool none_;
};

TEST(NavigationTest, FiltersRestrictTheWalk) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = Filled(fx, 300);
  PassEven even;
  int handle = index->RegisterFilter(&even);
  EXPECT_EQ(index->ActivateFilter(handle, true), 0);
  EXPECT_TRUE(index->RecordFilterOn());
  EXPECT_EQ(index->RecordCount(), 150);
  index->First();
  EXPECT_EQ(index->CurrentRecordNumber(), 2);
  EXPECT_EQ(index->Position(), 2);  // every key counts in the ordinal
  index->MoveBy(2);
  EXPECT_EQ(index->CurrentRecordNumber(), 6);
  index->Last();
  EXPECT_EQ(index->CurrentRecordNumber(), 300);
  index->MoveBy(1);
  EXPECT_TRUE(index->Eof());
  EXPECT_EQ(index->CurrentRecordNumber(), 300);
  EXPECT_FALSE(index->FindKey(NumberKey(10, 7).data(), false, false));
  EXPECT_FALSE(index->FindKey(NumberKey(10, 7).data(), true, false));
  EXPECT_EQ(index->CurrentRecordNumber(), 8);
  // Removing the current record lowers the count by one without a rebuild.
  index->RecordRemoved(8);
  EXPECT_EQ(index->RecordCount(), 149);
  EXPECT_EQ(index->ActivateFilter(7, true), errFilterHandle);
  EXPECT_EQ(index->FreeFilter(7), errFilterHandle);
  EXPECT_EQ(index->ActivateFilter(handle, false), 0);
  EXPECT_FALSE(index->RecordFilterOn());
  EXPECT_EQ(index->RecordCount(), 300);
  PassEven none(true);
  int h2 = index->RegisterFilter(&none);
  index->ActivateFilter(h2, true);
  index->First();
  EXPECT_TRUE(index->Empty());
  EXPECT_EQ(index->RecordCount(), 0);
  EXPECT_EQ(index->FreeFilter(h2), 0);
  EXPECT_EQ(index->FreeFilter(handle), 0);
  EXPECT_EQ(index->FilterCount(), 0);
}

TEST(NavigationTest, RunLengthFollowsConsecutiveRecords) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto index = Filled(fx, 100);
  index->First();
  EXPECT_EQ(index->RunLength(10, true), 10);
  EXPECT_EQ(index->RunLength(1000, true), 100);  // one leaf holds all of them
  index->Last();
  EXPECT_EQ(index->RunLength(5, false), 5);
  TBitmap marked(100);
  index->MarkKeysBetween(NumberKey(10, 20).data(), NumberKey(10, 29).data(), marked);
  EXPECT_EQ(marked.Count(100), 10);
  EXPECT_TRUE(marked.Test(20) && marked.Test(29) && !marked.Test(30));
}

TEST(NavigationTest, SecondHandlerSeesTheFirstOnesChange) {
  IndexFixture fx(IndexSpec{8, true, 0});
  {
    auto setup = Filled(fx, 2000);
  }
  auto a = fx.Open();
  auto b = fx.Open();
  b->First();
  EXPECT_EQ(NumberOf(b->CurrentKey()), 1u);
  // A adds keys at the end and writes them back, which advances the change counter.
  for (uint32_t i = 2001; i <= 2100; ++i) a->InsertKey(1, NumberKey(10, i).data(), static_cast<int32_t>(i));
  IndexFixture::Commit(*a);
  long readsBefore = b->Stats().reads;
  b->Last();  // a page B has not cached: it finds the new counter and starts again
  EXPECT_EQ(NumberOf(b->CurrentKey()), 2100u);
  EXPECT_EQ(b->Position(), 2100);
  EXPECT_GT(b->Stats().reads, readsBefore);
  EXPECT_EQ(b->Header().ChangeCounter(), a->Header().ChangeCounter());
}

TEST(NavigationTest, LocksBetweenTwoHandlers) {
  IndexFixture fx(IndexSpec{8, true, 0});
  auto a = fx.Open();
  auto b = fx.Open();
  EXPECT_TRUE(a->TakeReadLock());
  EXPECT_TRUE(b->TakeReadLock());
  b->ReleaseReadLock();
  a->ReleaseReadLock();
  EXPECT_TRUE(a->TakeWriteLock());
  EXPECT_TRUE(a->TakeWriteLock());  // taken once, held
  a->ReleaseWriteLock();
  EXPECT_TRUE(b->TakeWriteLock());
  b->ReleaseWriteLock();
}

TEST(DamagedIndexTest, BadPagesAre8965) {
  IndexFixture fx(IndexSpec{8, true, 0});
  {
    auto index = Filled(fx, 1000);
  }
  auto patch = [&](int32_t offset, size_t at, std::vector<uint8_t> bytes) {
    std::fstream f(fx.IndexPath(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset + static_cast<std::streamoff>(at));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  auto index = fx.Open();
  int32_t root = index->Header().Slot(1).Root();
  index->Close();
  // A child offset that is not a page boundary.
  patch(root, 13 + 10, {0x01, 0x10, 0, 0});
  index = fx.Open();
  EXPECT_EQ(CodeOf([&] { index->First(); }), 8965);
  std::vector<std::string> problems;
  EXPECT_NO_THROW(index->VerifyTree(1, &problems));
  EXPECT_FALSE(problems.empty());
  index->Close();
  // A child offset beyond the end of the file.
  patch(root, 13 + 10, {0, 0, 0, 0x10});
  index = fx.Open();
  EXPECT_EQ(CodeOf([&] { index->First(); }), 8965);
  index->Close();
  // The root naming itself as its child: a cycle.
  patch(root, 13 + 10, {static_cast<uint8_t>(root), static_cast<uint8_t>(root >> 8), static_cast<uint8_t>(root >> 16), 0});
  index = fx.Open();
  EXPECT_EQ(CodeOf([&] { index->First(); }), 8965);
  EXPECT_EQ(CodeOf([&] { index->InsertKey(1, NumberKey(10, 0).data(), 1); }), 8965);
}

TEST(DamagedIndexTest, LeafLinksThatLoopAreCaught) {
  IndexFixture fx(IndexSpec{8, true, 0});
  int32_t firstLeaf;
  {
    auto index = Filled(fx, 1000);
    index->First();
    firstLeaf = 0;
  }
  TFileHandler raw;
  raw.SetFileName(fx.IndexPath());
  raw.Open();
  uint8_t page[4096];
  // Find the leftmost leaf: the first entry's child of the root.
  TIndexHeader header;
  ReadIndexHeader(raw, header, false);
  raw.Seek(header.Slot(1).Root(), 0);
  raw.Read(page, 4096);
  firstLeaf = LoadLEI32(page + 13 + 10);
  int32_t second = LoadLEI32(page + 13 + 18 + 10);
  // The second leaf's next link points back to the first.
  raw.Seek(second + 7, 0);
  uint8_t link[4];
  StoreLE32(link, static_cast<uint32_t>(firstLeaf));
  raw.Write(link, 4);
  raw.Close();
  auto index = fx.Open();
  index->SetPhysicalRecordCount(1000);
  index->First();
  uint16_t code = CodeOf([&] {
    for (int i = 0; i < 5000 && !index->Eof(); ++i) index->MoveBy(1);
  });
  EXPECT_EQ(code, 8965);
  std::vector<std::string> problems;
  index->VerifyTree(1, &problems);
  EXPECT_FALSE(problems.empty());
}

}  // namespace
}  // namespace ovrin

namespace ovrin {
namespace {

TEST(NaturalOrderTest, WalksPhysicalRecordsThroughTheBitmap) {
  test::IndexFixture fx(test::IndexSpec{8, true, 0});  // a table without primary index
  auto index = fx.Open();
  index->SetPhysicalRecordCount(20);
  index->Header().SetRecordCount(20);
  index->SelectSlot(0);
  ASSERT_TRUE(index->NaturalOrder());
  EXPECT_TRUE(index->RecordFilterOn());
  index->First();
  EXPECT_EQ(index->CurrentRecordNumber(), 1);
  index->MoveBy(4);
  EXPECT_EQ(index->CurrentRecordNumber(), 5);
  EXPECT_EQ(index->Position(), 5);
  index->Last();
  EXPECT_EQ(index->CurrentRecordNumber(), 20);
  index->MoveBy(1);
  EXPECT_TRUE(index->Eof());
  EXPECT_EQ(index->CurrentRecordNumber(), 20);
  index->GoToRecord(7);
  EXPECT_EQ(index->Position(), 7);
  EXPECT_EQ(index->RunLength(100, true), 14);
  EXPECT_FALSE(index->FindKey(std::vector<uint8_t>(10, 1).data(), true, false));  // no keys in natural order
}

TEST(NaturalOrderTest, LiveRecordsComeFromSysDeleted) {
  // A table with a primary index keeps one "Sys Deleted" key per record.
  test::TempDir dir;
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}};
  def.Primary.Fields = {"ID"};
  CreateTable(dir / "d", def);
  TFileHandler data;
  data.SetFileName(dir / "d.DAT");
  data.Open();
  auto fields = ReadTableImage(data, [](const std::string&) { return false; }).descriptors;
  data.Close();
  for (int deletedCount : {3, 17}) {
    TIndexFile index;
    index.SetFileName(dir / "d");
    index.OpenIndex(fields, 0, 0, false);
    index.SetPhysicalRecordCount(20);
    for (int32_t n = 1; n <= 20; ++n) {
      uint8_t key[5] = {static_cast<uint8_t>(n <= deletedCount ? 1 : 0)};
      KeyInt32(n, key + 1);
      index.InsertKey(31, key, n);
    }
    index.Header().SetRecordCount(20 - deletedCount);
    index.RebuildBitmaps();
    for (int32_t n = 1; n <= 20; ++n) EXPECT_EQ(index.LiveBitmap().Test(n), n > deletedCount) << deletedCount << " " << n;
    index.Close();
    CreateTable(dir / "d", def, TCreateOptions{true, false});
  }
}

}  // namespace
}  // namespace ovrin
