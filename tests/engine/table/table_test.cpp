#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/data/checker.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "tests/support/file_bytes.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;
using test::TempDir;
using test::FileBytes;

TTableSpec People(bool primary = true) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 20},
                TFieldSpec{"BORN", fldDate},  TFieldSpec{"SEEN", fldTimeStamp},
                TFieldSpec{"ACTIVE", fldBoolean}, TFieldSpec{"RIGHTS", fldSmallInt},
                TFieldSpec{"PRICE", fldBcd, subNone, 0, 2}, TFieldSpec{"NOTE", fldBlob, subMemo},
                TFieldSpec{"DATA", fldBlob, subBinary}};
  if (primary) def.Primary.Fields = {"ID"};
  TIndexSpec name;
  name.Name = "BYNAME";
  name.Fields = {"NAME"};
  name.CaseInsensitive = true;
  def.Secondary = {name};
  return def;
}

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateTable(dir_ / "people", People()); }
  void Open(TOvrinTable& t, const std::string& name = "people") {
    t.SetDatabaseName(dir_.Path());
    t.SetTableName(name);
    t.Open();
  }
  void AddPerson(TOvrinTable& t, const std::string& name, const std::string& note = "") {
    t.Append();
    t.FieldByName("NAME").SetAsString(name);
    if (!note.empty()) t.FieldByName("NOTE").SetAsString(note);
    t.Post();
  }
  TempDir dir_;
};

TEST_F(TableTest, AppendSetFieldsPostWalkEditDelete) {
  TOvrinTable t;
  Open(t);
  EXPECT_EQ(t.EngineVersion(), "1.19");
  EXPECT_TRUE(t.Eof());
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.RecordCount(), 0);
  t.Append();
  EXPECT_EQ(t.State(), TDataSetState::Insert);
  EXPECT_EQ(t.RecNo(), -1);
  t.FieldByName("name").SetAsString("Ada Lovelace");
  t.FieldByName("BORN").SetAsString("12/10/1815");
  t.FieldByName("SEEN").SetAsDateTime(TextToDateTime("3/4/2020 5:06:07 PM", FixedFormatSettings()));
  t.FieldByName("ACTIVE").SetAsBoolean(true);
  t.FieldByName("RIGHTS").SetAsString("7");
  t.FieldByName("PRICE").SetAsString("12.345");
  t.Post();
  EXPECT_EQ(t.State(), TDataSetState::Browse);
  EXPECT_EQ(t.RecordCount(), 1);
  t.First();
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "Ada Lovelace");
  EXPECT_EQ(t.FieldByName("BORN").AsString(), "12/10/1815");
  EXPECT_EQ(t.FieldByName("SEEN").AsString(), "3/4/2020 5:06:07 PM");
  EXPECT_TRUE(t.FieldByName("ACTIVE").AsBoolean());
  EXPECT_EQ(t.FieldByName("RIGHTS").AsInteger(), 7);
  EXPECT_EQ(t.FieldByName("PRICE").AsString(), "12.35");
  EXPECT_EQ(t.FieldByName("PRICE").AsCurrency(), 123500);
  EXPECT_TRUE(t.FieldByName("NOTE").IsNull());
  for (const char* n : {"Charles", "grace", "Alan"}) AddPerson(t, n);
  // Walk in primary order, then by name.
  std::string order;
  for (t.First(); !t.Eof(); t.Next()) order += t.FieldByName("NAME").AsString() + ",";
  EXPECT_EQ(order, "Ada Lovelace,Charles,grace,Alan,");
  t.SetIndexName("BYNAME");
  order.clear();
  for (t.First(); !t.Eof(); t.Next()) order += t.FieldByName("NAME").AsString() + ",";
  EXPECT_EQ(order, "Ada Lovelace,Alan,Charles,grace,");
  EXPECT_EQ(t.RecNo(), 4);
  // Next at the last record keeps it; Prior then goes back one.
  t.Next();
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "grace");
  t.Prior();
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "Charles");
  // Edit.
  t.Edit();
  t.FieldByName("NAME").SetAsString("Charles Babbage");
  t.Post();
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "Charles Babbage");
  // Delete the current record.
  t.Delete();
  EXPECT_EQ(t.RecordCount(), 3);
  t.SetIndexFieldNames("ID");
  order.clear();
  for (t.First(); !t.Eof(); t.Next()) order += t.FieldByName("NAME").AsString() + ",";
  EXPECT_EQ(order, "Ada Lovelace,grace,Alan,");
  EXPECT_EQ(t.IndexName(), "");
  EXPECT_EQ(t.IndexFieldNames(), "ID");
  t.Close();
  EXPECT_TRUE(CheckTable(dir_ / "people").Ok());
}

