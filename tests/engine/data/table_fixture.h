// A table for record storage tests: ID autoincrement (primary), NAME string[30]
// (case-insensitive, non-unique, full compression), AGE small integer (non-unique),
// PRICE BCD with 2 decimals, NOTE memo; or the same without primary index.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "engine/base/coding.h"
#include "engine/base/conversions.h"
#include "engine/data/data_file.h"
#include "engine/data/table_create.h"
#include "tests/support/temp_dir.h"

namespace ovrin::test {

enum Field { kId = 1, kName = 2, kAge = 3, kPrice = 4, kNote = 5 };

inline TTableSpec PeopleTable(bool primary = true, std::string minPrice = "", bool nameRequired = false) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 30, 0, nameRequired},
                TFieldSpec{"AGE", fldSmallInt, subNone, 0, 0, false, "0", "150"},
                TFieldSpec{"PRICE", fldBcd, subNone, 0, 2, false, minPrice}, TFieldSpec{"NOTE", fldBlob, subMemo}};
  if (primary) def.Primary.Fields = {"ID"};
  TIndexSpec name;
  name.Name = "NAME";
  name.Fields = {"NAME"};
  name.CaseInsensitive = true;
  name.Compression = 3;
  TIndexSpec age;
  age.Name = "AGE";
  age.Fields = {"AGE"};
  def.Secondary = {name, age};
  return def;
}

// A record being edited, with typed setters over the storage layer's byte values.
class Editor {
 public:
  explicit Editor(TDataFile& file) : file_(file), buffer_(file.LogicalRecordSize()) { file_.InitRecord(buffer_.data()); }
  uint8_t* Data() { return buffer_.data(); }
  Editor& Name(const std::string& v) {
    file_.SetFieldValue(kName, reinterpret_cast<const uint8_t*>(v.c_str()), false, buffer_.data());
    return *this;
  }
  Editor& Age(int16_t v) {
    uint8_t b[2];
    StoreLE16(b, static_cast<uint16_t>(v));
    file_.SetFieldValue(kAge, b, false, buffer_.data());
    return *this;
  }
  Editor& Price(int64_t tenThousandths) {
    uint8_t b[8];
    StoreLE64(b, static_cast<uint64_t>(CurrencyToBcd(2, tenThousandths)));
    file_.SetFieldValue(kPrice, b, false, buffer_.data());
    return *this;
  }
  Editor& Note(const std::string& text) {
    uint32_t size = 0;
    EXPECT_EQ(file_.TruncateBlob(kNote, buffer_.data(), 0), 0);
    if (!text.empty()) {
      EXPECT_EQ(file_.WriteBlob(kNote, buffer_.data(), 0, static_cast<uint32_t>(text.size()), text.data()), 0);
    }
    EXPECT_EQ(file_.BlobSize(kNote, buffer_.data(), &size), 0);
    return *this;
  }
  Editor& Null(int field) {
    file_.SetFieldValue(field, nullptr, false, buffer_.data());
    return *this;
  }

 private:
  TDataFile& file_;
  std::vector<uint8_t> buffer_;
};

// Typed reads of a record buffer.
inline std::string NameOf(const TDataFile& f, const uint8_t* r) {
  uint8_t v[31];
  if (f.GetFieldValue(kName, v, r)) return "";
  return std::string(reinterpret_cast<const char*>(v));
}
inline int16_t AgeOf(const TDataFile& f, const uint8_t* r) {
  uint8_t v[2];
  f.GetFieldValue(kAge, v, r);
  return LoadLEI16(v);
}
inline int32_t IdOf(const uint8_t* r) { return LoadLEI32(r + 5); }
inline std::string NoteOf(TDataFile& f, const uint8_t* r) {
  std::vector<uint8_t> copy(r, r + f.LogicalRecordSize());
  uint32_t size = 0;
  f.BlobSize(kNote, copy.data(), &size);
  std::string text(size, '\0');
  uint32_t read = 0;
  if (size) f.ReadBlob(kNote, copy.data(), 0, size, text.data(), &read);
  f.CloseBlobs(copy.data());
  return text;
}

class TableFixture {
 public:
  explicit TableFixture(TTableSpec def = PeopleTable()) {
    path_ = dir_ / "people";
    CreateTable(path_, def);
  }
  std::unique_ptr<TDataFile> Open(bool exclusive = false, bool readOnly = false) {
    auto f = std::make_unique<TDataFile>();
    f->SetFileName(path_);
    f->SetExclusive(exclusive);
    f->SetReadOnly(readOnly);
    f->Open();
    return f;
  }
  const std::string& Path() const { return path_; }
  const TempDir& Dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string path_;
};

// n records named name1.. with a memo of 600 + i bytes each.
inline void Fill(TableFixture& fx, int n) {
  auto file = fx.Open();
  for (int i = 1; i <= n; ++i) {
    Editor e(*file);
    e.Name("name" + std::to_string(i)).Age(static_cast<int16_t>(i % 100)).Note(std::string(600 + i, 'n'));
    file->AppendRecord(e.Data());
  }
}

// Takes the key of the index's first record out of the index behind the table's back.
inline void DropFirstKey(TableFixture& fx, const std::string& index) {
  auto file = fx.Open();
  file->SelectIndex(index);
  file->First();
  std::vector<uint8_t> r(file->LogicalRecordSize());
  ASSERT_EQ(file->GetNextRecord(r.data()), 0);
  std::vector<uint8_t> key = file->Index().CurrentKey();
  file->Index().DeleteKey(file->Index().SelectedSlot(), key.data());
  file->Index().UnpinAll();
  file->Index().FlushPages();
  file->Index().WriteHeader(true);
}

// Overwrites bytes of a file in place (to damage a table on purpose).
inline void Patch(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace ovrin::test
