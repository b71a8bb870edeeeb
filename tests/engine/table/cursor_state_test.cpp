// Ranges, filters, counts and positions follow the cursor's own changes as they follow
// other users'; searches keep to the range and filters; tables without a primary index
// keep their deleted records deleted and serve set-key and master/detail; errors while
// a guard unwinds never end the process.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/errors.h"
#include "engine/base/fault_platform.h"
#include "engine/base/platform.h"
#include "engine/data/checker.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;
using test::TempDir;

TTableSpec Lines(bool primary) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"CODE", fldInteger},
                TFieldSpec{"NAME", fldString, subNone, 20}};
  if (primary) def.Primary.Fields = {"ID"};
  TIndexSpec code;
  code.Name = "BYCODE";
  code.Fields = {"CODE"};
  TIndexSpec name;
  name.Name = "BYNAME";
  name.Fields = {"NAME"};
  def.Secondary = {code, name};
  return def;
}

class CursorStateTest : public ::testing::Test {
 protected:
  void Make(const std::string& name, bool primary, const std::vector<int>& codes) {
    CreateTable(dir_ / name, Lines(primary));
    TOvrinTable t;
    Open(t, name);
    for (int c : codes) Add(t, c);
  }
  void Open(TOvrinTable& t, const std::string& name) {
    t.SetDatabaseName(dir_.Path());
    t.SetTableName(name);
    t.Open();
  }
  static void Add(TOvrinTable& t, int code, const std::string& name = "") {
    t.Append();
    t.FieldByName("CODE").SetAsInteger(code);
    t.FieldByName("NAME").SetAsString(name.empty() ? "n" + std::to_string(code) : name);
    t.Post();
  }
  static std::vector<int> Codes(TOvrinTable& t) {
    std::vector<int> codes;
    for (t.First(); !t.Eof(); t.Next()) codes.push_back(t.FieldByName("CODE").AsInteger());
    return codes;
  }
  static void Range(TOvrinTable& t, int low, int high, const std::string& field = "CODE") {
    t.SetRangeStart();
    t.FieldByName(field).SetAsInteger(low);
    t.SetRangeEnd();
    t.FieldByName(field).SetAsInteger(high);
    t.ApplyRange();
  }
  TempDir dir_;
};

TEST_F(CursorStateTest, AppendIntoAnEmptyRangeIsCountedAndWalked) {
  Make("t", true, {10, 20});
  TOvrinTable t;
  Open(t, "t");
  t.SetIndexName("BYCODE");
  Range(t, 55, 55);
  EXPECT_EQ(t.RecordCount(), 0);
  Add(t, 55);
  EXPECT_EQ(t.FieldByName("CODE").AsInteger(), 55);
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_EQ(Codes(t), std::vector<int>{55});
}

TEST_F(CursorStateTest, CountsInARangeFollowOwnAppendsEditsAndDeletes) {
  Make("t", true, {10, 30, 40, 50, 60, 70});
  TOvrinTable t;
  Open(t, "t");
  t.SetIndexName("BYCODE");
  Range(t, 30, 60);
  EXPECT_EQ(t.RecordCount(), 4);
  Add(t, 45);
  EXPECT_EQ(t.RecordCount(), 5);
  EXPECT_EQ(Codes(t), (std::vector<int>{30, 40, 45, 50, 60}));
  t.First();
  t.Edit();
  t.FieldByName("CODE").SetAsInteger(65);  // moves out of the range
  t.Post();
  EXPECT_EQ(t.RecordCount(), 4);
  EXPECT_EQ(Codes(t), (std::vector<int>{40, 45, 50, 60}));
  t.First();
  t.Delete();
  EXPECT_EQ(t.RecordCount(), 3);
  EXPECT_EQ(t.RecNo(), 1);
  EXPECT_EQ(Codes(t), (std::vector<int>{45, 50, 60}));
}

