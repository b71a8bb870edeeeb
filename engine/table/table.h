// The engine as its users see it: sessions and databases, the table cursor with its
// fields and blob streams, editing, and the engine exception.
//
//   TOvrinTable table;
//   table.SetDatabaseName("/archive");     // a folder: a temporary database is made
//   table.SetTableName("users");
//   table.Open();
//   table.Append();
//   table.FieldByName("LOGIN").SetAsString("ada");
//   table.Post();
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/data/data_file.h"
#include "engine/table/dataset.h"
#include "engine/table/filter_expr.h"
#include "engine/table/session.h"

namespace ovrin {

struct TIndexDefInfo {
  std::string Name;    // empty for the primary index
  std::string Fields;  // field names separated by ';'
  bool Primary = false;
  bool Unique = false;
  bool Descending = false;
  bool CaseInsensitive = false;
  uint8_t Compression = 0;
};

// Options of Locate: letter case ignored; a last string field matched as a prefix.
struct TLocateOptions {
  bool caseInsensitive = false;
  bool partialKey = false;
};

class TOvrinTable : public TDataSet {
 public:
  TOvrinTable();
  ~TOvrinTable() override;

  // ---- properties (names, modes and files only while closed)
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& name);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool on);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool on);
  bool InMemory() const { return inMemory_; }
  void SetInMemory(bool on);
  bool StrictChangeDetection() const { return strict_; }
  void SetStrictChangeDetection(bool on);
  bool ForceBufferFlush() const { return forceFlush_; }
  void SetForceBufferFlush(bool on);
  // May change while open: the next lock attempt uses the new value.
  uint8_t LockRetryCount() const { return lockRetryCount_; }
  void SetLockRetryCount(uint8_t count);
  int16_t LockWaitTime() const { return lockWaitTime_; }
  void SetLockWaitTime(int16_t ms);
  std::string EngineVersion() const { return "1.19"; }

  // Index selection by name, or by a list of field names separated by ';'.
  std::string IndexName() const { return indexIsFields_ ? std::string() : index_; }
  void SetIndexName(const std::string& name);
  std::string IndexFieldNames() const { return indexIsFields_ ? index_ : std::string(); }
  void SetIndexFieldNames(const std::string& fields);
  const std::vector<TIndexDefInfo>& IndexDefs();
  void UpdateIndexDefs();
  // The key field names of the active index (none in natural order).
  std::vector<std::string> IndexKeyFields();

  // ---- cursor
  int32_t RecordCount() override;
  int32_t RecNo() override;
  void SetRecNo(int32_t n) override;
  int CompareBookmarks(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) override;
  bool BookmarkValid(const std::vector<uint8_t>& bookmark) override;
  std::unique_ptr<TBlobStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;
  TDataFile* Handle() { return handle_.get(); }
  // The table's change counter as its data file holds it now (see TDataFile); a caller
  // that keeps what it read from the table can tell from it, in one read, that nobody
  // changed the table since.
  uint32_t StoredChangeCounter();
  TOvrinDatabase* Database() { return database_; }

  bool GetFieldData(const TField& field, uint8_t* out) override;
  void SetFieldData(TField& field, const uint8_t* value) override;

  // The key fields of the active index: how many (0 in record-number order), whether a
  // field is one, and the field object of the i-th ("Field index out of range";
  // "Cannot access index field '%s'" when the key field has no field object).
  int IndexFieldCount();
  bool IsIndexField(const TField& field);
  TField& IndexField(int i);
  bool IsSequenced() override;
  // Whether the table's definitions are kept with it (a property only).
  bool StoreDefs() const { return storeDefs_; }
  void SetStoreDefs(bool on) { storeDefs_ = on; }

  // ---- filters: an expression text and a per-record handler, both applied while
  // Filtered is set. Setting one on an open dataset compiles it first, so that a text
  // that does not parse leaves the filter as it was.
  const std::string& Filter() const { return filterText_; }
  void SetFilter(const std::string& text);
  // foCaseInsensitive, foNoPartialCompare.
  uint32_t FilterOptions() const { return filterOptions_; }
  void SetFilterOptions(uint32_t options);
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool on);
  using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;
  const TFilterRecordEvent& OnFilterRecord() const { return onFilterRecord_; }
  void SetOnFilterRecord(TFilterRecordEvent handler);
  // The data file's handles of the two filters (0: none), for tests.
  int ExpressionFilterHandle() const { return exprHandle_; }
  int CallbackFilterHandle() const { return callbackHandle_; }

  // ---- searches
  // Makes the first record (in the active index's order) whose fields hold the values
  // current; fields separated by ';', one value per field. With partialKey a last string
  // field matches the records whose value begins with the text.
  bool Locate(const std::string& fields, const std::vector<TExprValue>& values, TLocateOptions options = {});
  // The result fields' values (as text) of the first matching record, without moving;
  // nothing when no record matches.
  std::optional<std::vector<std::string>> Lookup(const std::string& fields, const std::vector<TExprValue>& values,
                                                 const std::string& resultFields);
  // The first, next, prior or last record that passes the filters, also when Filtered
  // is not set (the filters then apply for the search only).
  bool FindFirst() { return FindRecord(true, true); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  bool FindLast() { return FindRecord(true, false); }
  bool Found() const { return found_; }
  // How the last search found its record: "index", "lookup" or "filter" (for tests).
  const std::string& LastSearchPath() const { return lastSearchPath_; }

  // ---- key buffers and ranges: SetRangeStart and SetRangeEnd (cleared first) or
  // EditRangeStart and EditRangeEnd put the dataset in set-key state, where the fields
  // of the active index's leading keys are assigned; Post keeps them, Cancel drops them.
  // ApplyRange limits the cursor to the keys between the two (both inclusive; a side
  // with no field assigned has no bound). SetKey, EditKey and GotoKey do the same for a
  // search key.
  void SetRangeStart() { EnterKeyState(kRangeStartKey, true); }
  void SetRangeEnd() { EnterKeyState(kRangeEndKey, true); }
  void EditRangeStart() { EnterKeyState(kRangeStartKey, false); }
  void EditRangeEnd() { EnterKeyState(kRangeEndKey, false); }
  void ApplyRange();
  void CancelRange();
  void SetKey() { EnterKeyState(kLookupKey, true); }
  void EditKey() { EnterKeyState(kLookupKey, false); }
  // The record with the search key (GotoKey), or the nearest one (GotoNearest).
  bool GotoKey();
  void GotoNearest();

  // ---- master/detail: with a master data source and its fields (separated by ';'), the
  // table shows the records whose leading keys of the active index equal the master's
  // fields, following the master's moves; a new record takes the master's values.
  TDataSource* MasterSource() const;
  // "Circular datalinks are not allowed" for a source that leads back to this table.
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return masterFields_; }
  void SetMasterFields(const std::string& fields);

  // The record buffer of the active record (for blob streams and tests).
  uint8_t* ActiveBuffer() { return buffer_.data(); }

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  void InternalFieldsReady() override;
  void InternalOpened() override;
  void InternalNewRecord() override;
  void InternalFirst() override;
  void InternalLast() override;
  uint16_t GetRecord(int mode) override;
  void InternalInitRecord() override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalRefresh() override;
  std::vector<uint8_t> CurrentBookmark() override;
  void InternalGotoBookmark(const std::vector<uint8_t>& bookmark) override;
  void InternalLoadFieldDefs(std::vector<TFieldDef>& defs) override;

 private:
  friend class TOvrinBlobStream;
  void CheckInactive() const;
  std::string TablePath() const;
  std::unique_ptr<TDataFile> MakeDataFile(bool exclusive) const;
  std::string ResolveIndexName();
  void SwitchIndex();
  void AcquireDatabase();
  void ReleaseDatabase();
  TOvrinSession& Session() const;
  bool StoredFieldData(const TField& field, const uint8_t* record, uint8_t* out);
  // The current record read again into the old-value buffer; false without one.
  bool ReadOldValueRecord();
  int IndexFieldNumber(int i);
  // The field whose validate handler runs, and the value it is about to take.
  struct TValidating {
    const TField* field;
    const uint8_t* value;
    TValidating* outer;
  };
  TValidating* validating_ = nullptr;
  std::vector<uint8_t> oldValue_;
  bool storeDefs_ = false;
  enum { kLookupKey, kRangeStartKey, kRangeEndKey, kCurrentRangeStart, kCurrentRangeEnd, kSaveKey, kKeyBuffers };
  struct TKeyBuffer {
    bool modified = false;
    bool exclusive = false;
    int fieldCount = 0;
    std::vector<uint8_t> record;
    bool operator==(const TKeyBuffer&) const = default;
  };
  void EnterKeyState(int which, bool clear);
  void InternalPostKey() override;
  void InternalCancelKey() override;
  void ResetKeyBuffers();
  // The record buffer fields read and write in the current state.
  uint8_t* StateBuffer();
  std::vector<TField*> ResolveFields(const std::string& names);
  const TIndexDefInfo* ActiveIndexDef();
  class TMasterLink;
  bool MasterLinked() const;
  std::vector<TField*> MasterFieldList() const;
  void ApplyDetailRange();
  void TakeMasterValues(bool forRange);
  void MasterActiveChanged();
  void MasterRecordChanged(const TField* field);
  bool SearchRecord(const std::vector<TField*>& fields, const std::vector<TExprValue>& values, bool move,
                    TLocateOptions options, std::vector<uint8_t>* found);
  bool IndexServes(const TIndexDefInfo& def, const std::vector<TField*>& fields, bool caseInsensitive) const;
  TDataFile* LookupCursor(const std::vector<TField*>& fields, bool caseInsensitive);
  void DropLookupCursor();
  bool FindRecord(bool restart, bool forward);
  // Runs f in filter state on another record buffer, whose fields it reads and writes.
  template <typename F>
  void Judging(uint8_t* record, F&& f);
  int CompileFilter(const std::string& text, uint32_t options);
  int RegisterCallbackFilter();
  // Puts a new handle in the old one's place, active when Filtered is set.
  void ReplaceFilter(int* handle, int replacement);
  void ActivateFilters();
  void DeactivateFilters();

  std::unique_ptr<TDataFile> handle_;
  TOvrinDatabase* database_ = nullptr;
  std::string databaseName_, sessionName_, tableName_;
  std::string index_;
  bool indexIsFields_ = false;
  bool exclusive_ = false, readOnly_ = false, inMemory_ = false, strict_ = false, forceFlush_ = false;
  uint8_t lockRetryCount_ = 15;
  int16_t lockWaitTime_ = 100;
  std::vector<TIndexDefInfo> indexDefs_;
  bool indexDefsValid_ = false;
  std::vector<uint8_t> buffer_;      // the active record
  std::vector<uint8_t> spare_;       // the next record while it is read, then swapped in
  // Tells each field object where its value lies in the active record, for reads without
  // a copy: once the field objects exist.
  void BuildViewPlans();
  std::vector<uint8_t> bookmark_;    // of the active record
  int32_t recNo_ = -1;
  // Which record the active one is: its place and record identifier as read. Edit,
  // Post and Delete act on that record and no other; when it has gone they raise 8710.
  int32_t activeNumber_ = 0, activeIdentifier_ = 0;
  int32_t editNumber_ = 0;  // the place Edit locked, released by Post and Cancel
  std::string filterText_;
  uint32_t filterOptions_ = 0;
  bool filtered_ = false;
  TFilterRecordEvent onFilterRecord_;
  int exprHandle_ = 0, callbackHandle_ = 0;
  const uint8_t* judged_ = nullptr;  // the record a filter judges, in filter state
  uint8_t* judgedWrite_ = nullptr;   // the record a search fills, in filter state
  std::unique_ptr<TDataFile> lookupCursor_;
  std::vector<uint8_t> fieldScratch_;  // a field's stored bytes while they are read
  std::string lookupFields_;
  bool lookupCaseInsensitive_ = false;
  bool found_ = false;
  std::string lastSearchPath_;
  TKeyBuffer keyBuffers_[kKeyBuffers];
  std::unique_ptr<TMasterLink> masterLink_;
  std::string masterFields_;
  bool inDetailRange_ = false;
  int activeKey_ = kLookupKey;
};

// A stream over one blob field of a table's active record. A read stream reads the blob
// as it was when the stream was made, also after the cursor has moved on; a write or
// read-write stream works on the record being edited and does nothing once that edit is
// posted or cancelled.
class TOvrinBlobStream : public TBlobStream {
 public:
  TOvrinBlobStream(TOvrinTable& table, TField& field, TBlobStreamMode mode);
  ~TOvrinBlobStream() override;
  uint32_t Read(void* buffer, uint32_t count) override;
  uint32_t Write(const void* buffer, uint32_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override;
  void Truncate() override;

 private:
  // Copies the field's blob of a record image into the stream.
  void TakeSnapshot(const std::vector<uint8_t>& record);
  // A writing stream still works on the edit it was made in.
  bool Attached() const;
  TOvrinTable& table_;
  TField& field_;
  uint64_t editSerial_;
  bool opened_ = false;
  bool modified_ = false;
  bool snapshot_ = false;     // a read stream: reads its own copy of the blob
  std::vector<uint8_t> bytes_;
  int64_t position_ = 0;
};

}  // namespace ovrin
