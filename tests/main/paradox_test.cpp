// The Paradox reader on real tables written by other programs, compared with the values
// their own projects state and with pxlib, and on damaged copies of them.
#include <gtest/gtest.h>

extern "C" {
#include <paradox.h>
}

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "engine/base/conversions.h"
#include "main/source_table.h"
#include "tests/support/file_bytes.h"
#include "tests/support/pxlib_record.h"
#include "tests/support/temp_dir.h"

namespace hollard {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;
using namespace ovrin;

const std::string kSamples = std::string(OVRIN_TEST_DATA) + "/paradox";

struct Opened {
  TSourceTable table;
  explicit Opened(const std::string& name, const std::string& folder = kSamples) {
    table.SetDatabaseName(folder);
    table.SetTableName(name);
    table.Open();
  }
};

std::string Column(TSourceTable& t, const std::string& field, int record) {
  t.First();
  for (int i = 0; i < record; ++i) t.Next();
  return t.FieldByName(field).AsBytes();
}

TEST(ParadoxSamplesTest, MemosInTheRecordAndInSubAllocatedBlocks) {
  Opened o("memo");
  ASSERT_EQ(o.table.RecordCount(), 2);
  std::string first = Column(o.table, "MEMO", 0);
  EXPECT_EQ(first.size(), 555u);
  EXPECT_EQ(first.substr(0, 11), "01234567890");
  EXPECT_EQ(Column(o.table, "MEMO", 1), "01234567890\n");
}

TEST(ParadoxSamplesTest, FormattedMemosAndOleBlobs) {
  Opened f("fmemo");
  std::vector<size_t> sizes;
  for (f.table.First(); !f.table.Eof(); f.table.Next()) sizes.push_back(f.table.FieldByName("FMEMO").AsBytes().size());
  EXPECT_EQ(sizes, (std::vector<size_t>{169, 726}));
  Opened o("ole");
  EXPECT_EQ(Column(o.table, "OLE", 0).size(), 365928u);
}

TEST(ParadoxSamplesTest, EncipheredTableAndBlobFile) {
  Opened o("encryptedmemo");
  ASSERT_EQ(o.table.RecordCount(), 2);
  EXPECT_TRUE(o.table.File().Encrypted());
  std::vector<std::string> memos;
  for (o.table.First(); !o.table.Eof(); o.table.Next()) {
    for (const TParadoxField& f : o.table.Fields()) {
      if (f.IsBlob()) memos.push_back(o.table.FieldByName(f.name).AsBytes());
    }
  }
  ASSERT_EQ(memos.size(), 2u);
  EXPECT_EQ(memos[0].size(), 55855u);
  EXPECT_EQ(memos[0].substr(0, 27), " The PARADOX File Structure");
  EXPECT_EQ(memos[1].size(), 494832u);
  for (char c : memos[1]) ASSERT_TRUE(c == '\r' || c == '\n' || c == '\t' || (c >= 32 && c < 127));
}

// One buffer read into for every blob of several tables, one after another (values held
// in the record, in sub-allocated blocks, in whole blocks, enciphered; the buffer grows
// and the values shrink again), gives every value exactly as the copying read does.
TEST(ParadoxSamplesTest, BlobsReadIntoOneKeptBufferAgreeWithCopies) {
  std::string buffer;
  size_t values = 0;
  for (const char* name : {"memo", "ole", "fmemo", "encryptedmemo", "memo"}) {
    Opened o(name);
    for (o.table.First(); !o.table.Eof(); o.table.Next()) {
      for (const TParadoxField& f : o.table.Fields()) {
        if (!f.IsBlob()) continue;
        const std::string copy = o.table.FieldByName(f.name).AsBytes();
        const std::string_view view = o.table.FieldByName(f.name).BytesInto(buffer);
        ASSERT_EQ(view.size(), copy.size()) << name << " " << f.name;
        ASSERT_TRUE(view == copy) << name << " " << f.name;
        ++values;
      }
    }
  }
  EXPECT_GE(values, 9u);
  EXPECT_GE(buffer.size(), 494832u);  // grown to the largest value, never shrunk
}

TEST(ParadoxSamplesTest, LongsLogicalsAndNulls) {
  Opened l("long");
  std::vector<std::string> values;
  for (l.table.First(); !l.table.Eof(); l.table.Next())
    values.push_back(l.table.FieldByName("LONG").IsNull() ? "NULL" : std::to_string(l.table.FieldByName("LONG").AsInteger()));
  EXPECT_EQ(values, (std::vector<std::string>{"1", "2", "NULL"}));
  Opened b("logical");
  std::vector<bool> flags;
  for (b.table.First(); !b.table.Eof(); b.table.Next()) flags.push_back(b.table.FieldByName("BOOL").AsBoolean());
  EXPECT_EQ(flags, (std::vector<bool>{true, false, true, true}));
  b.table.First();
  EXPECT_EQ(b.table.FieldByName("BOOL").AsString(), "True");
}

TEST(ParadoxSamplesTest, CustomerTableWithATypeTwoMemo) {
  Opened c("customer");  // CUSTOMER.DB under another letter case
  EXPECT_EQ(c.table.RecordCount(), 20);
  int i = 0;
  for (c.table.First(); !c.table.Eof(); c.table.Next(), ++i) {
    for (const TParadoxField& f : c.table.Fields()) {
      std::string v = c.table.FieldByName(f.name).AsString();  // every field reads
      if (f.IsBlob() && i == 3) {
        EXPECT_EQ(v.size(), 56864u);
      }
    }
  }
  EXPECT_EQ(i, 20);
}

TEST(ParadoxSamplesTest, EveryTypeOfTypSammlung) {
  Opened t("TypSammlung");
  ASSERT_EQ(t.table.RecordCount(), 5);
  ASSERT_EQ(t.table.Fields().size(), 14u);
  t.table.First();
  t.table.Next();
  t.table.Next();
  EXPECT_EQ(t.table.FieldByName("Memo").AsBytes().size(), 40u);
  t.table.Next();
  t.table.Next();
  int y, m, d, h, n, s, ms;
  DecodeDate(t.table.FieldByName("Datum").AsDateTime(), &y, &m, &d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 19990909);
  DecodeTime(t.table.FieldByName("Zeit").AsDateTime(), &h, &n, &s, &ms);
  EXPECT_EQ(h * 10000 + n * 100 + s, 111111);
  double stamp = t.table.FieldByName("Datum/Zeit").AsDateTime();
  DecodeDate(stamp, &y, &m, &d);
  DecodeTime(stamp, &h, &n, &s, &ms);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20030610);
  EXPECT_EQ(h * 10000 + n * 100 + s, 111111);
  EXPECT_EQ(t.table.FieldByName("Integer lang").AsInteger(), -40);
  EXPECT_EQ(t.table.FieldByName("Datum").AsDateTime(), DayNumber(1999, 9, 9) - kDateDelta);
  // Every field of every record reads without an error, nulls included.
  for (t.table.First(); !t.table.Eof(); t.table.Next())
    for (const TParadoxField& f : t.table.Fields()) t.table.FieldByName(f.name).AsString();
}

