// Searches on tables: Locate through the active index, a lookup cursor or a temporary
// filter (the same record each way), partial and case-insensitive Locate, Lookup, the
// find operations with and without Filtered, and the index definitions.
#include <gtest/gtest.h>

#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;
using test::TempDir;

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TTableSpec def;
    def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 12},
                  TFieldSpec{"QTY", fldInteger}, TFieldSpec{"OTHER", fldString, subNone, 12}};
    def.Primary.Fields = {"ID"};
    TIndexSpec name, nameCi;
    name.Name = "NAME";
    name.Fields = {"NAME"};
    nameCi.Name = "NAMECI";
    nameCi.Fields = {"NAME"};
    nameCi.CaseInsensitive = true;
    def.Secondary = {name, nameCi};
    CreateTable(dir / "people", def);
    table.SetDatabaseName(dir.Path());
    table.SetTableName("people");
    table.Open();
    const char* names[] = {"Jones", "Smith", "Adams", "smith", "Smythe", "Brown", "Smith", "Young"};
    for (int i = 0; i < 8; ++i) {
      table.Append();
      table.FieldByName("NAME").SetAsString(names[i]);
      table.FieldByName("QTY").SetAsInteger(i + 1);
      table.FieldByName("OTHER").SetAsString(names[i]);
      table.Post();
    }
    table.First();
  }
  int Id() { return table.FieldByName("ID").AsInteger(); }

  TempDir dir;
  TOvrinTable table;
};

TEST_F(SearchTest, LocateFindsTheSameRecordEachWay) {
  // Primary order, NAME has an index of its own: a lookup cursor.
  ASSERT_TRUE(table.Locate("NAME", {std::string("Smith")}));
  EXPECT_EQ(table.LastSearchPath(), "lookup");
  EXPECT_EQ(Id(), 2);
  // OTHER has none: a temporary filter, the first match in primary order.
  ASSERT_TRUE(table.Locate("OTHER", {std::string("Smith")}));
  EXPECT_EQ(table.LastSearchPath(), "filter");
  EXPECT_EQ(Id(), 2);
  // The filter is gone: the whole table walks again.
  int n = 0;
  for (table.First(); !table.Eof(); table.Next()) ++n;
  EXPECT_EQ(n, 8);
  // The active index serves: the table's own cursor.
  table.SetIndexName("NAME");
  ASSERT_TRUE(table.Locate("NAME", {std::string("Smith")}));
  EXPECT_EQ(table.LastSearchPath(), "index");
  EXPECT_EQ(Id(), 2);
  table.Next();
  EXPECT_EQ(Id(), 7);  // the walk goes on from the found record in index order
  // Several fields, nothing found: the current record stays.
  EXPECT_FALSE(table.Locate("NAME;QTY", {std::string("Smith"), int64_t{3}}));
  EXPECT_EQ(Id(), 7);
  EXPECT_TRUE(table.Locate("NAME;QTY", {std::string("Smith"), int64_t{7}}));
  EXPECT_EQ(Id(), 7);
}

TEST_F(SearchTest, PartialAndCaseInsensitiveLocate) {
  ASSERT_TRUE(table.Locate("NAME", {std::string("Smy")}, TLocateOptions{false, true}));
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "Smythe");
  ASSERT_TRUE(table.Locate("OTHER", {std::string("Ad")}, TLocateOptions{false, true}));
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "Adams");
  EXPECT_FALSE(table.Locate("NAME", {std::string("Smy")}));
  // Without regard to case: the case-insensitive index, or a case-insensitive filter.
  ASSERT_TRUE(table.Locate("NAME", {std::string("SMITH")}, TLocateOptions{true, false}));
  EXPECT_EQ(table.LastSearchPath(), "lookup");
  EXPECT_EQ(Id(), 2);
  ASSERT_TRUE(table.Locate("OTHER", {std::string("YOUNG")}, TLocateOptions{true, false}));
  EXPECT_EQ(table.LastSearchPath(), "filter");
  EXPECT_EQ(Id(), 8);
}