TEST_F(TableTest, BlobsFromStreamsComeBackByteForByte) {
  TOvrinTable t;
  Open(t);
  std::mt19937 rng(3);
  std::vector<std::string> values;
  // A stream that cannot seek, read piece by piece.
  struct TPipeBuffer : std::streambuf {
    explicit TPipeBuffer(const std::string& s) : text(s) {}
    int_type underflow() override {
      if (at >= text.size()) return traits_type::eof();
      size_t n = std::min<size_t>(1000, text.size() - at);
      setg(text.data() + at, text.data() + at, text.data() + at + n);
      at += n;
      return traits_type::to_int_type(*gptr());
    }
    std::string text;
    size_t at = 0;
  };
  int n = 0;
  for (size_t size : {size_t(0), size_t(1), size_t(494), size_t(495), size_t(70000), size_t(300000)}) {
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(rng());
    values.push_back(bytes);
    t.Append();
    t.FieldByName("NAME").SetAsString("blob" + std::to_string(size));
    // From where the stream stands: seekable ones past a few bytes already read, and
    // one that cannot seek.
    std::istringstream in("head" + bytes);
    TPipeBuffer pipe(bytes);
    std::istream piped(&pipe);
    if (n++ % 2) {
      t.FieldByName("DATA").LoadFromStream(piped);
    } else {
      in.seekg(4);
      t.FieldByName("DATA").LoadFromStream(in);
    }
    t.FieldByName("NOTE").SetAsString("size " + std::to_string(size));
    t.Post();
  }
  t.Close();
  Open(t);
  size_t i = 0;
  for (t.First(); !t.Eof(); t.Next(), ++i) {
    std::ostringstream out;
    t.FieldByName("DATA").SaveToStream(out);
    EXPECT_EQ(out.str(), values[i]) << i;
    EXPECT_EQ(t.FieldByName("NOTE").AsString(), "size " + std::to_string(values[i].size()));
    EXPECT_EQ(t.FieldByName("DATA").IsNull(), values[i].empty());
  }
  EXPECT_EQ(i, values.size());
  // A blob stream read past the end gives what there is, and no error.
  t.First();
  t.Next();
  auto stream = t.CreateBlobStream(t.FieldByName("DATA"), TBlobStreamMode::Read);
  char buffer[10];
  stream->Seek(-1, 2);
  EXPECT_EQ(stream->Read(buffer, 10), 1u);
  stream.reset();
  // Writing needs edit or insert state.
  EXPECT_EQ(test::MessageOf([&] { t.CreateBlobStream(t.FieldByName("DATA"), TBlobStreamMode::Write); }),
            "Dataset not in edit or insert mode");
  // Replace a blob in an edit.
  t.Edit();
  t.FieldByName("DATA").SetAsBytes("short now");
  t.Post();
  EXPECT_EQ(t.FieldByName("DATA").AsBytes(), "short now");
  t.Close();
  TCheckReport report = CheckTable(dir_ / "people");
  EXPECT_TRUE(report.Ok()) << (report.problems.empty() ? "" : report.problems.front());
}

