// Filters on tables: sets answered from the indexes against evaluating every record on
// random tables and random filters, the records read to compute them, registration
// limits and handles, and the dataset's Filter, Filtered and OnFilterRecord.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

#include "engine/data/table_create.h"
#include "engine/expr/evaluator.h"
#include "engine/table/filter_expr.h"
#include "engine/table/table.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;
using test::TempDir;

TTableSpec Stock() {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"QTY", fldInteger},
                TFieldSpec{"NAME", fldString, subNone, 10}, TFieldSpec{"OTHER", fldInteger},
                TFieldSpec{"SMALL", fldSmallInt}};
  def.Primary.Fields = {"ID"};
  TIndexSpec qty, name, nameCi, small;
  qty.Name = "QTY";
  qty.Fields = {"QTY"};
  name.Name = "NAME";
  name.Fields = {"NAME"};
  nameCi.Name = "NAMECI";
  nameCi.Fields = {"NAME"};
  nameCi.CaseInsensitive = true;
  small.Name = "SMALL";
  small.Fields = {"SMALL"};
  def.Secondary = {qty, name, nameCi, small};
  return def;
}

unsigned Seed(unsigned fallback) {
  const char* s = std::getenv("OVRIN_SEED");
  return s ? static_cast<unsigned>(std::atoi(s)) : fallback;
}

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateTable(dir / "stock", Stock());
    table.SetDatabaseName(dir.Path());
    table.SetTableName("stock");
    table.Open();
  }
  // Records with random values (some null), some deleted again.
  void Fill(std::mt19937& rng, int count) {
    const char* names[] = {"ab", "Ab", "abc", "b", "ba", "Smith", "smyth", "x", "X", "zz"};
    for (int i = 0; i < count; ++i) {
      table.Append();
      if (rng() % 10) table.FieldByName("QTY").SetAsInteger(static_cast<int>(rng() % 14) - 3);
      if (rng() % 8) table.FieldByName("NAME").SetAsString(names[rng() % 10]);
      if (rng() % 6) table.FieldByName("OTHER").SetAsInteger(static_cast<int>(rng() % 10));
      if (rng() % 5) table.FieldByName("SMALL").SetAsInteger(static_cast<int>(rng() % 7) - 2);
      table.Post();
    }
    for (table.First(); !table.Eof();) {
      if (rng() % 10 == 0) table.Delete();
      else table.Next();
    }
  }
  // The IDs the dataset shows, in primary order.
  std::vector<int> Ids() {
    std::vector<int> out;
    for (table.First(); !table.Eof(); table.Next()) out.push_back(table.FieldByName("ID").AsInteger());
    return out;
  }
  // The IDs of the records for which the expression, evaluated on each, is true.
  std::vector<int> EvaluatedIds(const std::string& text, uint32_t options) {
    TDataFile& file = *table.Handle();
    std::vector<uint8_t> buffer = ParseFilter(table, options, text);
    TEvalTree tree = DecodeExpression(buffer.data(), buffer.size(), [&](const std::string& name) {
      const TFieldDescriptor& d = file.FieldByName(name);
      return TExprField{d.FieldNumber(), d.Type(), static_cast<int32_t>(d.StoredSize()), d.DeclaredDecimals()};
    });
    std::vector<int> out;
    std::vector<uint8_t> record;
    for (int32_t n = 1; n <= file.RecordCount(); ++n) {
      if (!file.ReadStoredRecord(n, &record)) continue;
      if (EvaluateFilter(*tree, record.data(), file.Locale(),
                         [&](const uint8_t* r, TEvalNode& f) { file.FieldValue(r, f); })) {
        std::vector<uint8_t> id(4);
        file.GetFieldValue(1, id.data(), record.data());
        out.push_back(LoadLEI32(id.data()));
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  TempDir dir;
  TOvrinTable table;
};

// A random filter text: conditions on indexed fields only (indexedOnly), or on any.
std::string RandomFilter(std::mt19937& rng, int depth, bool indexedOnly) {
  if (depth <= 0 || rng() % 3 == 0) {
    const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
    std::string op = ops[rng() % 6];
    switch (rng() % (indexedOnly ? 5 : 6)) {
      case 0: return "QTY " + op + " " + std::to_string(static_cast<int>(rng() % 16) - 4);
      case 1: return rng() % 2 ? "QTY = NULL" : "QTY <> NULL";
      case 2: {
        const char* texts[] = {"'ab'", "'AB'", "'Sm*'", "'s*'", "'x'", "''", "'b'"};
        return "NAME " + op + " " + texts[rng() % 7];
      }
      case 3: return "SMALL " + op + " " + std::to_string(static_cast<int>(rng() % 9) - 3);
      case 4: return "NAME " + std::string(rng() % 2 ? "=" : "<>") + " NULL";
      default: return "OTHER " + op + " " + std::to_string(rng() % 10);
    }
  }
  std::string left = RandomFilter(rng, depth - 1, indexedOnly), right = RandomFilter(rng, depth - 1, indexedOnly);
  switch (rng() % 3) {
    case 0: return "(" + left + ") AND (" + right + ")";
    case 1: return "(" + left + ") OR (" + right + ")";
    default: return "NOT (" + left + ")";
  }
}

TEST_F(FilterTest, IndexAnsweredSetsEqualEvaluatedSets) {
  unsigned seed = Seed(41);
  SCOPED_TRACE("OVRIN_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  Fill(rng, 700);
  int nonEmpty = 0, partial = 0, fromIndex = 0;
  for (int round = 0; round < 150; ++round) {
    bool indexedOnly = round % 2 == 0;
    std::string text = RandomFilter(rng, 3, indexedOnly);
    uint32_t options = rng() % 4;
    SCOPED_TRACE(text + " options " + std::to_string(options));
    table.SetFiltered(false);
    table.SetFilterOptions(options);
    table.SetFilter(text);
    table.SetFiltered(true);
    std::vector<int> shown = Ids();
    std::sort(shown.begin(), shown.end());
    ASSERT_EQ(shown, EvaluatedIds(text, options));
    nonEmpty += !shown.empty() && shown.size() < 600;
    TFilter* filter = table.Handle()->FilterByHandle(table.ExpressionFilterHandle());
    ASSERT_NE(filter, nullptr);
    fromIndex += filter->Level() == 0;
    partial += filter->Level() == 1;
    // Conditions on indexed fields joined by AND, OR and NOT: no record read at all.
    bool caseOk = !(options & foCaseInsensitive) || text.find("NAME") == std::string::npos;
    if (indexedOnly && caseOk) {
      EXPECT_EQ(filter->Level(), 0);
      EXPECT_EQ(filter->RecordsRead(), 0);
    }
  }
  // The random filters were not trivial: sets of every size, every level.
  EXPECT_GT(nonEmpty, 60);
  EXPECT_GT(fromIndex, 40);
  EXPECT_GT(partial, 2);
}

TEST_F(FilterTest, AnUnindexedConditionReadsEachRecordOfTheStartingSetOnce) {
  std::mt19937 rng(Seed(5));
  Fill(rng, 300);
  int live = 0;
  for (table.First(); !table.Eof(); table.Next()) ++live;
  table.SetFilter("OTHER = 3");
  table.SetFiltered(true);
  TFilter* filter = table.Handle()->FilterByHandle(table.ExpressionFilterHandle());
  EXPECT_EQ(filter->Level(), 2);
  EXPECT_EQ(filter->RecordsRead(), live);
  // AND with an indexed condition first: only the records that condition leaves are read.
  table.SetFilter("OTHER = 3 AND QTY = 4");
  filter = table.Handle()->FilterByHandle(table.ExpressionFilterHandle());
  EXPECT_EQ(filter->Level(), 1);
  table.SetFilter("QTY = 4");
  int withFour = static_cast<int>(Ids().size());
  table.SetFilter("OTHER = 3 AND QTY = 4");
  filter = table.Handle()->FilterByHandle(table.ExpressionFilterHandle());
  EXPECT_EQ(filter->RecordsRead(), withFour);
}

TEST_F(FilterTest, NotEqualOnAnIndexedFieldKeepsNulls) {
  for (int q : {5, 5, 6, -1}) {
    table.Append();
    table.FieldByName("QTY").SetAsInteger(q);
    table.Post();
  }
  table.Append();  // QTY null
  table.Post();
  table.SetFilter("QTY <> 5");
  table.SetFiltered(true);
  EXPECT_EQ(Ids(), (std::vector<int>{3, 4, 5}));
  table.SetFilter("QTY = NULL");
  EXPECT_EQ(Ids(), std::vector<int>{5});
  // A null field reads as zero in an ordering, from the index as when evaluated.
  table.SetFilter("QTY > -2");
  EXPECT_EQ(Ids(), (std::vector<int>{1, 2, 3, 4, 5}));
  table.SetFilter("QTY < 0");
  EXPECT_EQ(Ids(), std::vector<int>{4});
}

TEST_F(FilterTest, HandlesAndTheLimitOfFilters) {
  TDataFile& file = *table.Handle();
  std::vector<uint8_t> buffer = ParseFilter(table, 0, "QTY = 1");
  std::vector<int> handles;
  for (int i = 0; i < 127; ++i) {
    int h = 0;
    ASSERT_EQ(file.RegisterFilter(&buffer, nullptr, false, &h), 0);
    handles.push_back(h);
  }
  int h = 0;
  EXPECT_EQ(CodeOf([&] { file.RegisterFilter(&buffer, nullptr, false, &h); }), 9482);
  EXPECT_EQ(file.RegisterFilter(nullptr, nullptr, false, &h), 10051);
  EXPECT_EQ(file.FreeFilter(handles[3]), 0);
  EXPECT_EQ(file.ActivateFilter(handles[3]), 10050);
  EXPECT_EQ(file.DeactivateFilter(handles[3]), 10050);
  EXPECT_EQ(file.FreeFilter(handles[3]), 10050);
  // The handles after a freed one still name their own filters.
  EXPECT_EQ(file.ActivateFilter(handles[4]), 0);
  EXPECT_TRUE(file.FilterByHandle(handles[4])->active);
  EXPECT_FALSE(file.FilterByHandle(handles[5])->active);
  EXPECT_EQ(file.FreeFilter(0), 0);
  EXPECT_EQ(file.FilterByHandle(handles[4]), nullptr);
}

TEST_F(FilterTest, DatasetFilterProperties) {
  for (int q = 1; q <= 6; ++q) {
    table.Append();
    table.FieldByName("QTY").SetAsInteger(q);
    table.FieldByName("NAME").SetAsString(q % 2 ? "odd" : "even");
    table.Post();
  }
  table.SetFilter("QTY >= 3");
  EXPECT_EQ(Ids().size(), 6u);  // not filtered yet
  table.SetFiltered(true);
  EXPECT_EQ(Ids(), (std::vector<int>{3, 4, 5, 6}));
  // Filtered set again, to the same value, still moves to the first record.
  table.Last();
  table.SetFiltered(true);
  EXPECT_EQ(table.FieldByName("ID").AsInteger(), 3);
  // A text that does not parse leaves the filter as it was.
  EXPECT_THROW(table.SetFilter("QTY >= "), EDatabaseError);
  EXPECT_EQ(table.Filter(), "QTY >= 3");
  EXPECT_EQ(Ids(), (std::vector<int>{3, 4, 5, 6}));
  // The record handler reads the judged record's fields; both filters apply.
  table.SetOnFilterRecord([](TDataSet& ds, bool& accept) { accept = ds.FieldByName("NAME").AsString() == "even"; });
  EXPECT_EQ(Ids(), (std::vector<int>{4, 6}));
  // A handler that fails judges the record by Accept as it stood.
  table.SetOnFilterRecord([](TDataSet& ds, bool& accept) {
    if (ds.FieldByName("QTY").AsInteger() == 5) throw std::runtime_error("handler failed");
    accept = false;
  });
  EXPECT_EQ(Ids(), std::vector<int>{5});
  table.SetOnFilterRecord(nullptr);
  table.SetFiltered(false);
  EXPECT_EQ(Ids().size(), 6u);
  // Filters are compiled again when the table opens.
  table.Close();
  table.SetFiltered(true);
  table.SetFilter("NAME = 'ev*'");
  table.Open();
  EXPECT_EQ(Ids(), (std::vector<int>{2, 4, 6}));
  table.SetFilterOptions(foNoPartialCompare);
  EXPECT_TRUE(Ids().empty());
}

TEST_F(FilterTest, AnotherUsersChangeIsSeenByTheFilteredCursor) {
  table.SetFilter("QTY = 5");
  table.SetFiltered(true);
  EXPECT_TRUE(Ids().empty());
  TOvrinTable other;
  other.SetDatabaseName(dir.Path());
  other.SetTableName("stock");
  other.Open();
  for (int q : {5, 4, 5}) {
    other.Append();
    other.FieldByName("QTY").SetAsInteger(q);
    other.Post();
  }
  table.Refresh();
  EXPECT_EQ(Ids(), (std::vector<int>{1, 3}));
  other.First();
  other.Delete();
  table.Refresh();
  EXPECT_EQ(Ids(), std::vector<int>{3});
}

}  // namespace
}  // namespace ovrin
