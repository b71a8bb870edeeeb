#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/file_bytes.h"
#include "tests/support/engine_error.h"
#include "engine/base/errors.h"
#include "engine/data/checker.h"
#include "tests/engine/data/table_fixture.h"

namespace ovrin {
namespace {

using namespace test;


void ExpectClean(const std::string& path) {
  TCheckReport report = CheckTable(path);
  EXPECT_TRUE(report.Ok()) << (report.problems.empty() ? "not opened" : report.problems.front());
}

TEST(DataFileTest, FirstAppendIsRecordOneWithTheNextIdentifier) {
  TableFixture fx;
  auto file = fx.Open();
  Editor e(*file);
  e.Name("Ada").Age(36).Price(12350).Note("first note");
  file->AppendRecord(e.Data());
  EXPECT_EQ(file->Header().NextRecordNumber(), 2);
  EXPECT_EQ(file->Header().LastAutoInc(), 1);
  EXPECT_EQ(file->CurrentRecordNumber(), 1);
  EXPECT_EQ(IdOf(e.Data()), 1);
  std::vector<uint8_t> back(file->LogicalRecordSize());
  EXPECT_EQ(file->GetCurrentRecord(back.data(), false), 0);
  EXPECT_EQ(NameOf(*file, back.data()), "Ada");
  EXPECT_EQ(AgeOf(*file, back.data()), 36);
  EXPECT_EQ(NoteOf(*file, back.data()), "first note");
  file->Close();
  ExpectClean(fx.Path());
  // The record on disk: active, linking to itself, identifier 1, NAME with indicator 1.
  std::string dat = FileBytes(DataFileName(fx.Path()));
  size_t at = 127 + 5 * 768;
  ASSERT_EQ(dat.size(), at + 9 + 32 + 3 + 9 + 5);
  EXPECT_EQ(dat[at], 0);
  EXPECT_EQ(LoadLEI32(reinterpret_cast<const uint8_t*>(dat.data()) + at + 1), 1);
  EXPECT_EQ(LoadLEI32(reinterpret_cast<const uint8_t*>(dat.data()) + at + 5), 1);
  EXPECT_EQ(dat[at + 9], 1);
  EXPECT_EQ(dat.substr(at + 10, 4), std::string("Ada\0", 4));
  // The BCD value 1.24 (rounded from 1.235) is 1242.
  EXPECT_EQ(LoadLEI64(reinterpret_cast<const uint8_t*>(dat.data()) + at + 9 + 32 + 3 + 1), 1242);
}

void AppendNamed(TDataFile& file, const std::string& name) {
  Editor e(file);
  e.Name(name).Age(1);
  file.AppendRecord(e.Data());
}

void DeleteById(TDataFile& file, int32_t id) {
  std::vector<uint8_t> key(5);
  key[0] = 1;
  KeyInt32(id, key.data() + 1);
  file.SelectIndex("");
  ASSERT_TRUE(file.FindKey(key.data(), true, 1, -1, false, nullptr));
  file.DeleteRecord(true);
}

TEST(DataFileTest, DeletedPlacesAreReusedLastFirst) {
  TableFixture fx;
  auto file = fx.Open();
  for (int i = 1; i <= 6; ++i) AppendNamed(*file, "n" + std::to_string(i));
  DeleteById(*file, 3);
  DeleteById(*file, 5);
  EXPECT_EQ(file->Header().FreeChainHead(), 5);
  AppendNamed(*file, "a");
  EXPECT_EQ(file->CurrentRecordNumber(), 5);
  AppendNamed(*file, "b");
  EXPECT_EQ(file->CurrentRecordNumber(), 3);
  AppendNamed(*file, "c");
  EXPECT_EQ(file->CurrentRecordNumber(), 7);
  EXPECT_EQ(file->Header().LastAutoInc(), 9);
  file->Close();
  ExpectClean(fx.Path());
}

TEST(DataFileTest, TablesWithoutPrimaryIndexNeverReuse) {
  TableFixture fx(PeopleTable(false));
  auto file = fx.Open();
  for (int i = 1; i <= 6; ++i) {
    AppendNamed(*file, "n" + std::to_string(i));
    EXPECT_EQ(file->Count(), i);
  }
  file->SelectIndex("");
  ASSERT_TRUE(file->Index().NaturalOrder());
  file->GoToPosition(3);
  EXPECT_EQ(file->CurrentRecordNumber(), 3);
  file->DeleteRecord(true);
  // Positions count the records that are there: the fourth is now physical record 5.
  file->GoToPosition(4);
  EXPECT_EQ(file->CurrentRecordNumber(), 5);
  file->DeleteRecord(true);
  AppendNamed(*file, "a");
  EXPECT_EQ(file->CurrentRecordNumber(), 7);
  AppendNamed(*file, "b");
  EXPECT_EQ(file->CurrentRecordNumber(), 8);
  EXPECT_EQ(file->Count(), 6);
  // The walk in natural order skips the deleted records.
  file->First();
  std::vector<std::string> names;
  std::vector<uint8_t> r(file->LogicalRecordSize());
  while (file->GetNextRecord(r.data()) == 0) names.push_back(NameOf(*file, r.data()));
  EXPECT_EQ(names, (std::vector<std::string>{"n1", "n2", "n4", "n6", "a", "b"}));
  file->Close();
  ExpectClean(fx.Path());
}

TEST(DataFileTest, ValidityChecksComeBeforeAnyKey) {
  TableFixture fx(PeopleTable(true, "1.50", true));
  auto file = fx.Open();
  {
    // A null PRICE counts as 0, below the minimum: the first record needs a price.
    Editor first(*file);
    first.Name("x").Price(20000);
    file->AppendRecord(first.Data());
  }
  std::string dat = FileBytes(DataFileName(fx.Path())), idx = FileBytes(IndexFileName(fx.Path()));
  Editor e(*file);
  e.Age(5);
  std::string text;
  EXPECT_EQ(CodeOf([&] { file->AppendRecord(e.Data()); }, &text), 9732);
  EXPECT_EQ(text, "A value must be provided for the field NAME in data file " + DataFileName(fx.Path()));
  e.Name("y").Price(14900);
  EXPECT_EQ(CodeOf([&] { file->AppendRecord(e.Data()); }, &text), 9730);
  EXPECT_EQ(text, "The value for the field PRICE in data file " + DataFileName(fx.Path()) +
                      " is below the minimum allowable value");
  e.Price(15000).Age(151);
  EXPECT_EQ(CodeOf([&] { file->AppendRecord(e.Data()); }), 9731);
  e.Age(-1);
  EXPECT_EQ(CodeOf([&] { file->AppendRecord(e.Data()); }), 9730);
  EXPECT_EQ(FileBytes(DataFileName(fx.Path())), dat);
  EXPECT_EQ(FileBytes(IndexFileName(fx.Path())), idx);
  e.Age(150);
  file->AppendRecord(e.Data());
  // Modify is checked the same way.
  std::vector<uint8_t> r(file->LogicalRecordSize());
  file->GetCurrentRecord(r.data(), false);
  uint8_t bcd[8];
  StoreLE64(bcd, static_cast<uint64_t>(CurrencyToBcd(2, 14900)));
  file->SetFieldValue(kPrice, bcd, false, r.data());
  EXPECT_EQ(CodeOf([&] { file->ModifyRecord(r.data(), false, true); }), 9730);
  file->Close();
  ExpectClean(fx.Path());
}

TEST(DataFileTest, DuplicateKeyLeavesTheFilesUnchanged) {
  TTableSpec def = PeopleTable();
  def.Secondary[0].Unique = true;
  TableFixture fx(def);
  auto file = fx.Open();
  AppendNamed(*file, "Grace");
  AppendNamed(*file, "Alan");
  std::string dat = FileBytes(DataFileName(fx.Path())), idx = FileBytes(IndexFileName(fx.Path())),
              blb = FileBytes(BlobFileName(fx.Path()));
  Editor e(*file);
  e.Name("GRACE").Note("a note that must not stay");
  std::string text;
  EXPECT_EQ(CodeOf([&] { file->AppendRecord(e.Data()); }, &text), 9729);
  EXPECT_EQ(text, "Duplicate key found in index NAME of data file " + IndexFileName(fx.Path()));
  EXPECT_EQ(FileBytes(DataFileName(fx.Path())), dat);
  EXPECT_EQ(FileBytes(IndexFileName(fx.Path())), idx);
  EXPECT_EQ(FileBytes(BlobFileName(fx.Path())), blb);
  // The buffer keeps its values and its open blob: a corrected post goes through.
  e.Name("Grace Hopper");
  file->AppendRecord(e.Data());
  std::vector<uint8_t> r(file->LogicalRecordSize());
  file->GetCurrentRecord(r.data(), false);
  EXPECT_EQ(NoteOf(*file, r.data()), "a note that must not stay");
  file->Close();
  ExpectClean(fx.Path());
}

TEST(DataFileTest, ReadOnlyFilesOpenWithoutLocksAndRefuseWrites) {
  TableFixture fx;
  {
    auto file = fx.Open();
    AppendNamed(*file, "x");
  }
  for (const std::string& f : {DataFileName(fx.Path()), IndexFileName(fx.Path()), BlobFileName(fx.Path())})
    std::filesystem::permissions(f, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  auto file = fx.Open();
  EXPECT_TRUE(file->ReadOnlyByAttribute());
  Editor e(*file);
  e.Name("y");
  std::string text;
  EXPECT_EQ(CodeOf([&] { file->AppendRecord(e.Data()); }, &text), 11013);
  EXPECT_EQ(text, "Access denied to data file " + DataFileName(fx.Path()));
  file->First();
  std::vector<uint8_t> r(file->LogicalRecordSize());
  EXPECT_EQ(file->GetNextRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*file, r.data()), "x");
  // Without locks another writer is not kept out by this reader.
  EXPECT_FALSE(file->Index().ReadLockHeld());
}

TEST(DataFileTest, NavigationCodesAndDefaults) {
  TTableSpec def = PeopleTable();
  def.Fields[2].Default = "42";
  TableFixture fx(def);
  auto file = fx.Open();
  std::vector<uint8_t> r(file->LogicalRecordSize());
  file->First();
  EXPECT_EQ(file->GetCurrentRecord(r.data(), false), errBeginOfFile);
  EXPECT_EQ(AgeOf(*file, r.data()), 42);  // the buffer holds a new record's defaults
  EXPECT_EQ(file->GetNextRecord(r.data()), errEndOfFile);
  for (const char* n : {"b", "a", "c"}) AppendNamed(*file, n);
  file->SelectIndex("name");
  file->First();
  std::string order;
  while (file->GetNextRecord(r.data()) == 0) order += NameOf(*file, r.data());
  EXPECT_EQ(order, "abc");
  EXPECT_EQ(file->GetNextRecord(r.data()), errEndOfFile);
  EXPECT_EQ(file->GetPriorRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*file, r.data()), "c");
  file->Last();
  EXPECT_EQ(file->GetCurrentRecord(r.data(), false), errEndOfFile);
  EXPECT_EQ(file->GetPriorRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*file, r.data()), "c");
  EXPECT_EQ(CodeOf([&] { file->SelectIndex("nope"); }), 10022);
  EXPECT_EQ(CodeOf([&] { file->FieldByName("missing"); }), 9985);
  EXPECT_EQ(file->FieldByName("age").FieldNumber(), 3);
}

}  // namespace
}  // namespace ovrin
