// The table interface around field values: strings read from damaged files, blob streams
// that outlive cursor moves and edits, set-key state, old values, validation, index
// fields, bookmarks, change detection, field definitions, and sessions and databases.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/data/checker.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "tests/support/engine_error.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;
using test::FileBytes;
using test::MessageOf;
using test::TempDir;

TTableSpec Notes(bool primary = true) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 10},
                TFieldSpec{"BORN", fldDate}, TFieldSpec{"NOTE", fldBlob, subMemo}};
  if (primary) def.Primary.Fields = {"ID"};
  TIndexSpec name;
  name.Name = "BYNAME";
  name.Fields = {"NAME"};
  def.Secondary = {name};
  return def;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadAll(TBlobStream& s) {
  std::string out(static_cast<size_t>(s.Size()) + 16, '\0');
  out.resize(s.Read(out.data(), static_cast<uint32_t>(out.size())));
  return out;
}

class FieldSurfaceTest : public ::testing::Test {
 protected:
  void Open(TOvrinTable& t, const std::string& name = "notes") {
    t.SetDatabaseName(dir_.Path());
    t.SetTableName(name);
    t.Open();
  }
  // Records named by the texts, each with a note "note of <name>".
  void Fill(TOvrinTable& t, const std::vector<std::string>& names) {
    for (const std::string& n : names) {
      t.Append();
      t.FieldByName("NAME").SetAsString(n);
      t.FieldByName("NOTE").SetAsString("note of " + n);
      t.Post();
    }
  }
  TempDir dir_;
};

// ---------------------------------------------------------------- strings from the file

TEST_F(FieldSurfaceTest, StringWithoutTerminatorInTheFileIsReadUpToItsDeclaredSize) {
  CreateTable(dir_ / "notes", Notes());
  {
    TOvrinTable t;
    Open(t);
    Fill(t, {"ABCDEFGHIJ"});  // the declared size: 10 characters and the zero after them
  }
  // The zero that ends the stored string becomes a letter: every byte up to the stored
  // size is then non-zero.
  std::string bytes = FileBytes(DataFileName(dir_ / "notes"));
  size_t at = bytes.find("ABCDEFGHIJ");
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(bytes[at + 10], '\0');
  bytes[at + 10] = 'K';
  WriteBytes(DataFileName(dir_ / "notes"), bytes);

  TOvrinTable t;
  Open(t);
  TField& name = t.FieldByName("NAME");
  EXPECT_EQ(name.AsString(), "ABCDEFGHIJ");
  EXPECT_EQ(name.AsStringView(), "ABCDEFGHIJ");
  EXPECT_EQ(name.AsBytes(), "ABCDEFGHIJ");
  std::vector<uint8_t> stored;
  ASSERT_TRUE(name.GetData(&stored));
  ASSERT_EQ(stored.size(), 11u);
  EXPECT_EQ(stored[10], 0);
  // The same through a search's result fields.
  auto found = t.Lookup("ID", {TExprValue(int64_t{1})}, "NAME");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ((*found)[0], "ABCDEFGHIJ");
}

// ---------------------------------------------------------------- values without a copy

// Every type next to one another, nulls among them: what a field reads straight from the
// active record must be what it reads through a copy of its stored form.
TTableSpec Mixed() {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 12},
                TFieldSpec{"SMALL", fldSmallInt},         TFieldSpec{"COUNT", fldInteger},
                TFieldSpec{"WORD", fldWord},              TFieldSpec{"RATE", fldFloat},
                TFieldSpec{"PRICE", fldBcd, subNone, 0, 2}, TFieldSpec{"DAY", fldDate},
                TFieldSpec{"DONE", fldBoolean},           TFieldSpec{"NOTE", fldBlob, subMemo}};
  def.Primary.Fields = {"ID"};
  return def;
}

// A field's value read the copying way: its stored form through GetData.
int64_t CopiedInteger(const TField& f) {
  std::vector<uint8_t> v;
  if (!f.GetData(&v)) return 0;
  switch (f.DataType()) {
    case TFieldType::SmallInt: return LoadLEI16(v.data());
    case TFieldType::Word: return LoadLE16(v.data());
    default: return LoadLEI32(v.data());
  }
}

