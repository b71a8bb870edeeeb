#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <random>

#include "tests/support/engine_error.h"
#include "engine/base/errors.h"
#include "engine/data/table_create.h"
#include "engine/index/index_format.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;

using namespace idxfmt;


TPageData Leaf(uint16_t L) {
  TPageData p;
  p.type = ptRootLeaf;
  p.keyLength = L;
  return p;
}

std::vector<uint8_t> Key(std::initializer_list<int> bytes) {
  std::vector<uint8_t> k;
  for (int b : bytes) k.push_back(static_cast<uint8_t>(b));
  return k;
}

TEST(IndexFileTest, NewIndexFileIsOneHeaderPage) {
  test::TempDir dir;
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 10}};
  def.Primary.Fields = {"ID"};
  TIndexSpec byName;
  byName.Name = "ByName";
  byName.Fields = {"NAME"};
  byName.CaseInsensitive = true;
  byName.Compression = cmpFull;
  def.Secondary = {byName};
  CreateTable(dir / "t", def);
  std::ifstream in(dir / "t.IDX", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 4096u);
  // Build the expected image from the rules and compare every byte.
  std::vector<uint8_t> expected(4096, 0);
  StoreLE32(&expected[0], 1);  // written once
  expected[8] = 3;
  StoreLE32(&expected[9], 4096);
  expected[13] = 1;
  uint8_t* primary = &expected[14];
  StoreLE16(primary + 31, 5);  // indicator + 4 bytes
  primary[35] = 1;             // unique
  primary[37] = 1;
  StoreLE16(primary + 54, 1);
  uint8_t* second = &expected[14 + 120];
  second[0] = 6;
  std::memcpy(second + 1, "ByName", 6);
  StoreLE16(second + 31, 12 + 4);  // indicator + 11 bytes + identifier
  second[34] = 1;
  second[36] = 3;
  second[37] = 1;
  StoreLE16(second + 54, 2);
  uint8_t* deleted = &expected[14 + 120 * 31];
  deleted[0] = 11;
  std::memcpy(deleted + 1, "Sys Deleted", 11);
  StoreLE16(deleted + 31, 5);
  expected[3979] = 1;  // the mark goes to disk with the write that its change caused
  EXPECT_EQ(bytes, expected);
}

TEST(PageFormatTest, FullCompressionOfAZeroTailStoresNoKeyBytes) {
  TIndexShape shape{5, cmpFull, false};
  TPageData page = Leaf(5);
  auto a = Key({'A', 'B', 'C', 'D', 'E'}), b = Key({'A', 'B', 'C', 0, 0});
  page.Insert(0, b.data(), 7, 0);
  page.Insert(0, a.data(), 3, 0);
  ComputeCompression(page, shape);
  EXPECT_EQ(page.leading[1], 3);
  EXPECT_EQ(page.trailing[1], 2);
  EXPECT_EQ(page.packedSize, (5 + 6) + 6);
  uint8_t out[4096];
  PackPage(page, shape, false, out, "t.IDX");
  EXPECT_EQ(LoadLE16(out + 11), 17);
  // Second entry: p = 3, t = 2, no key bytes, record 7.
  const uint8_t* e = out + 13 + 11;
  EXPECT_EQ(e[0], 3);
  EXPECT_EQ(e[1], 2);
  EXPECT_EQ(LoadLEI32(e + 2), 7);
}

TEST(PageFormatTest, TrailingCompressionOfAnAllZeroKey) {
  TIndexShape shape{9, cmpTrailing, false};
  TPageData page = Leaf(9);
  std::vector<uint8_t> zero(9, 0);
  page.Insert(0, zero.data(), 42, 0);
  ComputeCompression(page, shape);
  EXPECT_EQ(page.trailing[0], 9);
  EXPECT_EQ(page.packedSize, 6);
  uint8_t out[4096];
  PackPage(page, shape, false, out, "t.IDX");
  EXPECT_EQ(LoadLE16(out + 13), 9);
  EXPECT_EQ(LoadLEI32(out + 15), 42);
}