// A BCD left blank holds only its decimals byte: it read as the most negative value of
// its size ("-99999999999999999999999999.999999") instead of null.
TEST(ParadoxSamplesTest, ABlankBcdIsNull) {
  Opened t("TypSammlung");
  std::vector<std::string> texts;
  std::vector<bool> nulls;
  for (t.table.First(); !t.table.Eof(); t.table.Next()) {
    texts.push_back(t.table.FieldByName("BCD").AsString());
    nulls.push_back(t.table.FieldByName("BCD").IsNull());
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"40.000000", "", "13.123457", "0.000000", "-40.000000"}));
  EXPECT_EQ(nulls, (std::vector<bool>{false, true, false, false, false}));
}

TEST(ParadoxSamplesTest, Errors) {
  TSourceTable t;
  t.SetDatabaseName(kSamples);
  t.SetTableName("nothere");
  try {
    t.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_NE(e.Message().find("nothere.DB"), std::string::npos);
  }
  try {
    t.First();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Cannot perform this operation on a closed dataset");
  }
  Opened o("long");
  try {
    o.table.FieldByName("MISSING");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Field 'MISSING' not found");
  }
}

// ---------------------------------------------------------------- pxlib as a second reader

TEST(ParadoxSamplesTest, AgreesWithPxlibWherePxlibIsRight) {
  for (const char* name : {"long.db", "logical.db", "CUSTOMER.DB", "TypSammlung.DB", "memo.db"}) {
    SCOPED_TRACE(name);
    Opened ours(fs::path(name).stem().string());
    TParadoxFile& file = ours.table.File();
    FILE* fp = std::fopen((kSamples + "/" + name).c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    pxdoc_t* px = test::NewQuietPxDoc();
    ASSERT_EQ(PX_open_fp(px, fp), 0);
    ASSERT_EQ(PX_get_num_records(px), file.RecordCount());
    int compared = 0;
    for (int r = 0; r < file.RecordCount(); ++r) {
      test::TPxRecord values(px, r);
      ASSERT_TRUE(values.Valid());
      for (size_t f = 0; f < file.Fields().size(); ++f) {
        const TParadoxField& field = file.Fields()[f];
        pxval_t* v = values[f];
        bool ourNull = file.IsNull(r, static_cast<int>(f));
        if (!ourNull && !v->isnull) {
          switch (field.type) {
            case pxAlpha:
              EXPECT_EQ(file.Text(r, static_cast<int>(f)), std::string(v->value.str.val, std::strlen(v->value.str.val)));
              ++compared;
              break;
            case pxShort:
            case pxLong:
            case pxAutoInc:
              EXPECT_EQ(file.Integer(r, static_cast<int>(f)), v->value.lval);
              ++compared;
              break;
            case pxLogical:
              EXPECT_EQ(file.Logical(r, static_cast<int>(f)), v->value.lval != 0);
              ++compared;
              break;
            case pxNumber:
            case pxCurrency:
              EXPECT_EQ(file.Number(r, static_cast<int>(f)), v->value.dval);
              ++compared;
              break;
            case pxDate:
              EXPECT_EQ(DateTimeToDayNumber(file.DateTime(r, static_cast<int>(f))), v->value.lval);
              ++compared;
              break;
            case pxTimestamp:
              EXPECT_EQ(DateTimeToTimeStamp(file.DateTime(r, static_cast<int>(f))), v->value.dval);
              ++compared;
              break;
            default:
              break;
          }
        }
      }
    }
    EXPECT_GT(compared, 0);
    PX_close(px);
    PX_delete(px);
    std::fclose(fp);
  }
}

// ---------------------------------------------------------------- damaged tables

// Opens and reads a table completely; answers whether it read cleanly. Any other outcome
// than a clean read or our own error fails the test.
bool ReadCompletely(const std::string& folder, const std::string& name) {
  try {
    Opened o(name, folder);
    for (o.table.First(); !o.table.Eof(); o.table.Next())
      for (const TParadoxField& f : o.table.Fields()) o.table.FieldByName(f.name).AsString();
    return true;
  } catch (const EDBEngineError&) {
    return false;
  } catch (const EConvertError&) {
    return false;
  }
}

TEST(ParadoxDamageTest, MutationsGiveAnErrorOrACleanRead) {
  std::mt19937 rng(2026);
  test::TempDir dir;
  int clean = 0, errors = 0;
  struct Sample {
    const char* db;
    const char* mb;
  };
  for (Sample s : {Sample{"long.db", nullptr}, Sample{"memo.db", "memo.mb"}, Sample{"CUSTOMER.DB", "CUSTOMER.MB"},
                   Sample{"TypSammlung.DB", "TypSammlung.MB"}, Sample{"encryptedmemo.db", "encryptedmemo.mb"}}) {
    std::string db = FileBytes(kSamples + "/" + s.db);
    std::string mb = s.mb ? FileBytes(kSamples + "/" + s.mb) : std::string();
    std::string stem = fs::path(s.db).stem().string();
    for (int round = 0; round < 120; ++round) {
      std::string bad = db, badMb = mb;
      int kind = round % 6;
      if (kind == 0) {
        bad.resize(rng() % bad.size());
      } else if (kind == 1) {
        for (int i = 0; i < 3; ++i) bad[rng() % std::min<size_t>(bad.size(), 0x100)] = static_cast<char>(rng());
      } else if (kind == 2) {
        for (int i = 0; i < 4; ++i) bad[2048 + rng() % (bad.size() - 2048)] = static_cast<char>(rng());
      } else if (kind == 3) {
        // Block chain words and the record count.
        bad[2048] = static_cast<char>(rng() % 4);
        bad[6] = static_cast<char>(rng());
        bad[7] = static_cast<char>(rng());
      } else if (kind == 4 && !badMb.empty()) {
        badMb.resize(rng() % badMb.size());
      } else if (!badMb.empty()) {
        for (int i = 0; i < 8; ++i) badMb[rng() % badMb.size()] = static_cast<char>(rng());
      } else {
        bad[rng() % bad.size()] ^= 0x40;
      }
      std::ofstream(dir / s.db, std::ios::binary | std::ios::trunc) << bad;
      if (s.mb) std::ofstream(dir / s.mb, std::ios::binary | std::ios::trunc) << badMb;
      (ReadCompletely(dir.Path(), stem) ? clean : errors)++;
    }
  }
  EXPECT_GT(errors, 100);
  EXPECT_GT(clean, 50);
}

TEST(ParadoxDamageTest, ABlockChainThatLoopsIsAnError) {
  test::TempDir dir;
  std::string db = FileBytes(kSamples + "/long.db");
  db[2048] = 1;  // block 1 names itself as the next block
  db[2049] = 0;
  std::ofstream(dir / "loop.db", std::ios::binary) << db;
  TSourceTable t;
  t.SetDatabaseName(dir.Path());
  t.SetTableName("loop");
  try {
    t.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_NE(e.Message().find("returns to block 1"), std::string::npos) << e.Message();
  }
}

}  // namespace
}  // namespace hollard