TEST_F(FieldSurfaceTest, ViewsAndFastReadsAgreeWithCopiesForEveryTypeAndNull) {
  CreateTable(dir_ / "mixed", Mixed());
  TOvrinTable t;
  Open(t, "mixed");
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    t.Append();
    // Each field null about one time in four.
    auto set = [&](const char* name, auto&& assign) {
      if (random() % 4) assign(t.FieldByName(name));
    };
    set("NAME", [&](TField& f) { f.SetAsString(std::string(random() % 13, char('a' + random() % 26))); });
    set("SMALL", [&](TField& f) { f.SetAsInteger(int(random() % 65536) - 32768); });
    set("COUNT", [&](TField& f) { f.SetAsInteger(int64_t(random()) - 0x7FFFFFFF); });
    set("WORD", [&](TField& f) { f.SetAsInteger(random() % 65536); });
    set("RATE", [&](TField& f) { f.SetAsFloat(double(random() % 100000) / 7.0); });
    set("PRICE", [&](TField& f) { f.SetAsCurrency(int64_t(random() % 1000000) * 100); });
    set("DAY", [&](TField& f) { f.SetAsDateTime(TDateTime(40000 + random() % 1000)); });
    set("DONE", [&](TField& f) { f.SetAsBoolean(random() % 2); });
    set("NOTE", [&](TField& f) { f.SetAsString("note " + std::to_string(i)); });
    // While inserting, the view reads the buffer being edited.
    EXPECT_EQ(t.FieldByName("NAME").AsStringView(), t.FieldByName("NAME").AsString());
    t.Post();
  }
  const uint8_t* before = nullptr;
  int records = 0;
  for (t.First(); !t.Eof(); t.Next(), ++records) {
    for (int i = 0; i < t.FieldCount(); ++i) {
      TField& f = t.Fields(i);
      SCOPED_TRACE(f.FieldName() + " of record " + std::to_string(records + 1));
      EXPECT_EQ(f.AsStringView(), f.AsString());
      switch (f.DataType()) {
        case TFieldType::SmallInt:
        case TFieldType::Word:
        case TFieldType::Integer:
        case TFieldType::AutoInc: EXPECT_EQ(f.AsInteger(), CopiedInteger(f)); break;
        case TFieldType::Float: {
          std::vector<uint8_t> v;
          EXPECT_EQ(f.AsFloat(), f.GetData(&v) ? LoadLEDouble(v.data()) : 0.0);
          break;
        }
        default: break;
      }
    }
    // A string's view points into the active record itself.
    std::string_view name = t.FieldByName("NAME").AsStringView();
    if (!name.empty()) {
      const uint8_t* at = reinterpret_cast<const uint8_t*>(name.data());
      EXPECT_GE(at, t.ActiveBuffer());
      EXPECT_LT(at, t.ActiveBuffer() + 200);
      EXPECT_NE(t.ActiveBuffer(), before);  // a move puts another record there
    }
    before = t.ActiveBuffer();
  }
  EXPECT_EQ(records, 300);
}

TEST_F(FieldSurfaceTest, ViewsInEditsValidationAndOldValuesReadWhatTheCopyReads) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable t, other;
  t.SetStrictChangeDetection(true);
  Open(t);
  Open(other);
  Fill(t, {"first"});
  t.First();
  other.Refresh();
  other.First();
  other.Edit();
  other.FieldByName("NAME").SetAsString("theirs");
  other.Post();
  TField& name = t.FieldByName("NAME");
  std::vector<std::string> validated;
  std::vector<int32_t> ids;
  name.OnValidate = [&](TField& f) {
    validated.emplace_back(f.AsStringView());
    // Another field read while the handler runs still reads the record being edited.
    ids.push_back(t.FieldByName("ID").AsInteger());
  };
  t.Edit();
  name.SetAsString("mine");
  EXPECT_EQ(validated, std::vector<std::string>{"mine"});
  EXPECT_EQ(ids, std::vector<int32_t>{1});
  EXPECT_EQ(name.AsStringView(), "mine");
  {
    TDataSet::TTempState old(t, TDataSetState::OldValue);
    EXPECT_EQ(name.AsStringView(), "theirs");
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
  }
  name.Clear();
  EXPECT_EQ(name.AsStringView(), "");
  t.Cancel();
  // A type other than a string gives its text, kept by the field.
  EXPECT_EQ(t.FieldByName("ID").AsStringView(), "1");
  EXPECT_EQ(name.AsStringView(), "theirs");  // the cancelled edit re-read the record
}