TEST(PageFormatTest, NonUniqueIndexesKeepTheIdentifierOutOfTheTrailingCount) {
  TIndexShape shape{9, cmpTrailing, true};
  TPageData page = Leaf(9);
  auto k = Key({1, 'x', 0, 0, 0, 0x80, 0, 0, 5});
  page.Insert(0, k.data(), 1, 0);
  ComputeCompression(page, shape);
  EXPECT_EQ(page.trailing[0], 3);  // the zeros before the identifier
  uint8_t out[4096];
  PackPage(page, shape, false, out, "t.IDX");
  EXPECT_EQ(std::vector<uint8_t>(out + 15, out + 21), Key({1, 'x', 0x80, 0, 0, 5}));
  // Full compression where the shared prefix reaches into the identifier: t = 0.
  TIndexShape full{9, cmpFull, true};
  TPageData two = Leaf(9);
  auto k2 = Key({1, 'x', 0, 0, 0, 0x80, 0, 0, 6});
  two.Insert(0, k.data(), 1, 0);
  two.Insert(1, k2.data(), 2, 0);
  ComputeCompression(two, full);
  EXPECT_EQ(two.leading[1], 8);
  EXPECT_EQ(two.trailing[1], 0);
  EXPECT_EQ(two.trailing[0], 3);
}

TEST(PageFormatTest, TrailingCountUsesTheLengthModulo256) {
  // A considered length of 256 leaves no window at all; 260 leaves 4 bytes.
  TIndexShape shape{256, cmpTrailing, false};
  TPageData page = Leaf(256);
  std::vector<uint8_t> k(256, 0);
  k[0] = 1;
  page.Insert(0, k.data(), 1, 0);
  ComputeCompression(page, shape);
  EXPECT_EQ(page.trailing[0], 0);
  TIndexShape wider{264, cmpTrailing, true};  // considered 260
  TPageData p2 = Leaf(264);
  std::vector<uint8_t> k2(264, 0);
  k2[0] = 1;
  k2[263] = 9;
  p2.Insert(0, k2.data(), 1, 0);
  ComputeCompression(p2, wider);
  EXPECT_EQ(p2.trailing[0], 4);
}

// Random keys with long shared prefixes and zero tails, sorted.
std::vector<std::vector<uint8_t>> RandomKeys(std::mt19937& rng, uint16_t L, size_t n) {
  std::vector<std::vector<uint8_t>> keys;
  std::vector<uint8_t> base(L);
  for (auto& b : base) b = static_cast<uint8_t>(rng() % 4);
  for (size_t i = 0; i < n; ++i) {
    std::vector<uint8_t> k = base;
    size_t change = rng() % L;
    for (size_t j = change; j < L; ++j) k[j] = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : 0);
    keys.push_back(k);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

TEST(PageFormatTest, PackAndUnpackRoundTripInEveryCompression) {
  uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 400; ++round) {
    uint16_t L = static_cast<uint16_t>(5 + rng() % 400);
    TIndexShape shape{L, static_cast<uint8_t>(rng() % 4), rng() % 2 == 0};
    bool interior = rng() % 5 == 0;
    TPageData page = Leaf(L);
    page.type = interior ? ptInterior : ptLeaf;
    page.previous = static_cast<int32_t>(4096 * (rng() % 100));
    page.next = static_cast<int32_t>(4096 * (rng() % 100));
    auto keys = RandomKeys(rng, L, 1 + rng() % 600);
    for (const auto& k : keys) {
      page.Insert(page.Count(), k.data(), static_cast<int32_t>(rng()), interior ? static_cast<int32_t>(rng() % 1000) : 0);
      ComputeCompression(page, shape);
      if (PageOverflows(page, shape)) {
        page.Remove(page.Count() - 1);
        ComputeCompression(page, shape);
        break;
      }
    }
    uint8_t packed[4096];
    PackPage(page, shape, false, packed, "t.IDX");
    TPageData back;
    UnpackPage(packed, shape, false, &back, "t.IDX");
    ASSERT_EQ(back.Count(), page.Count()) << "round " << round;
    ASSERT_EQ(back.keys, page.keys) << "round " << round << " L " << L << " compression " << int(shape.compression);
    ASSERT_EQ(back.values, page.values);
    if (interior) {
      ASSERT_EQ(back.counts, page.counts);
    }
    ASSERT_EQ(back.previous, page.previous);
    ASSERT_EQ(back.next, page.next);
    ASSERT_EQ(back.leading, page.leading);
    ASSERT_EQ(back.trailing, page.trailing);
    uint8_t again[4096];
    PackPage(back, shape, false, again, "t.IDX");
    ASSERT_EQ(std::memcmp(packed, again, 4096), 0) << "round " << round;
  }
}