TEST_F(SearchTest, LookupNeverMoves) {
  table.Next();
  table.Next();
  ASSERT_EQ(Id(), 3);
  EXPECT_EQ(table.Lookup("NAME", {std::string("Brown")}, "QTY;OTHER"), (std::vector<std::string>{"6", "Brown"}));
  EXPECT_EQ(Id(), 3);
  EXPECT_EQ(table.Lookup("OTHER", {std::string("Young")}, "ID"), std::vector<std::string>{"8"});
  EXPECT_EQ(Id(), 3);
  EXPECT_EQ(table.Lookup("NAME", {std::string("Nobody")}, "QTY"), std::nullopt);
  EXPECT_EQ(table.Lookup("OTHER", {std::string("Nobody")}, "QTY"), std::nullopt);
  EXPECT_EQ(Id(), 3);
  table.Next();
  EXPECT_EQ(Id(), 4);  // and the walk goes on from where it was
}

TEST_F(SearchTest, FindOperationsApplyTheFilterForTheSearchOnly) {
  table.SetFilter("QTY > 3 AND QTY < 8");
  ASSERT_FALSE(table.Filtered());
  EXPECT_TRUE(table.FindFirst());
  EXPECT_EQ(Id(), 4);
  EXPECT_TRUE(table.FindNext());
  EXPECT_EQ(Id(), 5);
  EXPECT_TRUE(table.FindLast());
  EXPECT_EQ(Id(), 7);
  EXPECT_TRUE(table.FindPrior());
  EXPECT_EQ(Id(), 6);
  // From a record the filter does not pass, the next one that it does.
  table.First();
  EXPECT_TRUE(table.FindNext());
  EXPECT_EQ(Id(), 4);
  table.Last();
  EXPECT_FALSE(table.FindNext());
  EXPECT_FALSE(table.Found());
  EXPECT_EQ(Id(), 8);
  EXPECT_TRUE(table.FindPrior());
  EXPECT_EQ(Id(), 7);
  // Afterwards the dataset is unfiltered again.
  int n = 0;
  for (table.First(); !table.Eof(); table.Next()) ++n;
  EXPECT_EQ(n, 8);
  // With Filtered set, the find operations walk the filtered records.
  table.SetFiltered(true);
  EXPECT_TRUE(table.FindLast());
  EXPECT_EQ(Id(), 7);
  EXPECT_TRUE(table.Filtered());
}

TEST_F(SearchTest, AnExclusiveTableGetsNoLookupCursor) {
  table.Close();
  table.SetExclusive(true);
  table.Open();
  EXPECT_EQ(CodeOf([&] { table.Locate("NAME", {std::string("Smith")}); }), 11013);
  // A search the own index or a filter serves still works.
  EXPECT_TRUE(table.Locate("OTHER", {std::string("Smith")}));
  EXPECT_EQ(Id(), 2);
}

TEST_F(SearchTest, IndexDefinitions) {
  const std::vector<TIndexDefInfo>& defs = table.IndexDefs();
  ASSERT_EQ(defs.size(), 3u);
  EXPECT_TRUE(defs[0].Primary);
  EXPECT_EQ(defs[0].Fields, "ID");
  EXPECT_EQ(defs[1].Name, "NAME");
  EXPECT_FALSE(defs[1].Primary);
  EXPECT_FALSE(defs[1].CaseInsensitive);
  EXPECT_EQ(defs[2].Name, "NAMECI");
  EXPECT_TRUE(defs[2].CaseInsensitive);
  EXPECT_EQ(defs[2].Fields, "NAME");
}

}  // namespace
}  // namespace ovrin

namespace ovrin {
namespace {

TEST_F(SearchTest, RangesAndSearchKeys) {
  table.SetIndexName("NAME");
  table.SetRangeStart();
  table.FieldByName("NAME").SetAsString("Jones");
  table.SetRangeEnd();
  table.FieldByName("NAME").SetAsString("Smith");
  table.ApplyRange();
  std::vector<std::string> names;
  for (table.First(); !table.Eof(); table.Next()) names.push_back(table.FieldByName("NAME").AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"Jones", "Smith", "Smith"}));
  EXPECT_EQ(table.RecordCount(), 3);
  // An open end: everything from the start on.
  table.SetRangeEnd();
  table.ApplyRange();
  names.clear();
  for (table.First(); !table.Eof(); table.Next()) names.push_back(table.FieldByName("NAME").AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"Jones", "Smith", "Smith", "Smythe", "Young", "smith"}));
  // Cancel in set-key state keeps the range as it was.
  table.EditRangeStart();
  table.FieldByName("NAME").SetAsString("Y");
  table.Cancel();
  table.ApplyRange();
  EXPECT_EQ(table.RecordCount(), 6);
  table.CancelRange();
  EXPECT_EQ(table.RecordCount(), 8);
  // A search key: exact, then nearest.
  table.SetKey();
  table.FieldByName("NAME").SetAsString("Smythe");
  EXPECT_TRUE(table.GotoKey());
  EXPECT_EQ(Id(), 5);
  table.SetKey();
  table.FieldByName("NAME").SetAsString("Sn");
  EXPECT_FALSE(table.GotoKey());
  EXPECT_EQ(Id(), 5);
  table.GotoNearest();
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "Young");
  // A new index forgets the range.
  table.SetRangeStart();
  table.FieldByName("NAME").SetAsString("X");
  table.ApplyRange();
  EXPECT_EQ(table.RecordCount(), 2);
  table.SetIndexName("");
  EXPECT_EQ(table.RecordCount(), 8);
}

}  // namespace
}  // namespace ovrin