// ---------------------------------------------------------------- blob streams

TEST_F(FieldSurfaceTest, ReadStreamKeepsReadingTheRecordItWasMadeOnAfterTheCursorMoves) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable t;
  Open(t);
  Fill(t, {"first", "second", "third"});
  t.First();
  auto stream = t.CreateBlobStream(t.FieldByName("NOTE"), TBlobStreamMode::Read);
  t.Next();
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "second");
  EXPECT_EQ(ReadAll(*stream), "note of first");
  stream->Seek(0, 0);
  t.Last();
  char part[4] = {};
  EXPECT_EQ(stream->Read(part, 4), 4u);
  EXPECT_EQ(std::string(part, 4), "note");
  EXPECT_EQ(stream->Size(), 13);
  // Past its end a stream yields what is left, then nothing.
  stream->Seek(-2, 2);
  EXPECT_EQ(stream->Read(part, 4), 2u);
  EXPECT_EQ(stream->Read(part, 4), 0u);
}

TEST_F(FieldSurfaceTest, HundredsOfReadStreamsKeptAcrossMovesLeakNoOpenBlobs) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable t;
  Open(t);
  Fill(t, {"first", "second", "third"});
  std::vector<std::unique_ptr<TBlobStream>> kept;
  std::vector<std::string> expected;
  t.First();
  for (int i = 0; i < 150; ++i) {
    kept.push_back(t.CreateBlobStream(t.FieldByName("NOTE"), TBlobStreamMode::Read));
    expected.push_back("note of " + t.FieldByName("NAME").AsString());
    if (t.Eof()) t.First();
    else t.Next();
    // Every read stream made and freed on the way leaves no open blob behind either.
    EXPECT_EQ(t.FieldByName("NOTE").AsString(), "note of " + t.FieldByName("NAME").AsString()) << i;
  }
  EXPECT_EQ(t.Handle()->Blob()->OpenBlobCount(), 0);
  for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(ReadAll(*kept[i]), expected[i]) << i;
  // A post while the streams live stores the new record's blob and nothing of theirs.
  Fill(t, {"fourth"});
  kept.clear();
  EXPECT_EQ(t.Handle()->Blob()->OpenBlobCount(), 0);
  std::string walk;
  for (t.First(); !t.Eof(); t.Next()) walk += t.FieldByName("NOTE").AsString() + ",";
  EXPECT_EQ(walk, "note of first,note of second,note of third,note of fourth,");
  t.Close();
  EXPECT_TRUE(CheckTable(dir_ / "notes").Ok());
}

TEST_F(FieldSurfaceTest, WriteStreamIsDetachedOnceItsEditIsPosted) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable t;
  Open(t);
  Fill(t, {"first", "second"});
  t.First();
  t.Edit();
  auto stream = t.CreateBlobStream(t.FieldByName("NOTE"), TBlobStreamMode::Write);
  EXPECT_EQ(stream->Write("changed", 7), 7u);
  t.Post();
  // The edit is over: the stream writes and reads nothing, and its end touches nothing.
  EXPECT_EQ(stream->Write("later", 5), 0u);
  EXPECT_EQ(stream->Size(), 0);
  t.Next();
  stream.reset();
  EXPECT_EQ(t.Handle()->Blob()->OpenBlobCount(), 0);
  std::string walk;
  for (t.First(); !t.Eof(); t.Next()) walk += t.FieldByName("NOTE").AsString() + ",";
  EXPECT_EQ(walk, "changed,note of second,");
  // A write stream in browse state is refused.
  EXPECT_EQ(MessageOf([&] { t.CreateBlobStream(t.FieldByName("NOTE"), TBlobStreamMode::Write); }),
            "Dataset not in edit or insert mode");
  t.Close();
  EXPECT_TRUE(CheckTable(dir_ / "notes").Ok());
}

TEST_F(FieldSurfaceTest, ReadStreamInAnEditSeesTheValueBeingWritten) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable t;
  Open(t);
  Fill(t, {"first"});
  t.Edit();
  t.FieldByName("NOTE").SetAsString("edited");
  auto stream = t.CreateBlobStream(t.FieldByName("NOTE"), TBlobStreamMode::Read);
  EXPECT_EQ(ReadAll(*stream), "edited");
  t.Cancel();
  EXPECT_EQ(t.FieldByName("NOTE").AsString(), "note of first");
  stream.reset();
  EXPECT_EQ(t.Handle()->Blob()->OpenBlobCount(), 0);
}

