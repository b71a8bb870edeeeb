#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/errors.h"
#include "engine/data/checker.h"
#include "tests/engine/data/table_fixture.h"

namespace ovrin {
namespace {

using namespace test;

bool Mentions(const TCheckReport& report, const std::string& text) {
  for (const std::string& p : report.problems)
    if (p.find(text) != std::string::npos) return true;
  return false;
}


TEST(CheckerTest, ACleanTableReportsNothing) {
  TableFixture fx;
  Fill(fx, 50);
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_TRUE(report.Ok());
  EXPECT_EQ(report.liveRecords, 50);
  EXPECT_GT(report.blobBlocks, 50);
}

TEST(CheckerTest, AMissingKeyIsFound) {
  TableFixture fx;
  Fill(fx, 20);
  // Take one record's key out of the AGE index behind the table's back.
  DropFirstKey(fx, "AGE");
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_FALSE(report.Ok());
  EXPECT_TRUE(Mentions(report, "index AGE: record")) << report.problems.front();
}

TEST(CheckerTest, ABlobChainOfAnotherRecordIsFound) {
  TableFixture fx;
  Fill(fx, 3);
  // Record 2's NOTE reference is made to point at record 1's chain.
  auto file = fx.Open();
  const TFieldDescriptor& note = file->FieldByNumber(kNote);
  int64_t recordStart = file->Header().RecordOffset(1);
  int32_t size = file->RecordSize();
  std::ifstream in(DataFileName(fx.Path()), std::ios::binary);
  std::vector<uint8_t> dat((std::istreambuf_iterator<char>(in)), {});
  file->Close();
  std::vector<uint8_t> first(dat.begin() + recordStart + note.Offset() + 1, dat.begin() + recordStart + note.Offset() + 5);
  Patch(DataFileName(fx.Path()), recordStart + size + note.Offset() + 1, first);
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_TRUE(Mentions(report, "blob of record 2")) << (report.problems.empty() ? "" : report.problems.front());
  EXPECT_TRUE(Mentions(report, "belong to no blob"));
}

TEST(CheckerTest, ABrokenFreeChainIsFound) {
  TableFixture fx;
  Fill(fx, 5);
  {
    auto file = fx.Open();
    file->SelectIndex("");
    file->First();
    std::vector<uint8_t> r(file->LogicalRecordSize());
    file->GetNextRecord(r.data());
    file->DeleteRecord(true);
  }
  // The header's free chain head is made to name a live record.
  Patch(DataFileName(fx.Path()), 9, {3, 0, 0, 0});
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_TRUE(Mentions(report, "free chain")) << (report.problems.empty() ? "" : report.problems.front());
}

TEST(CheckerTest, AnUnreadableTableIsReportedNotThrown) {
  TableFixture fx;
  Fill(fx, 2);
  Patch(DataFileName(fx.Path()), 8, {9});
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_FALSE(report.opened);
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_NE(report.problems[0].find("12035"), std::string::npos);
}

// A record count that disagrees with the data file's length fails the open as header
// damage; the check says which way it disagrees, since the repair's cure depends on it.
TEST(CheckerTest, ACountThatDisagreesWithTheFileSaysWhichWay) {
  for (const auto& [next, said] : std::vector<std::pair<uint8_t, std::string>>{
           {5, "the data file holds 8 records after the 4 its header counts (a repair counts again those that were "
               "posted and keeps the rest aside)"},
           {12, "the data file holds 1 record after the 11 its header counts"},
           {40, "the data file ends after 12 of the 39 records its header counts"}}) {
    SCOPED_TRACE(said);
    TableFixture fx;
    Fill(fx, 12);
    Patch(DataFileName(fx.Path()), 13, {next, 0, 0, 0});  // header: the next record number
    TCheckReport report = CheckTable(fx.Path());
    EXPECT_FALSE(report.opened);
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_NE(report.problems[0].find("8961"), std::string::npos) << report.problems[0];
    EXPECT_EQ(report.problems[1].rfind(said, 0), 0u) << report.problems[1];
  }
}

TEST(CheckerTest, TheCheckerChangesNoFile) {
  TableFixture fx;
  Fill(fx, 10);
  auto read = [](const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  std::string dat = read(DataFileName(fx.Path())), idx = read(IndexFileName(fx.Path())), blb = read(BlobFileName(fx.Path()));
  CheckTable(fx.Path());
  EXPECT_EQ(read(DataFileName(fx.Path())), dat);
  EXPECT_EQ(read(IndexFileName(fx.Path())), idx);
  EXPECT_EQ(read(BlobFileName(fx.Path())), blb);
}

TEST(DataFileExtrasTest, DefaultsForNowDateAndTime) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"WHEN", fldTimeStamp, 0, 0, 0, false, "", "", "NOW"},
                TFieldSpec{"DAY", fldDate, 0, 0, 0, false, "", "", "DATE"},
                TFieldSpec{"FLAG", fldBoolean, 0, 0, 0, false, "", "", "true"},
                TFieldSpec{"TITLE", fldString, 0, 10, 0, false, "", "", "untitled"}};
  def.Primary.Fields = {"ID"};
  TableFixture fx(def);
  auto file = fx.Open();
  std::vector<uint8_t> r(file->LogicalRecordSize());
  TDateTime before = Now();
  file->InitRecord(r.data());
  uint8_t v[16];
  ASSERT_FALSE(file->GetFieldValue(2, v, r.data()));
  double stamp = LoadLEDouble(v);
  EXPECT_NEAR(TimeStampToDateTime(stamp), before, 2.0 / 86400);
  ASSERT_FALSE(file->GetFieldValue(3, v, r.data()));
  EXPECT_EQ(LoadLEI32(v), DateTimeToDayNumber(before));
  ASSERT_FALSE(file->GetFieldValue(4, v, r.data()));
  EXPECT_EQ(LoadLE16(v), 1);
  ASSERT_FALSE(file->GetFieldValue(5, v, r.data()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(v), 8), "untitled");
}