TEST_F(TableTest, DuplicateKeyKeepsInsertStateAndTheBuffer) {
  TTableSpec def = People();
  def.Secondary[0].Unique = true;
  CreateTable(dir_ / "unique", def);
  TOvrinTable t;
  Open(t, "unique");
  AddPerson(t, "Grace");
  t.Append();
  t.FieldByName("NAME").SetAsString("GRACE");
  t.FieldByName("NOTE").SetAsString("kept");
  EXPECT_EQ(CodeOf([&] { t.Post(); }), 9729);
  EXPECT_EQ(t.State(), TDataSetState::Insert);
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "GRACE");
  EXPECT_EQ(t.FieldByName("NOTE").AsString(), "kept");
  t.FieldByName("NAME").SetAsString("Grace Hopper");
  t.Post();
  EXPECT_EQ(t.RecordCount(), 2);
  EXPECT_EQ(t.FieldByName("NOTE").AsString(), "kept");
}

TEST_F(TableTest, AppendThenCancelLeavesTheFilesAlone) {
  TOvrinTable t;
  Open(t);
  AddPerson(t, "x", "note");
  std::string dat = FileBytes(dir_ / "people.DAT"), idx = FileBytes(dir_ / "people.IDX"), blb = FileBytes(dir_ / "people.BLB");
  t.Append();
  t.FieldByName("NAME").SetAsString("never");
  t.FieldByName("NOTE").SetAsString(std::string(5000, 'n'));
  t.Cancel();
  EXPECT_EQ(t.State(), TDataSetState::Browse);
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "x");
  t.Close();
  EXPECT_EQ(FileBytes(dir_ / "people.DAT"), dat);
  EXPECT_EQ(FileBytes(dir_ / "people.IDX"), idx);
  EXPECT_EQ(FileBytes(dir_ / "people.BLB"), blb);
}

TEST_F(TableTest, TableNameWithAnExtensionOpensTheSameFiles) {
  {
    TOvrinTable t;
    Open(t);
    AddPerson(t, "one");
  }
  TOvrinTable t;
  Open(t, "people.xyz");
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_EQ(t.Handle()->FileName(), dir_ / "people.DAT");
}

TEST_F(TableTest, TablesWithoutPrimaryIndexWalkInPhysicalOrder) {
  CreateTable(dir_ / "plain", People(false));
  TOvrinTable t;
  Open(t, "plain");
  for (const char* n : {"c", "a", "b"}) AddPerson(t, n);
  std::string order;
  for (t.First(); !t.Eof(); t.Next()) order += t.FieldByName("NAME").AsString();
  EXPECT_EQ(order, "cab");
  t.First();
  EXPECT_EQ(t.GetBookmark().size(), 4u);
  t.Next();
  std::vector<uint8_t> mark = t.GetBookmark();
  t.Last();
  t.GotoBookmark(mark);
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "a");
  t.Delete();
  AddPerson(t, "d");
  EXPECT_EQ(t.Handle()->CurrentRecordNumber(), 4);  // never reuses
}