// ---------------------------------------------------------------- set-key state

TEST_F(FieldSurfaceTest, SetKeyStateRefusesFieldsThatAreNotKeysOfTheActiveIndex) {
  for (bool primary : {true, false}) {
    SCOPED_TRACE(primary ? "with a primary index" : "without a primary index");
    TempDir dir;
    CreateTable(dir / "notes", Notes(primary));
    TOvrinTable t;
    t.SetDatabaseName(dir.Path());
    t.SetTableName("notes");
    t.Open();
    Fill(t, {"b", "a"});
    t.SetIndexName("BYNAME");
    t.SetKey();
    EXPECT_EQ(MessageOf([&] { t.FieldByName("BORN").SetAsString("1/2/2000"); }),
              "Field 'BORN' is not indexed and cannot be modified");
    EXPECT_EQ(MessageOf([&] { t.FieldByName("ID").SetAsInteger(1); }),
              "Field 'ID' is not indexed and cannot be modified");
    t.FieldByName("NAME").SetAsString("b");
    t.Post();
    EXPECT_TRUE(t.GotoKey());
    EXPECT_EQ(t.FieldByName("NAME").AsString(), "b");
    if (primary) {
      t.SetIndexName("");
      t.SetKey();
      EXPECT_EQ(MessageOf([&] { t.FieldByName("NAME").SetAsString("a"); }),
                "Field 'NAME' is not indexed and cannot be modified");
      t.FieldByName("ID").SetAsInteger(2);
      t.Post();
      EXPECT_TRUE(t.GotoKey());
      EXPECT_EQ(t.FieldByName("NAME").AsString(), "a");
    }
  }
}

// ---------------------------------------------------------------- old values, validation

TEST_F(FieldSurfaceTest, OldValueRereadsTheCurrentRecordAndCannotBeSet) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable t, other;
  t.SetStrictChangeDetection(true);  // reads see the other cursor's change at once
  Open(t);
  Open(other);
  Fill(t, {"original"});
  t.First();
  other.Refresh();  // opened before the record was added
  other.First();
  other.Edit();
  other.FieldByName("NAME").SetAsString("elsewhere");
  other.Post();
  // The buffer still holds what was read; the old value is the file's record now.
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "original");
  EXPECT_EQ(t.FieldByName("NAME").OldValueAsString(), "elsewhere");
  t.Edit();
  t.FieldByName("NAME").SetAsString("mine");
  EXPECT_EQ(t.FieldByName("NAME").OldValueAsString(), "elsewhere");
  EXPECT_EQ(t.FieldByName("NOTE").OldValueAsString(), "note of original");
  {
    TDataSet::TTempState old(t, TDataSetState::OldValue);
    EXPECT_EQ(t.State(), TDataSetState::OldValue);
    EXPECT_EQ(MessageOf([&] { t.FieldByName("NAME").SetAsString("x"); }), "Field 'NAME' cannot be modified");
  }
  EXPECT_EQ(t.State(), TDataSetState::Edit);
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "mine");
  t.Post();
  // A record being inserted has no old value.
  t.Append();
  EXPECT_EQ(t.FieldByName("NAME").OldValueAsString(), "");
  t.Cancel();
}

TEST_F(FieldSurfaceTest, ValidateHandlerSeesTheNewValueAndMayRefuseIt) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable t;
  Open(t);
  std::vector<std::string> seen;
  t.FieldByName("NAME").OnValidate = [&](TField& f) {
    seen.push_back(f.AsString());
    if (f.AsString() == "bad") throw EDatabaseError("refused");
  };
  t.Append();
  t.FieldByName("NAME").SetAsString("good");
  EXPECT_EQ(MessageOf([&] { t.FieldByName("NAME").SetAsString("bad"); }), "refused");
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "good");
  t.FieldByName("NAME").Clear();
  EXPECT_TRUE(t.FieldByName("NAME").IsNull());
  t.FieldByName("NAME").SetAsString("good");
  t.Post();
  EXPECT_EQ(seen, (std::vector<std::string>{"good", "bad", "", "good"}));
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "good");
}

// ---------------------------------------------------------------- index fields

