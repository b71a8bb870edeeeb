// The source table object through which the migration reads the old archive's Paradox
// tables: point it at a folder and a table name, open, walk with First, Next and Eof,
// read fields by name, close. Text stays in the archive's code page, as bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/base/errors.h"
#include "main/paradox.h"

namespace hollard {

// An error of the source access layer (a table that cannot be opened or read).
class EDBEngineError : public ovrin::EDatabaseError {
 public:
  using ovrin::EDatabaseError::EDatabaseError;
};

enum class TTableType { Default, Paradox };

class TSourceTable;

class TSourceField {
 public:
  TSourceField(TSourceTable& table, int index) : table_(table), index_(index) {}
  const std::string& FieldName() const;
  uint8_t ParadoxType() const;
  bool IsNull() const;
  // The field's text. An Alpha field's trailing blanks are dropped: the target's string
  // fields keep none, so a login, name or folder read with them would name nothing the
  // target holds (a user 'lee ' was stored as 'lee' beside the 'lee' there, and the
  // revisions it locked found no user).
  std::string AsString() const;
  int32_t AsInteger() const;
  // Days since 30 December 1899, the time of day as fraction.
  double AsDateTime() const;
  bool AsBoolean() const;
  // A blob field's whole content, byte for byte.
  std::string AsBytes() const;
  // A blob's bytes read into the caller's buffer (see TParadoxFile::BlobInto).
  std::string_view BytesInto(std::string& buffer) const;
  void SaveToStream(std::ostream& out) const;

 private:
  TSourceTable& table_;
  int index_;
};

class TSourceTable {
 public:
  void SetDatabaseName(const std::string& folder) { CheckInactive(); databaseName_ = folder; }
  void SetTableName(const std::string& name) { CheckInactive(); tableName_ = name; }
  void SetTableType(TTableType type) { CheckInactive(); tableType_ = type; }
  const std::string& DatabaseName() const { return databaseName_; }
  const std::string& TableName() const { return tableName_; }

  // Finds <folder>/<name>.DB and its .MB under any letter case. A failure is
  // EDBEngineError naming the file and the reason.
  void Open();
  void Close();
  bool Active() const { return file_.IsOpen(); }

  void First();
  void Next();
  bool Eof() const;
  int32_t RecordCount() const;
  // "Field '%s' not found" for a name the table lacks.
  TSourceField& FieldByName(const std::string& name);
  const std::vector<TParadoxField>& Fields() const;
  // The number of the current record, from 0.
  int32_t Current() const { return current_; }
  TParadoxFile& File();

 private:
  void CheckActive() const;
  void CheckInactive() const;
  std::string databaseName_, tableName_;
  TTableType tableType_ = TTableType::Paradox;
  TParadoxFile file_;
  int32_t current_ = 0;
  std::vector<std::unique_ptr<TSourceField>> fields_;
};

}  // namespace hollard