TEST(DataFileExtrasTest, SecondDataFileForALookupCursor) {
  TableFixture fx;
  Fill(fx, 10);
  auto file = fx.Open();
  file->SelectIndex("NAME");
  std::vector<uint8_t> r(file->LogicalRecordSize());
  file->First();
  file->GetNextRecord(r.data());
  file->GetNextRecord(r.data());
  auto second = file->OpenSecond();
  EXPECT_EQ(second->CurrentRecordNumber(), file->CurrentRecordNumber());
  EXPECT_EQ(second->Index().SelectedSlot(), file->Index().SelectedSlot());
  std::vector<uint8_t> s(second->LogicalRecordSize());
  EXPECT_EQ(second->GetCurrentRecord(s.data(), false), 0);
  EXPECT_EQ(NameOf(*second, s.data()), NameOf(*file, r.data()));
  second.reset();
  file.reset();
  auto exclusive = fx.Open(true);
  EXPECT_THROW(exclusive->OpenSecond(), EOvrinEngineError);
}

TEST(DataFileExtrasTest, StringsAreCutAndBlanksRemoved) {
  TableFixture fx;
  auto file = fx.Open();
  std::vector<uint8_t> r(file->LogicalRecordSize());
  file->InitRecord(r.data());
  const TFieldDescriptor& name = file->FieldByNumber(kName);
  file->SetFieldValue(kName, reinterpret_cast<const uint8_t*>("    "), false, r.data());
  EXPECT_EQ(r[name.Offset()], 0);
  EXPECT_EQ(r[name.Offset() + 1], 0);
  file->SetFieldValue(kName, reinterpret_cast<const uint8_t*>("ab  "), false, r.data());
  EXPECT_EQ(r[name.Offset()], 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[name.Offset() + 1]), 3), std::string("ab\0", 3));
  std::string longer(40, 'x');
  file->SetFieldValue(kName, reinterpret_cast<const uint8_t*>(longer.c_str()), false, r.data());
  EXPECT_EQ(NameOf(*file, r.data()), std::string(30, 'x'));
}

}  // namespace
}  // namespace ovrin