// Counts are worked out again only for the entries a change touched. After any mix of
// the changes the tree makes (inserts, removals, splits, joins, moves between
// neighbours), the kept counts and the packed bytes must be those of a page whose
// counts are all worked out afresh.
TEST(PageFormatTest, CountsKeptAcrossChangesAgreeWithCountsWorkedOutAfresh) {
  uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto fresh = [](TPageData page, const TIndexShape& shape) {
    page.leading.assign(page.Count(), TPageData::kCountsUnknown);
    ComputeCompression(page, shape);
    return page;
  };
  auto agree = [&](const TPageData& page, const TIndexShape& shape, int round, int step) {
    TPageData expected = fresh(page, shape);
    ASSERT_EQ(page.leading, expected.leading) << "round " << round << " step " << step;
    ASSERT_EQ(page.trailing, expected.trailing) << "round " << round << " step " << step;
    ASSERT_EQ(page.packedSize, expected.packedSize);
    uint8_t a[4096], b[4096];
    if (PageOverflows(page, shape)) return;
    PackPage(page, shape, false, a, "t.IDX");
    PackPage(expected, shape, false, b, "t.IDX");
    ASSERT_EQ(std::memcmp(a, b, 4096), 0) << "round " << round << " step " << step;
  };
  for (int round = 0; round < 150; ++round) {
    uint16_t L = static_cast<uint16_t>(5 + rng() % 60);
    TIndexShape shape{L, static_cast<uint8_t>(1 + rng() % 3), rng() % 2 == 0};
    auto pool = RandomKeys(rng, L, 400);
    // Two neighbouring leaves holding sorted keys: left takes keys below the split
    // point, right the rest, as the tree keeps them.
    TPageData left = Leaf(L), right = Leaf(L);
    left.type = right.type = ptLeaf;
    std::vector<bool> in(pool.size(), false);
    auto position = [&](const TPageData& page, const std::vector<uint8_t>& key) {
      uint32_t i = 0;
      while (i < page.Count() && std::memcmp(page.Key(i), key.data(), L) < 0) ++i;
      return i;
    };
    for (int step = 0; step < 120; ++step) {
      switch (rng() % 8) {
        case 0: case 1: case 2: {  // insert a key into the page it belongs to
          size_t k = rng() % pool.size();
          if (in[k]) break;
          in[k] = true;
          TPageData& page = right.Count() == 0 || std::memcmp(pool[k].data(), right.Key(0), L) < 0 ? left : right;
          page.Insert(position(page, pool[k]), pool[k].data(), static_cast<int32_t>(k), 0);
          break;
        }
        case 3: case 4: {  // remove an entry
          TPageData& page = rng() % 2 ? left : right;
          if (page.Count() == 0) break;
          uint32_t i = rng() % page.Count();
          for (size_t k = 0; k < pool.size(); ++k)
            if (std::memcmp(pool[k].data(), page.Key(i), L) == 0) in[k] = false;
          page.Remove(i);
          break;
        }
        case 5:  // move entries between the neighbours
          left.BalanceWith(right, left.Count() + right.Count() == 0 ? 0 : static_cast<uint32_t>(rng() % (left.Count() + right.Count() + 1)));
          break;
        case 6: {  // split the left page into the right one, then join them again
          TPageData tail = Leaf(L);
          tail.type = ptLeaf;
          left.MoveTail(left.Count() / 2, tail);
          ComputeCompression(tail, shape);
          ComputeCompression(left, shape);
          tail.Append(right);
          right.Clear();
          right.TakeAll(tail);
          break;
        }
        default:  // join the right page into the left one
          left.TakeAll(right);
          break;
      }
      // The tree works out counts after most changes, not after all of them.
      if (rng() % 3) {
        ComputeCompression(left, shape);
        ComputeCompression(right, shape);
        agree(left, shape, round, step);
        agree(right, shape, round, step);
      }
    }
    ComputeCompression(left, shape);
    ComputeCompression(right, shape);
    agree(left, shape, round, -1);
    agree(right, shape, round, -1);
  }
}

