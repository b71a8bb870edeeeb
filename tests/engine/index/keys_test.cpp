#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/index/keys.h"
#include "tests/support/record_image.h"

namespace ovrin {
namespace {

using test::RecordImage;

// One table with a field of every ordered type, and an index over one field at a time.
struct TypedTable {
  std::vector<TFieldDescriptor> fields;
  uint16_t recordSize = 0;
  uint16_t language = 0;

  explicit TypedTable(uint16_t lang = 0) : language(lang) {
    uint16_t calc;
    fields = DefineFields({{"I", fldInteger},
                           {"S", fldSmallInt},
                           {"W", fldWord},
                           {"B", fldBoolean},
                           {"C", fldBcd, 0, 0, 2},
                           {"F", fldFloat},
                           {"T", fldTimeStamp},
                           {"D", fldDate},
                           {"TM", fldTime},
                           {"STR", fldString, 0, 12},
                           {"ID", fldInteger, subAutoInc}},
                          lang, 0, "k.DAT", &recordSize, &calc);
  }

  TKeyBuilder Builder(std::vector<int> fieldNumbers, bool unique = true, bool descendingIndex = false,
                      std::vector<bool> fieldDescending = {}, bool caseInsensitive = false, int slot = 1) const {
    TIndexHeader h = TIndexHeader::NewImage();
    TIndexDescriptor d = h.Slot(slot);
    std::vector<TKeyField> keyFields;
    for (size_t i = 0; i < fieldNumbers.size(); ++i) {
      d.SetFieldNumber(static_cast<int>(i), static_cast<uint16_t>(fieldNumbers[i]));
      bool desc = i < fieldDescending.size() && fieldDescending[i];
      d.SetFieldDescending(static_cast<int>(i), desc);
      TKeyField k;
      k.storedSize = fields[fieldNumbers[i] - 1].StoredSize();
      keyFields.push_back(k);
    }
    d.SetFieldCount(static_cast<uint8_t>(fieldNumbers.size()));
    d.SetUnique(unique);
    d.SetDescending(descendingIndex);
    d.SetCaseInsensitive(caseInsensitive);
    d.SetKeyLength(KeyLengthFor(keyFields, slot != 0 && !unique));
    h.SetSecondaryCount(static_cast<uint8_t>(slot));
    return TKeyBuilder(h, slot, fields, language, 0, "k.DAT");
  }
  RecordImage Record() const { return RecordImage(fields, recordSize); }
};

// Builds keys for values in random order and checks key order against value order,
// nulls included (they sort first ascending and last descending).
template <typename T, typename Set>
void CheckOrder(const TypedTable& table, int field, std::vector<T> values, Set set) {
  for (int mode = 0; mode < 3; ++mode) {
    bool descIndex = mode == 1, descField = mode == 2;
    TKeyBuilder builder = table.Builder({field}, true, descIndex, {descField});
    bool reversed = descIndex || descField;
    std::vector<std::vector<uint8_t>> keys;
    std::vector<std::optional<T>> vals;
    auto add = [&](std::optional<T> v) {
      RecordImage r = table.Record();
      if (v) set(r, field, *v);
      std::vector<uint8_t> key(builder.KeyLength());
      builder.Build(r.Data(), key.data());
      keys.push_back(key);
      vals.push_back(v);
    };
    add(std::nullopt);
    for (const T& v : values) add(v);
    for (size_t i = 0; i < keys.size(); ++i) {
      for (size_t j = 0; j < keys.size(); ++j) {
        int expected;
        if (!vals[i] && !vals[j]) expected = 0;
        else if (!vals[i]) expected = -1;
        else if (!vals[j]) expected = 1;
        else expected = *vals[i] < *vals[j] ? -1 : (*vals[j] < *vals[i] ? 1 : 0);
        if (reversed) expected = -expected;
        ASSERT_EQ(builder.Compare(keys[i].data(), keys[j].data()), expected)
            << "field " << field << " mode " << mode << " i " << i << " j " << j;
      }
    }
  }
}

TEST(KeyTest, KeyOrderIsValueOrderForEveryOrderedType) {
  TypedTable t;
  std::mt19937 rng(42);
  std::vector<int32_t> ints = {INT32_MIN, -1, 0, 1, INT32_MAX};
  std::vector<int16_t> smalls = {INT16_MIN, -1, 0, 1, INT16_MAX};
  std::vector<uint16_t> words = {0, 1, 0x8000, 0xFFFF};
  std::vector<int64_t> bcds = {CurrencyToBcd(2, -5000), CurrencyToBcd(2, 0), CurrencyToBcd(2, 700), CurrencyToBcd(2, 12350)};
  std::vector<double> doubles = {-2.5, -1.0, 0.0, 1e-300, 3.5, 1e300};
  for (int i = 0; i < 40; ++i) {
    ints.push_back(static_cast<int32_t>(rng()));
    smalls.push_back(static_cast<int16_t>(rng()));
    words.push_back(static_cast<uint16_t>(rng()));
    doubles.push_back((static_cast<double>(rng()) - 2147483648.0) / 1000.0);
  }
  auto i32 = [](RecordImage& r, int f, int32_t v) { r.SetInt32(f, v); };
  CheckOrder<int32_t>(t, 1, ints, i32);
  CheckOrder<int16_t>(t, 2, smalls, [](RecordImage& r, int f, int16_t v) { r.SetInt16(f, v); });
  CheckOrder<uint16_t>(t, 3, words, [](RecordImage& r, int f, uint16_t v) { r.SetUInt16(f, v); });
  CheckOrder<uint16_t>(t, 4, {0, 1}, [](RecordImage& r, int f, uint16_t v) { r.SetUInt16(f, v); });
  CheckOrder<int64_t>(t, 5, bcds, [](RecordImage& r, int f, int64_t v) { r.SetInt64(f, v); });
  CheckOrder<double>(t, 6, doubles, [](RecordImage& r, int f, double v) { r.SetDouble(f, v); });
  CheckOrder<double>(t, 7, {0.0, 1.0e10, 6.3e13}, [](RecordImage& r, int f, double v) { r.SetDouble(f, v); });
  CheckOrder<int32_t>(t, 8, {1, 693594, 730006}, i32);
  CheckOrder<int32_t>(t, 9, {0, 1000, 86399999}, i32);
  CheckOrder<std::string>(t, 10, {"", "A", "AB", "ABC", "B", "a", "\xE4"},
                          [](RecordImage& r, int f, const std::string& v) { r.SetString(f, v); });
}

TEST(KeyTest, IntegerKeyBytes) {
  TypedTable t;
  TKeyBuilder b = t.Builder({1});
  RecordImage r = t.Record();
  std::vector<uint8_t> key(b.KeyLength());
  r.SetInt32(1, -1);
  b.Build(r.Data(), key.data());
  EXPECT_EQ(key, (std::vector<uint8_t>{1, 0x7F, 0xFF, 0xFF, 0xFF}));
  r.SetNull(1);
  b.Build(r.Data(), key.data());
  EXPECT_EQ(key, (std::vector<uint8_t>{0, 0x80, 0, 0, 0}));
}

TEST(KeyTest, DescendingStringFieldKeepsItsLastByte) {
  TypedTable t;
  TKeyBuilder b = t.Builder({10}, true, false, {true});
  RecordImage r = t.Record();
  r.SetString(10, "AB");
  std::vector<uint8_t> key(b.KeyLength());
  b.Build(r.Data(), key.data());
  ASSERT_EQ(key.size(), 14u);
  EXPECT_EQ(key[0], 0xFE);
  EXPECT_EQ(key[1], 0xFF - 'A');
  EXPECT_EQ(key[12], 0xFF);
  EXPECT_EQ(key[13], 0);  // the terminator position is not inverted
}

TEST(KeyTest, CaseInsensitiveFoldsOnlyAsciiWithoutALocale) {
  TypedTable plain;
  TKeyBuilder b = plain.Builder({10}, true, false, {}, true);
  auto keyOf = [&](const TKeyBuilder& builder, const TypedTable& t, const std::string& s) {
    RecordImage r = t.Record();
    r.SetString(10, s);
    std::vector<uint8_t> key(builder.KeyLength());
    builder.Build(r.Data(), key.data());
    return key;
  };
  EXPECT_EQ(keyOf(b, plain, "abc"), keyOf(b, plain, "ABC"));
  EXPECT_NE(keyOf(b, plain, "\xE4" "bc"), keyOf(b, plain, "\xC4" "BC"));
  TypedTable german(0x0407);
  TKeyBuilder g = german.Builder({10}, true, false, {}, true);
  EXPECT_EQ(keyOf(g, german, "\xE4" "bc"), keyOf(g, german, "\xC4" "BC"));
  // With a locale strings order by collation: ä before b, whatever the bytes say.
  TKeyBuilder gs = german.Builder({10});
  auto a = keyOf(gs, german, "\xE4pfel"), z = keyOf(gs, german, "birne");
  EXPECT_EQ(gs.Compare(a.data(), z.data()), -1);
  TKeyBuilder ps = plain.Builder({10});
  auto pa = keyOf(ps, plain, "\xE4pfel"), pz = keyOf(ps, plain, "birne");
  EXPECT_EQ(ps.Compare(pa.data(), pz.data()), 1);
  // Descending index with a locale reverses the collation.
  TKeyBuilder gd = german.Builder({10}, true, true);
  EXPECT_EQ(gd.Compare(a.data(), z.data()), 1);
}

TEST(KeyTest, NonUniqueKeysEndInTheIdentifier) {
  TypedTable t;
  TKeyBuilder b = t.Builder({1}, false);
  ASSERT_TRUE(b.IdSuffix());
  ASSERT_EQ(b.KeyLength(), 9);
  RecordImage r1 = t.Record(), r2 = t.Record();
  r1.SetInt32(1, 5);
  r2.SetInt32(1, 5);
  r1.SetIdentifier(10);
  r2.SetIdentifier(9);
  std::vector<uint8_t> k1(9), k2(9);
  b.Build(r1.Data(), k1.data());
  b.Build(r2.Data(), k2.data());
  EXPECT_TRUE(std::equal(k1.begin(), k1.begin() + 5, k2.begin()));
  EXPECT_EQ(b.Compare(k2.data(), k1.data()), -1);
  EXPECT_EQ(b.Compare(k2.data(), k1.data(), 5), 0);  // a prefix compare stops at the prefix
  // The primary index never gets the suffix, even when not marked unique.
  EXPECT_FALSE(t.Builder({1}, false, false, {}, false, 0).IdSuffix());
}

TEST(KeyTest, AutoIncrementKeysComeFromTheIdentifier) {
  TypedTable t;
  TKeyBuilder b = t.Builder({11}, true, false, {}, false, 0);
  RecordImage r = t.Record();
  r.SetIdentifier(3);
  std::vector<uint8_t> key(b.KeyLength());
  b.Build(r.Data(), key.data());
  EXPECT_EQ(key, (std::vector<uint8_t>{1, 0x80, 0, 0, 3}));
}

TEST(KeyTest, DeletionKeys) {
  TypedTable t;
  RecordImage r = t.Record();
  r.SetIdentifier(258);
  r.SetDeleted(true);
  uint8_t key[5];
  BuildDeletionKey(r.Data(), key);
  EXPECT_EQ(std::vector<uint8_t>(key, key + 5), (std::vector<uint8_t>{1, 0x80, 0, 1, 2}));
}

TEST(KeyTest, PartialKeysAndFills) {
  TypedTable t;
  TKeyBuilder b = t.Builder({1, 10});
  EXPECT_EQ(b.PrefixLength(1), 5u);
  EXPECT_EQ(b.PrefixLength(2), 5u + 14u);
  EXPECT_EQ(b.PrefixLength(1, 3), 5u + 4u);
  std::vector<uint8_t> key(b.KeyLength(), 7);
  b.FillSearchKey(key.data(), 5);
  EXPECT_EQ(key[5], 0);
  EXPECT_EQ(key.back(), 0);
  b.FillRangeEnd(key.data(), 5);
  EXPECT_EQ(key.back(), 0xFF);
  TKeyBuilder d = t.Builder({1, 10}, true, true);
  d.FillSearchKey(key.data(), 5);
  EXPECT_EQ(key.back(), 0xFF);
}

TEST(KeyTest, SuccessorAndPredecessor) {
  std::vector<uint8_t> k = {0x00, 0xFF, 0xFF};
  KeySuccessor(k.data(), 3);
  EXPECT_EQ(k, (std::vector<uint8_t>{0x01, 0x00, 0x00}));
  KeyPredecessor(k.data(), 3);
  EXPECT_EQ(k, (std::vector<uint8_t>{0x00, 0xFF, 0xFF}));
  std::vector<uint8_t> top = {0xFF, 0xFF, 0xFF};
  KeySuccessor(top.data(), 3);
  EXPECT_EQ(top, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
  std::vector<uint8_t> bottom = {0, 0, 0};
  KeyPredecessor(bottom.data(), 3);
  EXPECT_EQ(bottom, (std::vector<uint8_t>{0, 0, 0}));
}

TEST(KeyTest, BadIndexDescriptorsAreRefused) {
  TypedTable t;
  TIndexHeader h = TIndexHeader::NewImage();
  h.Slot(1).SetFieldCount(1);
  h.Slot(1).SetFieldNumber(0, 99);
  h.Slot(1).SetName("X");
  try {
    TKeyBuilder(h, 1, t.fields, 0, 0, "k.DAT");
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10023);
    EXPECT_EQ(e.Text(), "Invalid field number 99 specified in index X for data file k.DAT");
  }
}

}  // namespace
}  // namespace ovrin