TEST_F(TableTest, MisuseGivesTheFrameworkMessages) {
  TOvrinTable t;
  t.SetDatabaseName(dir_.Path());
  EXPECT_EQ(test::MessageOf([&] { t.Open(); }), "Missing table name.");
  EXPECT_FALSE(t.Active());
  t.SetTableName("people");
  EXPECT_EQ(test::MessageOf([&] { t.First(); }), "Cannot perform this operation on a closed dataset");
  t.Open();
  EXPECT_EQ(test::MessageOf([&] { t.SetTableName("other"); }), "Cannot perform this operation on an open dataset");
  EXPECT_EQ(t.TableName(), "people");
  EXPECT_EQ(test::MessageOf([&] { t.FieldByName("NOPE"); }), "Field 'NOPE' not found");
  AddPerson(t, "x");
  EXPECT_EQ(test::MessageOf([&] { t.FieldByName("NAME").SetAsString("y"); }), "Dataset not in edit or insert mode");
  t.Edit();
  t.FieldByName("NAME").SetReadOnly(true);
  EXPECT_EQ(test::MessageOf([&] { t.FieldByName("NAME").SetAsString("y"); }), "Field 'NAME' cannot be modified");
  t.FieldByName("NAME").SetReadOnly(false);
  EXPECT_EQ(test::MessageOf([&] { t.FieldByName("RIGHTS").SetAsString("x1"); }), "'x1' is not a valid integer value");
  EXPECT_EQ(test::MessageOf([&] { t.FieldByName("RIGHTS").SetAsInteger(40000); }),
            "40000 is not a valid value for field 'RIGHTS'. The allowed range is -32768 to 32767");
  EXPECT_EQ(test::MessageOf([&] { t.FieldByName("SEEN").SetAsString("soon"); }), "'soon' is not a valid date and time");
  EXPECT_EQ(test::MessageOf([&] { t.FieldByName("ACTIVE").AsDateTime(); }), "Cannot access field 'ACTIVE' as type DateTime");
  t.Cancel();
  TOvrinTable missing;
  missing.SetDatabaseName(dir_.Path());
  missing.SetTableName("nothere");
  std::string message = test::MessageOf([&] { missing.Open(); });
  EXPECT_EQ(message, "Ovrin Engine Error # 11010 Invalid path or file name for data file " + dir_ / "nothere.DAT");
}

TEST_F(TableTest, FieldDefinitionsAndConversions) {
  TOvrinTable t;
  t.SetDatabaseName(dir_.Path());
  t.SetTableName("people");
  const std::vector<TFieldDef>& defs = t.FieldDefs();  // read without opening
  ASSERT_EQ(defs.size(), 9u);
  EXPECT_EQ(defs[0].DataType, TFieldType::AutoInc);
  EXPECT_EQ(defs[1].DataType, TFieldType::String);
  EXPECT_EQ(defs[1].Size, 20);
  EXPECT_EQ(defs[6].DataType, TFieldType::BCD);
  EXPECT_EQ(defs[6].Size, 2);
  EXPECT_EQ(defs[6].Precision, 20);
  EXPECT_EQ(defs[7].DataType, TFieldType::Memo);
  EXPECT_EQ(defs[8].DataType, TFieldType::Blob);
  t.Open();
  t.Append();
  TField& name = t.FieldByName("NAME");
  name.SetAsString(std::string(25, 'z'));
  EXPECT_EQ(name.AsString(), std::string(20, 'z'));
  name.SetAsString("   ");
  EXPECT_TRUE(name.IsNull());
  name.SetAsString("trail   ");
  EXPECT_EQ(name.AsString(), "trail");
  name.SetAsInteger(42);
  EXPECT_EQ(name.AsInteger(), 42);
  std::vector<uint8_t> two = {2, 0};
  t.FieldByName("ACTIVE").SetData(&two);
  EXPECT_TRUE(t.FieldByName("ACTIVE").AsBoolean());
  std::vector<uint8_t> raw;
  t.FieldByName("ACTIVE").GetData(&raw);
  EXPECT_EQ(raw[0], 1);
  t.FieldByName("ID").Clear();
  EXPECT_FALSE(t.FieldByName("ID").IsNull());
  t.FieldByName("BORN").SetAsDateTime(TextToDate("2/29/2000", FixedFormatSettings()));
  EXPECT_EQ(t.FieldByName("BORN").AsString(), "2/29/2000");
  t.Cancel();
}