TEST_F(FieldSurfaceTest, IndexFieldsOfTheActiveIndex) {
  CreateTable(dir_ / "notes", Notes());
  CreateTable(dir_ / "plain", Notes(false));
  TOvrinTable t, plain;
  Open(t);
  Open(plain, "plain");
  EXPECT_EQ(t.IndexFieldCount(), 1);
  EXPECT_TRUE(t.IsIndexField(t.FieldByName("ID")));
  EXPECT_FALSE(t.IsIndexField(t.FieldByName("NAME")));
  EXPECT_EQ(&t.IndexField(0), &t.FieldByName("ID"));
  EXPECT_EQ(MessageOf([&] { t.IndexField(1); }), "Field index out of range");
  EXPECT_EQ(MessageOf([&] { t.IndexField(-1); }), "Field index out of range");
  t.SetIndexName("BYNAME");
  EXPECT_TRUE(t.IsIndexField(t.FieldByName("NAME")));
  EXPECT_FALSE(t.IsIndexField(t.FieldByName("ID")));
  EXPECT_EQ(&t.IndexField(0), &t.FieldByName("NAME"));
  // Record-number order has no key fields.
  EXPECT_EQ(plain.IndexFieldCount(), 0);
  EXPECT_FALSE(plain.IsIndexField(plain.FieldByName("ID")));
  EXPECT_EQ(MessageOf([&] { plain.IndexField(0); }), "Field index out of range");
  plain.SetIndexName("BYNAME");
  EXPECT_EQ(&plain.IndexField(0), &plain.FieldByName("NAME"));
}

TEST_F(FieldSurfaceTest, IndexFieldWithoutAFieldObjectCannotBeAccessed) {
  // A key field of a type that gets no field definition (type code 17).
  TTableSpec def;
  def.Fields = {TFieldSpec{"HIDDEN", 17, subNone, 4}, TFieldSpec{"NAME", fldString, subNone, 10}};
  def.Primary.Fields = {"HIDDEN"};
  CreateTable(dir_ / "hidden", def);
  TOvrinTable t;
  Open(t, "hidden");
  EXPECT_EQ(t.FieldCount(), 1);
  EXPECT_EQ(t.IndexFieldCount(), 1);
  EXPECT_EQ(MessageOf([&] { t.IndexField(0); }), "Cannot access index field 'HIDDEN'");
}

// ---------------------------------------------------------------- small parts of the surface

TEST_F(FieldSurfaceTest, SequencedUnlessFilteredStoreDefsAndTranslate) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable t;
  EXPECT_FALSE(t.StoreDefs());
  t.SetStoreDefs(true);
  EXPECT_TRUE(t.StoreDefs());
  Open(t);
  Fill(t, {"a", "b"});
  EXPECT_TRUE(t.IsSequenced());
  t.SetFilter("NAME = 'a'");
  EXPECT_TRUE(t.IsSequenced());
  t.SetFiltered(true);
  EXPECT_FALSE(t.IsSequenced());
  t.SetFiltered(false);
  EXPECT_TRUE(t.IsSequenced());

  char out[16];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(TDataSet::Translate("\xE4-text", out, true), 6);
  EXPECT_STREQ(out, "\xE4-text");  // unchanged, and ended by a zero
  char same[] = "in place";
  EXPECT_EQ(TDataSet::Translate(same, same, false), 8);
  EXPECT_STREQ(same, "in place");
}

// ---------------------------------------------------------------- field definitions

TEST_F(FieldSurfaceTest, FieldDefinitionsOfStructuredTypes) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger}, TFieldSpec{"OBJ", 20, subNone, 4}, TFieldSpec{"ARR", 21, subNone, 4},
                TFieldSpec{"REF", 22, subNone, 4}, TFieldSpec{"SET", 23, subNone, 4},
                TFieldSpec{"NONE", 24, subNone, 4}};
  CreateTable(dir_ / "kinds", def);
  TOvrinTable t;
  t.SetDatabaseName(dir_.Path());
  t.SetTableName("kinds");
  const std::vector<TFieldDef>& defs = t.FieldDefs();  // read without opening
  ASSERT_EQ(defs.size(), 5u);
  EXPECT_EQ(defs[1].Name, "OBJ");
  EXPECT_EQ(defs[1].DataType, TFieldType::ADT);
  EXPECT_EQ(defs[2].DataType, TFieldType::Array);
  EXPECT_EQ(defs[3].DataType, TFieldType::Reference);
  EXPECT_EQ(defs[4].DataType, TFieldType::DataSet);
  EXPECT_EQ(defs[4].FieldNo, 5);
  EXPECT_EQ(defs[4].Size, 0);
  EXPECT_STREQ(FieldTypeName(defs[1].DataType), "ADT");
  t.Open();
  EXPECT_EQ(t.FieldCount(), 5);
  EXPECT_TRUE(t.FieldByName("SET").IsNull());
}

