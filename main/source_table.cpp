#include "main/source_table.h"

#include "engine/base/conversions.h"
#include "engine/base/platform.h"
#include "engine/table/dataset.h"

namespace hollard {

using namespace ovrin;

void TSourceTable::CheckActive() const {
  if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
}

void TSourceTable::CheckInactive() const {
  if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
}

void TSourceTable::Open() {
  if (Active()) return;
  if (TrimChar(tableName_, ' ').empty()) DatabaseError("Missing table name.");
  std::string folder = databaseName_;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::string base = folder + RemoveExtension(tableName_);
  std::string db = Platform().ResolveExisting(base + ".DB");
  if (db.empty()) throw EDBEngineError("Table does not exist: " + base + ".DB");
  std::string mb = Platform().ResolveExisting(base + ".MB");
  try {
    file_.Open(db, mb);
  } catch (const EParadoxError& e) {
    throw EDBEngineError(e.Message());
  }
  fields_.clear();
  for (size_t i = 0; i < file_.Fields().size(); ++i) fields_.push_back(std::make_unique<TSourceField>(*this, static_cast<int>(i)));
  current_ = 0;
}

void TSourceTable::Close() {
  file_.Close();
  fields_.clear();
  current_ = 0;
}

void TSourceTable::First() {
  CheckActive();
  current_ = 0;
}

void TSourceTable::Next() {
  CheckActive();
  if (current_ < file_.RecordCount()) ++current_;
}

bool TSourceTable::Eof() const {
  CheckActive();
  return current_ >= file_.RecordCount();
}

int32_t TSourceTable::RecordCount() const {
  CheckActive();
  return file_.RecordCount();
}

const std::vector<TParadoxField>& TSourceTable::Fields() const {
  CheckActive();
  return file_.Fields();
}

TParadoxFile& TSourceTable::File() {
  CheckActive();
  return file_;
}

TSourceField& TSourceTable::FieldByName(const std::string& name) {
  CheckActive();
  int i = file_.FieldIndex(name);
  if (i < 0) DatabaseErrorFmt("Field '%s' not found", name);
  return *fields_[static_cast<size_t>(i)];
}

namespace {
// Reads a value of the current record; past the end there is none.
template <typename F>
auto Read(TSourceTable& table, F&& read) -> decltype(read(0)) {
  if (table.Eof()) DatabaseError("Cannot perform this operation on an empty dataset");
  try {
    return read(table.Current());
  } catch (const EParadoxError& e) {
    throw EDBEngineError(e.Message());
  }
}
}  // namespace

const std::string& TSourceField::FieldName() const { return table_.Fields()[static_cast<size_t>(index_)].name; }

uint8_t TSourceField::ParadoxType() const { return table_.Fields()[static_cast<size_t>(index_)].type; }

bool TSourceField::IsNull() const {
  return Read(table_, [&](int32_t r) { return table_.File().IsNull(r, index_); });
}

std::string TSourceField::AsString() const {
  std::string text = Read(table_, [&](int32_t r) { return table_.File().Text(r, index_); });
  if (ParadoxType() == pxAlpha) text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

int32_t TSourceField::AsInteger() const {
  int64_t v = Read(table_, [&](int32_t r) { return table_.File().Integer(r, index_); });
  if (v < INT32_MIN || v > INT32_MAX) throw EConvertError("'" + std::to_string(v) + "' is not a valid integer value");
  return static_cast<int32_t>(v);
}

double TSourceField::AsDateTime() const {
  return Read(table_, [&](int32_t r) { return table_.File().DateTime(r, index_); });
}

bool TSourceField::AsBoolean() const {
  return Read(table_, [&](int32_t r) { return table_.File().Logical(r, index_); });
}

std::string TSourceField::AsBytes() const {
  return Read(table_, [&](int32_t r) { return table_.File().Blob(r, index_); });
}

std::string_view TSourceField::BytesInto(std::string& buffer) const {
  return Read(table_, [&](int32_t r) { return table_.File().BlobInto(r, index_, buffer); });
}

void TSourceField::SaveToStream(std::ostream& out) const {
  std::string bytes = AsBytes();
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace hollard