TEST_F(TableTest, TwoCursorsShareTheTable) {
  TOvrinTable a, b;
  Open(a);
  Open(b);
  AddPerson(a, "shared");
  b.Refresh();
  EXPECT_EQ(b.RecordCount(), 1);
  a.First();
  a.Edit();  // locks the record
  b.SetLockRetryCount(2);
  b.SetLockWaitTime(5);
  b.First();
  EXPECT_EQ(CodeOf([&] { b.Edit(); }), 10258);
  EXPECT_EQ(b.State(), TDataSetState::Browse);
  a.FieldByName("NAME").SetAsString("changed");
  a.Post();  // unlocks
  b.Refresh();
  b.Edit();
  EXPECT_EQ(b.FieldByName("NAME").AsString(), "changed");
  b.Cancel();
  AddPerson(b, "from b");
  a.Refresh();
  EXPECT_EQ(a.RecordCount(), 2);
}

TEST_F(TableTest, TwoProcessesAppendAndSeeEachOther) {
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int status = 1;
    try {
      TOvrinTable t;
      Open(t);
      for (int i = 0; i < 50; ++i) AddPerson(t, "child" + std::to_string(i));
      t.First();
      t.Edit();  // hold a record lock until the parent has tried
      char c = 0;
      (void)!write(toParent[1], &c, 1);
      (void)!read(toChild[0], &c, 1);
      t.Cancel();
      status = 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child: %s\n", e.what());
    }
    _exit(status);
  }
  TOvrinTable t;
  Open(t);
  for (int i = 0; i < 50; ++i) AddPerson(t, "parent" + std::to_string(i));
  char c;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  t.Refresh();
  EXPECT_EQ(t.RecordCount(), 100);
  t.SetLockRetryCount(1);
  t.SetLockWaitTime(1);
  // The child holds the lock of the first record in primary order.
  t.SetIndexName("");
  t.First();
  EXPECT_EQ(CodeOf([&] { t.Edit(); }), 10258);
  (void)!write(toChild[1], &c, 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  t.Close();
  EXPECT_TRUE(CheckTable(dir_ / "people").Ok());
}

}  // namespace
}  // namespace ovrin

namespace ovrin {
namespace {

TEST(CalculatedFieldTest, ComputedAfterEveryReadAndReadOnlyForStoredFields) {
  test::TempDir dir;
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 20}};
  def.Primary.Fields = {"ID"};
  CreateTable(dir / "c", def);
  TOvrinTable t;
  t.SetDatabaseName(dir.Path());
  t.SetTableName("c");
  t.AddCalculatedField("SHOUT", TFieldType::String, 30);
  t.AddCalculatedField("TWICE", TFieldType::Integer);
  std::string attempt;
  t.OnCalcFields = [&](TDataSet& d) {
    d.FieldByName("SHOUT").SetAsString(AsciiUpper(d.FieldByName("NAME").AsString()) + "!");
    d.FieldByName("TWICE").SetAsInteger(d.FieldByName("ID").AsInteger() * 2);
    try {
      d.FieldByName("NAME").SetAsString("no");
    } catch (const EDatabaseError& e) {
      attempt = e.Message();
    }
  };
  t.Open();
  for (const char* n : {"ada", "bob"}) {
    t.Append();
    t.FieldByName("NAME").SetAsString(n);
    t.Post();
  }
  t.First();
  EXPECT_EQ(t.FieldByName("SHOUT").AsString(), "ADA!");
  EXPECT_EQ(t.FieldByName("TWICE").AsInteger(), 2);
  t.Next();
  EXPECT_EQ(t.FieldByName("SHOUT").AsString(), "BOB!");
  EXPECT_EQ(t.FieldByName("TWICE").AsInteger(), 4);
  EXPECT_EQ(attempt, "Dataset not in edit or insert mode");
  EXPECT_EQ(t.RecNo(), 2);
  t.SetRecNo(1);
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "ada");
  EXPECT_EQ(t.FieldByName("SHOUT").AsString(), "ADA!");
  EXPECT_THROW(t.AddCalculatedField("LATE", TFieldType::Integer), EDatabaseError);
}

}  // namespace
}  // namespace ovrin