TEST_F(FieldSurfaceTest, TwoDescriptorsOfOneNameGiveNameAndName_1) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger}, TFieldSpec{"XQ", fldString, subNone, 5}, TFieldSpec{"YQ", fldInteger}};
  CreateTable(dir_ / "twice", def);
  // The descriptor names are short strings (a length byte, then the characters).
  std::string bytes = FileBytes(DataFileName(dir_ / "twice"));
  size_t at = bytes.find(std::string("\x02YQ", 3));
  ASSERT_NE(at, std::string::npos);
  bytes[at + 1] = 'X';
  WriteBytes(DataFileName(dir_ / "twice"), bytes);
  TOvrinTable t;
  Open(t, "twice");
  ASSERT_EQ(t.FieldCount(), 3);
  EXPECT_EQ(t.Fields(1).FieldName(), "XQ");
  EXPECT_EQ(t.Fields(2).FieldName(), "XQ_1");
  EXPECT_EQ(t.Fields(2).DataType(), TFieldType::Integer);
  t.Append();
  t.FieldByName("XQ").SetAsString("text");
  t.FieldByName("XQ_1").SetAsInteger(42);
  t.Post();
  EXPECT_EQ(t.FieldByName("XQ").AsString(), "text");
  EXPECT_EQ(t.FieldByName("XQ_1").AsInteger(), 42);
}

// ---------------------------------------------------------------- bookmarks

TEST_F(FieldSurfaceTest, BookmarksCompareInIndexOrderAndGoStaleWhenTheirRecordIsDeleted) {
  for (bool primary : {true, false}) {
    SCOPED_TRACE(primary ? "key bookmarks" : "record-number bookmarks");
    TempDir dir;
    CreateTable(dir / "notes", Notes(primary));
    TOvrinTable t, other;
    for (TOvrinTable* x : {&t, &other}) {
      x->SetDatabaseName(dir.Path());
      x->SetTableName("notes");
      x->Open();
    }
    Fill(t, {"a", "b", "c"});
    t.First();
    std::vector<uint8_t> first = t.GetBookmark();
    t.Last();
    std::vector<uint8_t> last = t.GetBookmark();
    EXPECT_EQ(first.size(), primary ? first.size() : 4u);
    EXPECT_EQ(t.CompareBookmarks(first, last), -1);
    EXPECT_EQ(t.CompareBookmarks(last, first), 1);
    EXPECT_EQ(t.CompareBookmarks(first, first), 0);
    EXPECT_EQ(t.CompareBookmarks({}, {}), 0);
    EXPECT_EQ(t.CompareBookmarks({}, first), 1);
    EXPECT_EQ(t.CompareBookmarks(first, {}), -1);
    EXPECT_TRUE(t.BookmarkValid(first));
    EXPECT_TRUE(t.BookmarkValid(last));
    // The active record stays where it was.
    EXPECT_EQ(t.FieldByName("NAME").AsString(), "c");
    other.Refresh();  // opened before the records were added
    other.First();
    other.Delete();
    EXPECT_FALSE(t.BookmarkValid(first));
    EXPECT_TRUE(t.BookmarkValid(last));
    t.GotoBookmark(last);
    EXPECT_EQ(t.FieldByName("NAME").AsString(), "c");
    t.Close();
    EXPECT_FALSE(t.BookmarkValid(last));
    EXPECT_EQ(t.CompareBookmarks(first, last), 0);
  }
}

// ---------------------------------------------------------------- change detection, flushing