TEST_F(CursorStateTest, AFilterAnsweredByAnotherIndexKeepsTheActiveRange) {
  Make("t", true, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  TOvrinTable t;
  Open(t, "t");
  Range(t, 3, 5, "ID");
  EXPECT_EQ(Codes(t), (std::vector<int>{3, 4, 5}));
  t.SetFilter("CODE >= 0");
  t.SetFiltered(true);
  EXPECT_EQ(Codes(t), (std::vector<int>{3, 4, 5}));
  EXPECT_EQ(t.RecordCount(), 3);
  t.SetFilter("CODE >= 4");
  EXPECT_EQ(Codes(t), (std::vector<int>{4, 5}));
  EXPECT_EQ(t.RecordCount(), 2);
  t.SetFilter("NAME = 'n9'");
  EXPECT_EQ(Codes(t), std::vector<int>{});
}

TEST_F(CursorStateTest, FilteredCountsFollowOwnChanges) {
  Make("t", true, {1, 2, 3, 4, 5});
  TOvrinTable t;
  Open(t, "t");
  t.SetFilter("CODE >= 3");
  t.SetFiltered(true);
  EXPECT_EQ(t.RecordCount(), 3);
  Add(t, 7);
  EXPECT_EQ(t.RecordCount(), 4);
  Add(t, 0);  // does not pass
  EXPECT_EQ(t.RecordCount(), 4);
  EXPECT_EQ(Codes(t), (std::vector<int>{3, 4, 5, 7}));
}

TEST_F(CursorStateTest, LocateThroughALookupCursorKeepsToTheRangeAndFilter) {
  Make("t", true, {1, 2, 3, 4, 5, 6});
  TOvrinTable t;
  Open(t, "t");
  Range(t, 2, 4, "ID");
  // CODE is served by BYCODE, which is not the active index: a lookup cursor answers.
  EXPECT_FALSE(t.Locate("CODE", {int64_t(6)}));
  EXPECT_EQ(t.LastSearchPath(), "lookup");
  EXPECT_TRUE(t.Locate("CODE", {int64_t(3)}));
  EXPECT_EQ(t.FieldByName("CODE").AsInteger(), 3);
  t.SetFilter("CODE <> 4");
  t.SetFiltered(true);
  EXPECT_FALSE(t.Locate("CODE", {int64_t(4)}));
  EXPECT_TRUE(t.Locate("CODE", {int64_t(2)}));
  EXPECT_EQ(t.FieldByName("CODE").AsInteger(), 2);
  EXPECT_FALSE(t.Lookup("CODE", {int64_t(5)}, "NAME").has_value());
  ASSERT_TRUE(t.Lookup("CODE", {int64_t(3)}, "NAME").has_value());
}

// ---- tables without a primary index

TEST_F(CursorStateTest, DeletedRecordsOfANaturalOrderTableStayDeletedAfterReopening) {
  std::vector<int> codes;
  for (int i = 1; i <= 30; ++i) codes.push_back(i);
  Make("t", false, codes);
  {
    TOvrinTable t;
    Open(t, "t");
    t.SetRecNo(7);
    EXPECT_EQ(t.FieldByName("CODE").AsInteger(), 7);
    t.Delete();
    EXPECT_EQ(t.RecordCount(), 29);
  }
  TOvrinTable t;
  Open(t, "t");
  EXPECT_EQ(t.RecordCount(), 29);
  std::vector<int> walked = Codes(t);
  EXPECT_EQ(walked.size(), 29u);
  EXPECT_EQ(std::count(walked.begin(), walked.end(), 7), 0);
  TCheckReport report = CheckTable(dir_ / "t");
  EXPECT_TRUE(report.Ok()) << (report.problems.empty() ? "" : report.problems.front());
}

TEST_F(CursorStateTest, RecNoOfANaturalOrderTableIsTheOrdinalBothWays) {
  Make("t", false, {1, 2, 3, 4, 5});
  TOvrinTable t;
  Open(t, "t");
  t.SetRecNo(2);
  t.Delete();  // place 2 stays empty
  EXPECT_EQ(Codes(t), (std::vector<int>{1, 3, 4, 5}));
  t.SetRecNo(3);
  EXPECT_EQ(t.FieldByName("CODE").AsInteger(), 4);
  EXPECT_EQ(t.RecNo(), 3);
  t.Last();
  EXPECT_EQ(t.RecNo(), 4);
}

TEST_F(CursorStateTest, SetKeyAndMasterDetailOnATableWithoutPrimaryIndex) {
  Make("master", true, {1, 2, 3});
  Make("detail", false, {});
  {
    TOvrinTable d;
    Open(d, "detail");
    for (int c : {1, 1, 2, 3, 3, 3}) Add(d, c);
  }
  TOvrinTable master, detail;
  Open(master, "master");
  TDataSource source(&master);
  detail.SetIndexName("BYCODE");
  Open(detail, "detail");
  ASSERT_EQ(detail.IndexKeyFields(), std::vector<std::string>{"CODE"});
  detail.SetMasterFields("CODE");
  detail.SetMasterSource(&source);
  master.First();
  EXPECT_EQ(Codes(detail), (std::vector<int>{1, 1}));
  master.Next();
  EXPECT_EQ(Codes(detail), (std::vector<int>{2}));
  detail.Append();
  EXPECT_EQ(detail.FieldByName("CODE").AsInteger(), 2);
  detail.FieldByName("NAME").SetAsString("new");
  detail.Post();
  EXPECT_EQ(Codes(detail), (std::vector<int>{2, 2}));
  // Set-key on the secondary index.
  detail.SetMasterSource(nullptr);
  detail.SetKey();
  detail.FieldByName("CODE").SetAsInteger(3);
  EXPECT_TRUE(detail.GotoKey());
  EXPECT_EQ(detail.FieldByName("CODE").AsInteger(), 3);
}

TEST_F(CursorStateTest, ADetailWhoseMasterHadNoDetailsShowsTheOneAdded) {
  Make("master", true, {1, 2});
  Make("detail", true, {1});
  TOvrinTable master, detail;
  Open(master, "master");
  TDataSource source(&master);
  detail.SetIndexName("BYCODE");
  Open(detail, "detail");
  detail.SetMasterFields("CODE");
  detail.SetMasterSource(&source);
  master.Last();
  EXPECT_EQ(detail.RecordCount(), 0);
  detail.Append();
  detail.FieldByName("NAME").SetAsString("first");
  detail.Post();
  EXPECT_EQ(detail.RecordCount(), 1);
  EXPECT_EQ(Codes(detail), std::vector<int>{2});
}

// ---- errors while guards unwind

class GuardFailureTest : public CursorStateTest {
 protected:
  void SetUp() override { previous_ = SetPlatform(&faults_); }
  void TearDown() override {
    faults_.Clear();
    SetPlatform(previous_ == &PosixPlatform() ? nullptr : previous_);
  }
  TFaultPlatform faults_{PosixPlatform()};
  TPlatform* previous_ = nullptr;
};

TEST_F(GuardFailureTest, AReadErrorWhileLocateScansLeavesTheProcessAndTheTableWhole) {
  std::vector<int> codes;
  for (int i = 1; i <= 400; ++i) codes.push_back(i);
  Make("t", true, codes);
  for (long nth = 1; nth <= 6; ++nth) {
    TOvrinTable t;
    t.SetStrictChangeDetection(true);
    Open(t, "t");
    t.First();
    faults_.FailAt(TFaultOp::Read, nth, EIO, true);
    // NAME is case-sensitively indexed, not case-insensitively: the scan goes through
    // a temporary filter.
    uint16_t code = CodeOf([&] { t.Locate("NAME", {std::string("N399")}, TLocateOptions{true, false}); });
    faults_.Clear();
    EXPECT_TRUE(code == 0 || code == errRead) << code;
    EXPECT_TRUE(t.Locate("NAME", {std::string("N300")}, TLocateOptions{true, false}));
    EXPECT_EQ(t.FieldByName("CODE").AsInteger(), 300);
  }
}

TEST_F(GuardFailureTest, AFilterThatCannotBeActivatedLeavesTheTableUnfilteredAndWalking) {
  Make("t", true, {1, 2, 3, 4, 5});
  TOvrinTable t;
  Open(t, "t");
  // No index answers a handler: activating reads every record, and the read fails.
  t.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("CODE").AsInteger() > 2; });
  {
    TOvrinTable other;
    Open(other, "t");
    Add(other, 9);
  }
  t.Refresh();  // the record cache starts empty: the filter must read the file
  faults_.FailAt(TFaultOp::Read, 1, EIO);
  EXPECT_EQ(CodeOf([&] { t.SetFiltered(true); }), errRead);
  faults_.Clear();
  EXPECT_FALSE(t.Filtered());
  EXPECT_EQ(Codes(t), (std::vector<int>{1, 2, 3, 4, 5, 9}));
  EXPECT_EQ(t.RecordCount(), 6);
  t.SetFiltered(true);
  EXPECT_EQ(Codes(t), (std::vector<int>{3, 4, 5, 9}));
}

TEST_F(GuardFailureTest, DestroyingAMasterSourceWhileTheDetailHoldsAnUnpostableInsertDoesNotAbort) {
  Make("master", true, {1, 2});
  Make("detail", true, {1});
  TOvrinTable master, detail;
  Open(master, "master");
  detail.SetIndexName("BYCODE");
  {
    auto source = std::make_unique<TDataSource>(&master);
    Open(detail, "detail");
    detail.SetMasterFields("CODE");
    detail.SetMasterSource(source.get());
    master.First();
    detail.Append();
    detail.FieldByName("NAME").SetAsString("pending");
    faults_.FailAt(TFaultOp::Write, 1, ENOSPC, true);  // the insert cannot be posted
    source.reset();
    faults_.Clear();
  }
  EXPECT_EQ(detail.MasterSource(), nullptr);
  detail.Cancel();
  EXPECT_EQ(Codes(detail), std::vector<int>{1});
}

}  // namespace
}  // namespace ovrin