// A page packed again after a change takes the bytes of the entries before the first
// changed one from its last packing; the result must be the page packed whole, for
// leaves in every compression and for interior pages whose counts and keys change in
// place.
TEST(PageFormatTest, PackingFromTheLastPackingGivesThePagePackedWhole) {
  uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    const uint16_t L = static_cast<uint16_t>(5 + rng() % 40);
    const bool interior = rng() % 3 == 0;
    const TIndexShape shape{L, static_cast<uint8_t>(rng() % 4), rng() % 2 == 0};
    auto pool = RandomKeys(rng, L, 300);
    TPageData page = Leaf(L);
    page.type = interior ? ptInterior : ptLeaf;
    std::vector<bool> in(pool.size(), false);
    std::array<uint8_t, 4096> last{}, whole{}, after{};
    bool known = false;
    for (int step = 0; step < 80; ++step) {
      const uint32_t n = page.Count();
      switch (rng() % 4) {
        case 0: case 1: {
          size_t k = rng() % pool.size();
          if (in[k]) break;
          uint32_t i = 0;
          while (i < n && std::memcmp(page.Key(i), pool[k].data(), L) < 0) ++i;
          page.Insert(i, pool[k].data(), static_cast<int32_t>(k), static_cast<int32_t>(rng() % 500));
          in[k] = true;
          break;
        }
        case 2:
          if (n == 0) break;
          {
            uint32_t i = rng() % n;
            for (size_t k = 0; k < pool.size(); ++k)
              if (std::memcmp(pool[k].data(), page.Key(i), L) == 0) in[k] = false;
            page.Remove(i);
          }
          break;
        default:  // a subtree count changed in place, as the tree does on its way down
          if (n == 0 || !interior) break;
          {
            uint32_t i = rng() % n;
            page.Touch(i);
            page.counts[i] += 1;
          }
          break;
      }
      ComputeCompression(page, shape);
      if (PageOverflows(page, shape)) {
        page.Remove(page.Count() - 1);
        ComputeCompression(page, shape);
      }
      const size_t used = PackPage(page, shape, false, whole.data(), "t.IDX");
      if (known) {
        after.fill(0xAB);  // whatever the buffer held: every byte is written or cleared
        const size_t usedAfter = PackPageAfter(page, shape, last.data(), after.data(), "t.IDX");
        ASSERT_EQ(usedAfter, used) << "round " << round << " step " << step;
        ASSERT_EQ(std::memcmp(after.data(), whole.data(), 4096), 0) << "round " << round << " step " << step;
      }
      // The page goes to the file now and then: from then on its last packing is that one.
      if (rng() % 2) {
        last = whole;
        page.unchangedBefore = page.Count();
        known = true;
      }
    }
  }
}

// Counts read from a page are kept: packing what was read gives back the same bytes,
// and changing one entry leaves the bytes of the entries before it as they were.
TEST(PageFormatTest, AChangeLeavesTheBytesOfEarlierEntriesAsTheyWere) {
  std::mt19937 rng(5);
  for (uint8_t compression : {cmpDuplicate, cmpTrailing, cmpFull}) {
    TIndexShape shape{16, compression, true};
    TPageData page = Leaf(16);
    auto keys = RandomKeys(rng, 16, 120);
    for (size_t k = 0; k + 1 < keys.size(); ++k) page.Insert(page.Count(), keys[k].data(), static_cast<int32_t>(k), 0);
    ComputeCompression(page, shape);
    uint8_t before[4096];
    PackPage(page, shape, false, before, "t.IDX");
    TPageData read;
    UnpackPage(before, shape, false, &read, "t.IDX");
    read.keyLength = 16;
    ComputeCompression(read, shape);
    uint8_t again[4096];
    PackPage(read, shape, false, again, "t.IDX");
    ASSERT_EQ(std::memcmp(before, again, 4096), 0);
    // The last key goes in at the end: every earlier entry keeps its bytes.
    read.Insert(read.Count(), keys.back().data(), 999, 0);
    ComputeCompression(read, shape);
    uint8_t after[4096];
    const size_t used = PackPage(read, shape, false, after, "t.IDX");
    const size_t oldUsed = kPageHeaderSize + LoadLE16(before + pPackedSize);
    ASSERT_GT(used, oldUsed);
    ASSERT_EQ(std::memcmp(before + kPageHeaderSize, after + kPageHeaderSize, oldUsed - kPageHeaderSize), 0);
  }
}

TEST(PageFormatTest, EntryLimits) {
  EXPECT_EQ(LeafLimit(10), 255u);
  EXPECT_EQ(InteriorLimit(10), 204u);
  EXPECT_EQ(InteriorLimit(kMaxKeyLength), 3u);
  EXPECT_EQ(InteriorLimit(kMaxKeyLength + 1), 2u);
  TIndexShape shape{10, cmpNone, false};
  TPageData page = Leaf(10);
  std::vector<uint8_t> k(10, 0);
  for (int i = 0; i < 256; ++i) page.Insert(page.Count(), k.data(), i, 0);
  EXPECT_TRUE(PageOverflows(page, shape));
  page.Remove(0);
  EXPECT_FALSE(PageOverflows(page, shape));
}

TEST(PageFormatTest, FreePagesAreWrittenEmpty) {
  TIndexShape shape{5, cmpNone, false};
  TPageData page = Leaf(5);
  std::vector<uint8_t> k(5, 7);
  page.Insert(0, k.data(), 1, 0);
  page.next = 8192;
  uint8_t out[4096];
  PackPage(page, shape, true, out, "t.IDX");
  EXPECT_EQ(LoadLE16(out + 1), 0);
  EXPECT_EQ(LoadLEI32(out + 7), 8192);
  EXPECT_TRUE(std::all_of(out + 13, out + 4096, [](uint8_t b) { return b == 0; }));
}