TEST_F(FieldSurfaceTest, StrictChangeDetectionSeesAnotherCursorsPostAtTheNextMove) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable writer, reader;
  Open(writer);
  Fill(writer, {"a", "b", "c"});
  reader.SetStrictChangeDetection(true);
  EXPECT_TRUE(reader.StrictChangeDetection());
  Open(reader);
  EXPECT_EQ(MessageOf([&] { reader.SetStrictChangeDetection(false); }),
            "Cannot perform this operation on an open dataset");
  reader.First();
  EXPECT_EQ(reader.FieldByName("NAME").AsString(), "a");
  writer.First();
  writer.Next();
  writer.Edit();
  writer.FieldByName("NAME").SetAsString("changed");
  writer.Post();
  writer.Append();
  writer.FieldByName("NAME").SetAsString("d");
  writer.Post();
  reader.Next();
  EXPECT_EQ(reader.FieldByName("NAME").AsString(), "changed");
  std::string rest;
  for (reader.Next(); !reader.Eof(); reader.Next()) rest += reader.FieldByName("NAME").AsString() + ",";
  EXPECT_EQ(rest, "c,d,");
  EXPECT_EQ(reader.RecordCount(), 4);
  // The count alone, with no move between, is of the table as it is now.
  writer.Append();
  writer.FieldByName("NAME").SetAsString("e");
  writer.Post();
  EXPECT_EQ(reader.RecordCount(), 5);
  writer.Last();
  writer.Delete();
  writer.First();
  writer.Delete();
  EXPECT_EQ(reader.RecordCount(), 3);
}

TEST_F(FieldSurfaceTest, ForceBufferFlushOpensTheDataFileWriteThrough) {
  CreateTable(dir_ / "notes", Notes());
  TOvrinTable plain, flushed;
  Open(plain);
  EXPECT_FALSE(plain.Handle()->WriteThrough());
  flushed.SetForceBufferFlush(true);
  EXPECT_TRUE(flushed.ForceBufferFlush());
  Open(flushed);
  EXPECT_TRUE(flushed.Handle()->WriteThrough());
  EXPECT_EQ(MessageOf([&] { flushed.SetForceBufferFlush(false); }), "Cannot perform this operation on an open dataset");
  Fill(flushed, {"a"});
  plain.Refresh();
  EXPECT_EQ(plain.RecordCount(), 1);
}

// ---------------------------------------------------------------- sessions and databases

TEST(FieldSurfaceSessionTest, SessionsWithoutANameNameThemselves) {
  {
    TOvrinSession a, b;
    EXPECT_TRUE(a.AutoSessionName());
    EXPECT_EQ(a.SessionName(), "Session_1");
    EXPECT_EQ(b.SessionName(), "Session_2");
    EXPECT_EQ(Sessions().FindSession("session_2"), &b);
    EXPECT_EQ(MessageOf([&] { a.SetSessionName("Mine"); }), "Cannot perform this operation on the active auto-session.");
    a.SetName("Worker");
    EXPECT_EQ(a.SessionName(), "Worker_1");
    {
      TOvrinSession c;
      EXPECT_EQ(c.SessionName(), "Session_3");
    }
    TOvrinSession d;  // the lowest free number again
    EXPECT_EQ(d.SessionName(), "Session_3");
    b.SetAutoSessionName(false);
    EXPECT_EQ(b.SessionName(), "Session_2");
    b.SetSessionName("Mine");
    TOvrinSession e;
    EXPECT_EQ(e.SessionName(), "Session_2");
    // An automatic name that another session bears already.
    TOvrinSession taken("Session_4");
    EXPECT_EQ(MessageOf([] { TOvrinSession f; }), "Session name Session_4 already exists.");
    EXPECT_EQ(MessageOf([] { TOvrinSession f; }), "Session name Session_4 already exists.");
  }
  TOvrinSession h;
  EXPECT_EQ(h.SessionName(), "Session_1");
}

TEST(FieldSurfaceSessionTest, TableOpensThroughAnAutomaticallyNamedSession) {
  TempDir dir;
  CreateTable(dir / "notes", Notes());
  TOvrinSession session;
  TOvrinTable t;
  t.SetDatabaseName(dir.Path());
  t.SetTableName("notes");
  t.SetSessionName(session.SessionName());
  t.Open();
  EXPECT_TRUE(session.Active());
  EXPECT_EQ(t.Database()->Session(), &session);
  EXPECT_EQ(session.FindDatabase(dir.Path()), t.Database());
  EXPECT_EQ(Sessions().Default().FindDatabase(dir.Path()), nullptr);
  t.Close();
  TOvrinTable stray;
  stray.SetDatabaseName(dir.Path());
  stray.SetTableName("notes");
  stray.SetSessionName("Session_99");
  EXPECT_EQ(MessageOf([&] { stray.Open(); }), "Session name Session_99 is not valid.");
}