namespace ovrin {
namespace {

class MasterDetailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TTableSpec orders;
    orders.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"CUSTOMER", fldString, subNone, 10}};
    orders.Primary.Fields = {"ID"};
    CreateTable(dir / "orders", orders);
    TTableSpec lines;
    lines.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"ORDERID", fldInteger},
                    TFieldSpec{"ITEM", fldString, subNone, 10}};
    lines.Primary.Fields = {"ID"};
    TIndexSpec byOrder;
    byOrder.Name = "BYORDER";
    byOrder.Fields = {"ORDERID"};
    lines.Secondary = {byOrder};
    CreateTable(dir / "lines", lines);
    for (TOvrinTable* t : {&master, &detail}) t->SetDatabaseName(dir.Path());
    master.SetTableName("orders");
    detail.SetTableName("lines");
    master.Open();
    detail.Open();
    for (const char* c : {"ada", "bob", "cy"}) {
      master.Append();
      master.FieldByName("CUSTOMER").SetAsString(c);
      master.Post();
    }
    int lines3[][2] = {{1, 0}, {2, 0}, {1, 0}, {3, 0}, {1, 0}};
    int n = 0;
    for (auto& l : lines3) {
      detail.Append();
      detail.FieldByName("ORDERID").SetAsInteger(l[0]);
      detail.FieldByName("ITEM").SetAsString("item" + std::to_string(++n));
      detail.Post();
    }
  }
  std::vector<std::string> Items() {
    std::vector<std::string> out;
    for (detail.First(); !detail.Eof(); detail.Next()) out.push_back(detail.FieldByName("ITEM").AsString());
    return out;
  }

  TempDir dir;
  TOvrinTable master, detail;
};

TEST_F(MasterDetailTest, TheDetailFollowsItsMaster) {
  TDataSource source(&master);
  detail.SetIndexName("BYORDER");
  detail.SetMasterSource(&source);
  detail.SetMasterFields("ID");
  master.First();
  EXPECT_EQ(Items(), (std::vector<std::string>{"item1", "item3", "item5"}));
  master.Next();
  EXPECT_EQ(Items(), std::vector<std::string>{"item2"});
  master.Last();
  EXPECT_EQ(Items(), std::vector<std::string>{"item4"});
  // A new detail record takes the master's key.
  detail.Append();
  detail.FieldByName("ITEM").SetAsString("item6");
  detail.Post();
  EXPECT_EQ(detail.FieldByName("ORDERID").AsInteger(), 3);
  EXPECT_EQ(Items(), (std::vector<std::string>{"item4", "item6"}));
  // Locate on the master moves the detail too.
  ASSERT_TRUE(master.Locate("CUSTOMER", {std::string("bob")}));
  EXPECT_EQ(Items(), std::vector<std::string>{"item2"});
  // The master closing lifts the range.
  master.Close();
  EXPECT_EQ(Items().size(), 6u);
  master.Open();
  EXPECT_EQ(Items(), (std::vector<std::string>{"item1", "item3", "item5"}));
  // Unlinked, the detail shows everything again.
  detail.SetMasterSource(nullptr);
  EXPECT_EQ(Items().size(), 6u);
}

TEST_F(MasterDetailTest, CircularLinksAreRefused) {
  TDataSource masterSource(&master), detailSource(&detail);
  detail.SetIndexName("BYORDER");
  detail.SetMasterSource(&masterSource);
  try {
    master.SetMasterSource(&detailSource);
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Circular datalinks are not allowed");
  }
  EXPECT_THROW(detail.SetMasterSource(&detailSource), EDatabaseError);
}

}  // namespace
}  // namespace ovrin