TEST(PageFormatTest, DamagedPagesAre8965NeverACrash) {
  TIndexShape shapes[] = {{12, cmpNone, false}, {12, cmpDuplicate, true}, {12, cmpTrailing, true}, {12, cmpFull, false}};
  std::mt19937 rng(77);
  for (const TIndexShape& shape : shapes) {
    TPageData page = Leaf(12);
    auto keys = RandomKeys(rng, 12, 100);
    for (const auto& k : keys) page.Insert(page.Count(), k.data(), 5, 0);
    ComputeCompression(page, shape);
    uint8_t good[4096];
    PackPage(page, shape, false, good, "d.IDX");
    // Specific breaches.
    uint8_t bad[4096];
    std::memcpy(bad, good, 4096);
    bad[0] = 9;
    TPageData out;
    EXPECT_EQ(CodeOf([&] { UnpackPage(bad, shape, false, &out, "d.IDX"); }), 8965);
    std::memcpy(bad, good, 4096);
    StoreLE16(bad + 1, 4000);
    EXPECT_EQ(CodeOf([&] { UnpackPage(bad, shape, false, &out, "d.IDX"); }), 8965);
    if (shape.compression != cmpNone) {
      std::memcpy(bad, good, 4096);
      StoreLE16(bad + 11, 4084);
      EXPECT_EQ(CodeOf([&] { UnpackPage(bad, shape, false, &out, "d.IDX"); }), 8965);
      std::memcpy(bad, good, 4096);
      StoreLE16(bad + 11, LoadLE16(good + 11) - 1);
      EXPECT_EQ(CodeOf([&] { UnpackPage(bad, shape, false, &out, "d.IDX"); }), 8965);
    }
    // Random damage: an error or a clean read, nothing else.
    for (int i = 0; i < 2000; ++i) {
      std::memcpy(bad, good, 4096);
      for (int j = 0, n = 1 + static_cast<int>(rng() % 8); j < n; ++j) bad[rng() % 600] = static_cast<uint8_t>(rng());
      uint16_t code = CodeOf([&] { UnpackPage(bad, shape, false, &out, "d.IDX"); });
      ASSERT_TRUE(code == 0 || code == 8965) << code;
    }
  }
}

TEST(IndexHeaderTest, ValidationRefusesBrokenHeaders) {
  auto check = [](auto change, int64_t fileSize = 4096) {
    TIndexHeader h = TIndexHeader::NewImage();
    h.Slot(0).SetKeyLength(5);
    change(h);
    return CodeOf([&] { ValidateIndexHeader(h, fileSize, "v.IDX"); });
  };
  EXPECT_EQ(check([](TIndexHeader&) {}), 0);
  EXPECT_EQ(check([](TIndexHeader& h) { h.SetEndOfFile(5000); }), 8961);
  EXPECT_EQ(check([](TIndexHeader& h) { h.SetEndOfFile(8192); }), 8961);  // beyond the file
  EXPECT_EQ(check([](TIndexHeader& h) { h.SetEndOfFile(8192); }, 8192), 0);
  EXPECT_EQ(check([](TIndexHeader& h) { h.SetSecondaryCount(31); }), 8961);
  EXPECT_EQ(check([](TIndexHeader& h) { h.SetSecondaryCount(1); }), 8961);  // slot 1 has no key
  EXPECT_EQ(check([](TIndexHeader& h) { h.Slot(0).SetKeyLength(2000); }), 8961);
  EXPECT_EQ(check([](TIndexHeader& h) { h.Slot(0).SetCompression(4); }), 8961);
  EXPECT_EQ(check([](TIndexHeader& h) { h.Slot(0).SetRoot(4096); }), 8961);  // at the end of file
  EXPECT_EQ(check([](TIndexHeader& h) { h.SetEndOfFile(8192); h.Slot(0).SetRoot(4096); }, 8192), 0);
  EXPECT_EQ(check([](TIndexHeader& h) { h.SetEndOfFile(8192); h.Slot(0).SetRoot(4100); }, 8192), 8961);
  EXPECT_EQ(check([](TIndexHeader& h) { h.Slot(31).SetKeyLength(6); }), 8961);
  EXPECT_EQ(check([](TIndexHeader& h) { h.SetNoPrimary(true); h.Slot(0).SetKeyLength(0); }), 0);
}

}  // namespace
}  // namespace ovrin