TEST(FieldSurfaceSessionTest, AutoSessionRulesForOwnersAndActiveSessions) {
  int owner = 0, second = 0, third = 0;
  TOvrinSession own("", &owner);
  EXPECT_EQ(own.SessionName(), "Session_1");
  EXPECT_EQ(own.Owner(), &owner);
  EXPECT_EQ(MessageOf([&] { TOvrinSession again("Named", &owner); }), "This auto-session already exists.");
  EXPECT_EQ(MessageOf([&] { TOvrinSession again("", &owner); }), "This auto-session already exists.");
  TOvrinSession p("P", &second), q("Q", &second);
  EXPECT_EQ(MessageOf([&] { p.SetAutoSessionName(true); }), "The active auto-session can be the only active session.");
  EXPECT_FALSE(p.AutoSessionName());
  TOvrinSession active("Active", &third);
  active.SetActive(true);
  EXPECT_EQ(MessageOf([&] { active.SetAutoSessionName(true); }), "Cannot perform this operation on an active session.");
  active.SetActive(false);
  active.SetAutoSessionName(true);
  EXPECT_EQ(active.SessionName(), "Session_2");
  // A database given to the owner joins its automatically named session.
  {
    TOvrinDatabase db(nullptr);
    EXPECT_EQ(db.Session(), &Sessions().Default());
    db.SetOwner(&owner);
    EXPECT_EQ(db.Session(), &own);
    EXPECT_EQ(db.SessionName(), "Session_1");
    EXPECT_EQ(own.Databases().size(), 1u);
  }
  EXPECT_TRUE(own.Databases().empty());
  // A session made without a name and then named by hand must have a name to start.
  own.SetAutoSessionName(false);
  own.SetSessionName("");
  EXPECT_EQ(MessageOf([&] { own.SetActive(true); }), "Session name is missing.");
}

TEST(FieldSurfaceSessionTest, FindDatabaseByOwnerAndSharedHandles) {
  TOvrinSession s("Sharing");
  int owner = 0, stranger = 0;
  std::vector<std::pair<TDatabaseEvent, const TOvrinDatabase*>> events;
  s.OnDatabaseEvent = [&](TDatabaseEvent e, TOvrinDatabase& db) { events.push_back({e, &db}); };
  TOvrinDatabase plain(&s), mine(&s);
  mine.SetSessionName("Sharing");
  plain.SetSessionName("Sharing");
  mine.SetOwner(&owner);
  mine.SetHandleShared(true);
  plain.SetHandleShared(true);
  plain.SetDatabaseName("work");
  mine.SetDatabaseName("work");
  EXPECT_EQ(s.FindDatabase("WORK"), &plain);
  EXPECT_EQ(s.FindDatabase("work", &owner), &mine);
  EXPECT_EQ(s.FindDatabase("work", &stranger), &plain);
  EXPECT_EQ(s.FindDatabase("none", &owner), nullptr);
  // Not shared: the owner's database is found by name only.
  mine.SetHandleShared(false);
  EXPECT_EQ(s.FindDatabase("work", &owner), &plain);
  mine.SetHandleShared(true);
  EXPECT_EQ(s.OpenDatabase("work", &owner), &mine);
  EXPECT_EQ(mine.ReferenceCount(), 1);
  // The second shared database takes over the first one's connection.
  events.clear();
  plain.Open();
  EXPECT_TRUE(plain.Connected());
  EXPECT_EQ(plain.Handle(), mine.Handle());
  EXPECT_TRUE(events.empty());
  plain.Close();
  s.CloseDatabase(&mine);
  mine.Close();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], std::make_pair(TDatabaseEvent::Close, static_cast<const TOvrinDatabase*>(&plain)));
  EXPECT_EQ(events[1], std::make_pair(TDatabaseEvent::Close, static_cast<const TOvrinDatabase*>(&mine)));
  // Unshared, each database opens its own connection.
  plain.SetHandleShared(false);
  mine.SetHandleShared(false);
  events.clear();
  mine.SetDatabaseName("mine");
  mine.Open();
  plain.Open();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].first, TDatabaseEvent::Open);
  EXPECT_EQ(events[1].second, &plain);
  plain.Close();
  mine.Close();
  s.OnDatabaseEvent = nullptr;
  s.SetActive(false);
}

}  // namespace
}  // namespace ovrin
