#include "engine/table/table.h"

#include "engine/table/filter_expr.h"

#include <algorithm>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/conversions.h"
#include "engine/data/table_create.h"

namespace ovrin {

namespace {

TFieldType DataSetType(const TFieldDescriptor& d) {
  switch (d.Type()) {
    case fldString: return TFieldType::String;
    case fldDate: return TFieldType::Date;
    case fldBlob:
      switch (d.SubType()) {
        case subMemo: return TFieldType::Memo;
        case subFormattedMemo: return TFieldType::FmtMemo;
        case subGraphic: return TFieldType::Graphic;
        case subTypedBinary: return TFieldType::TypedBinary;
        default: return TFieldType::Blob;
      }
    case fldBoolean: return TFieldType::Boolean;
    case fldSmallInt: return TFieldType::SmallInt;
    case fldInteger: return d.SubType() == subAutoInc ? TFieldType::AutoInc : TFieldType::Integer;
    case fldFloat: return d.SubType() == subMoney ? TFieldType::Currency : TFieldType::Float;
    case fldBcd: return TFieldType::BCD;
    case fldBytes: return TFieldType::Bytes;
    case fldTime: return TFieldType::Time;
    case fldTimeStamp: return TFieldType::DateTime;
    case fldWord: return TFieldType::Word;
    case fldUnsigned: return TFieldType::Integer;
    case fldVarBytes: return TFieldType::VarBytes;
    case 18:
    case 19: return TFieldType::LargeInt;
    case 20: return TFieldType::ADT;
    case 21: return TFieldType::Array;
    case 22: return TFieldType::Reference;
    case 23: return TFieldType::DataSet;
    default: return TFieldType::Unknown;
  }
}

std::vector<std::string> SplitFields(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = list.find(';', start);
    std::string part = TrimChar(list.substr(start, end == std::string::npos ? std::string::npos : end - start), ' ');
    if (!part.empty()) out.push_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace

TOvrinTable::TOvrinTable() = default;

TOvrinTable::~TOvrinTable() {
  try {
    Close();
  } catch (...) {
  }
}

void TOvrinTable::CheckInactive() const {
  if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
}

void TOvrinTable::SetDatabaseName(const std::string& name) {
  CheckInactive();
  databaseName_ = name;
  fieldDefsValid_ = indexDefsValid_ = false;
}

void TOvrinTable::SetSessionName(const std::string& name) {
  CheckInactive();
  sessionName_ = name;
  fieldDefsValid_ = indexDefsValid_ = false;
}

void TOvrinTable::SetTableName(const std::string& name) {
  CheckInactive();
  tableName_ = name;
  fieldDefsValid_ = indexDefsValid_ = false;
}

void TOvrinTable::SetExclusive(bool on) {
  CheckInactive();
  exclusive_ = on;
}
void TOvrinTable::SetReadOnly(bool on) {
  CheckInactive();
  readOnly_ = on;
}
void TOvrinTable::SetInMemory(bool on) {
  CheckInactive();
  inMemory_ = on;
}
void TOvrinTable::SetStrictChangeDetection(bool on) {
  CheckInactive();
  strict_ = on;
}
void TOvrinTable::SetForceBufferFlush(bool on) {
  CheckInactive();
  forceFlush_ = on;
}
void TOvrinTable::SetLockRetryCount(uint8_t count) {
  lockRetryCount_ = count;
  if (handle_) handle_->SetLockRetryCount(count);
}
void TOvrinTable::SetLockWaitTime(int16_t ms) {
  lockWaitTime_ = ms;
  if (handle_) handle_->SetLockWaitTime(static_cast<uint16_t>(std::max<int16_t>(ms, 0)));
}

TOvrinSession& TOvrinTable::Session() const {
  return database_ ? *database_->Session() : Sessions().GetSession(sessionName_);
}

void TOvrinTable::AcquireDatabase() {
  if (database_) return;
  TOvrinSession& session = Sessions().GetSession(sessionName_);
  TSessionScope scope(session);
  database_ = session.OpenDatabase(databaseName_, nullptr);
  database_->AddDataSet(this);
}

void TOvrinTable::ReleaseDatabase() {
  if (!database_) return;
  TOvrinDatabase* db = database_;
  database_ = nullptr;
  db->RemoveDataSet(this);
  db->Session()->CloseDatabase(db);
}

std::string TOvrinTable::TablePath() const {
  std::string dir = TrimChar(database_ ? database_->Directory() : std::string(), ' ');
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return (dir + tableName_).substr(0, 255);
}

std::unique_ptr<TDataFile> TOvrinTable::MakeDataFile(bool exclusive) const {
  auto file = std::make_unique<TDataFile>();
  file->SetFileName(TablePath());
  file->SetExclusive(exclusive);
  file->SetReadOnly(readOnly_);
  file->SetInMemory(inMemory_);
  file->SetStrictChangeDetection(strict_);
  file->SetForceBufferFlush(forceFlush_);
  file->SetLockRetryCount(lockRetryCount_);
  file->SetLockWaitTime(static_cast<uint16_t>(std::max<int16_t>(lockWaitTime_, 0)));
  TOvrinSession* session = database_ ? database_->Session() : nullptr;
  file->SetPasswordCallback([session](TDataFile&) { return session && session->AskPassword(); });
  return file;
}

void TOvrinTable::InternalOpen() {
  if (TrimChar(tableName_, ' ').empty()) DatabaseError("Missing table name.");
  AcquireDatabase();
  try {
    TSessionScope scope(Session());
    indexDefsValid_ = false;
    std::string indexName = ResolveIndexName();
    auto file = MakeDataFile(exclusive_);
    file->Open();
    file->SetPasswordCallback(nullptr);
    if (file->ReadOnly()) readOnly_ = true;
    file->SelectIndex(indexName);
    handle_ = std::move(file);
    buffer_.assign(handle_->LogicalRecordSize(), 0);
    ResetKeyBuffers();
    bookmark_.clear();
    recNo_ = -1;
    SetCanModify(!readOnly_);
    fieldDefsValid_ = false;
    handle_->First();
  } catch (...) {
    handle_.reset();
    exprHandle_ = callbackHandle_ = 0;
    ReleaseDatabase();
    throw;
  }
}

void TOvrinTable::InternalClose() {
  exprHandle_ = callbackHandle_ = 0;  // the data file frees its filters as it closes
  viewRecord_ = nullptr;
  DropLookupCursor();
  if (handle_) {
    TSessionScope scope(Session());
    handle_->Close();
    handle_.reset();
  }
  buffer_.clear();
  bookmark_.clear();
  SetCanModify(false);
  ReleaseDatabase();
}

void TOvrinTable::InternalLoadFieldDefs(std::vector<TFieldDef>& defs) {
  std::vector<TFieldDescriptor> descriptors;
  if (handle_) {
    descriptors = handle_->Fields();
  } else {
    if (TrimChar(tableName_, ' ').empty()) DatabaseError("Missing table name.");
    bool hadDatabase = database_ != nullptr;
    AcquireDatabase();
    try {
      TSessionScope scope(Session());
      auto file = MakeDataFile(false);
      file->Open();
      descriptors = file->Fields();
    } catch (...) {
      if (!hadDatabase) ReleaseDatabase();
      throw;
    }
    if (!hadDatabase) ReleaseDatabase();
  }
  for (const TFieldDescriptor& d : descriptors) {
    TFieldType type = DataSetType(d);
    if (type == TFieldType::Unknown) continue;
    TFieldDef def;
    def.Name = d.Name();
    auto taken = [&](const std::string& n) {
      return std::any_of(defs.begin(), defs.end(), [&](const TFieldDef& x) { return AsciiEqualNoCase(x.Name, n); });
    };
    for (int counter = 1; taken(def.Name); ++counter) def.Name = d.Name() + "_" + std::to_string(counter);
    def.FieldNo = d.FieldNumber();
    def.DataType = type;
    def.Size = type == TFieldType::String || type == TFieldType::Bytes || type == TFieldType::VarBytes
                   ? d.DeclaredSize()
                   : (type == TFieldType::BCD ? d.DeclaredDecimals() : 0);
    def.Precision = type == TFieldType::BCD ? 20 : 0;
    def.Required = d.Required();
    defs.push_back(def);
  }
}

// ---------------------------------------------------------------- indexes

void TOvrinTable::UpdateIndexDefs() {
  indexDefs_.clear();
  auto describe = [&](TDataFile& file) {
    TIndexFile& index = file.Index();
    TIndexHeader& h = index.Header();
    for (int slot : index.UsedSlots()) {
      if (slot == idxfmt::kDeletedSlot) continue;
      TIndexDescriptor d = h.Slot(slot);
      TIndexDefInfo info;
      info.Name = slot == 0 ? std::string() : d.Name();
      info.Primary = slot == 0;
      info.Unique = slot == 0 || d.Unique();
      info.Descending = d.Descending();
      info.CaseInsensitive = d.CaseInsensitive();
      info.Compression = d.Compression();
      for (int i = 0; i < d.FieldCount(); ++i) {
        if (i) info.Fields += ";";
        info.Fields += file.FieldByNumber(d.FieldNumber(i)).Name();
      }
      indexDefs_.push_back(info);
    }
  };
  if (handle_) {
    describe(*handle_);
  } else {
    if (TrimChar(tableName_, ' ').empty()) DatabaseError("Missing table name.");
    bool hadDatabase = database_ != nullptr;
    AcquireDatabase();
    try {
      TSessionScope scope(Session());
      auto file = MakeDataFile(false);
      file->Open();
      describe(*file);
    } catch (...) {
      if (!hadDatabase) ReleaseDatabase();
      throw;
    }
    if (!hadDatabase) ReleaseDatabase();
  }
  indexDefsValid_ = true;
}

const std::vector<TIndexDefInfo>& TOvrinTable::IndexDefs() {
  if (!indexDefsValid_) UpdateIndexDefs();
  return indexDefs_;
}

std::string TOvrinTable::ResolveIndexName() {
  if (!indexIsFields_) return index_;
  std::vector<std::string> wanted = SplitFields(index_);
  for (const TIndexDefInfo& def : IndexDefs()) {
    std::vector<std::string> have = SplitFields(def.Fields);
    if (have.size() != wanted.size()) continue;
    bool same = true;
    for (size_t i = 0; i < have.size(); ++i) same = same && AsciiEqualNoCase(have[i], wanted[i]);
    if (same) return def.Name;
  }
  DatabaseErrorFmt("No index for fields '%s'", index_);
}

void TOvrinTable::SetIndexName(const std::string& name) {
  if (Active()) CheckBrowseMode();
  bool changed = indexIsFields_ || name != index_;
  index_ = name;
  indexIsFields_ = false;
  if (changed && Active()) SwitchIndex();
}

void TOvrinTable::SetIndexFieldNames(const std::string& fields) {
  if (Active()) CheckBrowseMode();
  bool changed = indexIsFields_ != !fields.empty() || fields != index_;
  index_ = fields;
  indexIsFields_ = !fields.empty();
  if (changed && Active()) SwitchIndex();
}

void TOvrinTable::SwitchIndex() {
  TSessionScope scope(Session());
  if (recordValid_ && !bookmark_.empty()) handle_->GoToSavedPosition(bookmark_);
  handle_->SelectIndex(ResolveIndexName());
  // Key buffers and ranges belong to the index they were made for.
  if (handle_->Index().RangeActive()) handle_->CancelRange();
  ResetKeyBuffers();
  DropLookupCursor();
  if (MasterLinked()) {
    ApplyDetailRange();
    return;
  }
  if (recordValid_ && GetRecord(kCurrent) == 0) {
    CalculateFields();
    return;
  }
  First();
}

// ---------------------------------------------------------------- cursor hooks

void TOvrinTable::InternalFirst() {
  TSessionScope scope(Session());
  handle_->First();
}

void TOvrinTable::InternalLast() {
  TSessionScope scope(Session());
  handle_->Last();
}

uint16_t TOvrinTable::GetRecord(int mode) {
  TSessionScope scope(Session());
  // Read into the spare buffer, so that the active record stays when there is none.
  std::vector<uint8_t>& temp = spare_;
  if (temp.size() != handle_->LogicalRecordSize()) temp.resize(handle_->LogicalRecordSize());
  uint16_t code = mode == kNext    ? handle_->GetNextRecord(temp.data())
                  : mode == kPrior ? handle_->GetPriorRecord(temp.data())
                                   : handle_->GetCurrentRecord(temp.data(), false);
  if (code == 0) {
    buffer_.swap(temp);
    handle_->CurrentPosition(bookmark_);
    recNo_ = handle_->SequenceNumber();
    activeNumber_ = handle_->CurrentRecordNumber();
    activeIdentifier_ = LoadLEI32(buffer_.data() + datafmt::rIdentifier);
    return 0;
  }
  // Past either end the active record stays, and so does the data file's cursor.
  if (mode != kCurrent && recordValid_ && !bookmark_.empty()) handle_->GoToSavedPosition(bookmark_);
  return code;
}

int32_t TOvrinTable::RecordCount() {
  CheckActive();
  TSessionScope scope(Session());
  return handle_->Count();
}

int32_t TOvrinTable::RecNo() {
  CheckActive();
  if (State() == TDataSetState::Insert) return -1;
  return recordValid_ ? recNo_ : 0;
}

void TOvrinTable::SetRecNo(int32_t n) {
  CheckBrowseMode();
  if (n == recNo_ && recordValid_) return;
  {
    TSessionScope scope(Session());
    handle_->GoToPosition(n);
  }
  recordValid_ = GetRecord(kCurrent) == 0;
  if (!recordValid_) First();
  else CalculateFields();
}

std::vector<uint8_t> TOvrinTable::CurrentBookmark() { return bookmark_; }

void TOvrinTable::InternalGotoBookmark(const std::vector<uint8_t>& bookmark) {
  TSessionScope scope(Session());
  handle_->GoToSavedPosition(bookmark);
}

int TOvrinTable::CompareBookmarks(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.empty() && b.empty()) return 0;
  if (a.empty()) return 1;
  if (b.empty()) return -1;
  if (!handle_) return 0;
  return handle_->ComparePositions(a, b);
}

bool TOvrinTable::BookmarkValid(const std::vector<uint8_t>& bookmark) {
  if (!handle_ || bookmark.empty()) return false;
  TSessionScope scope(Session());
  // Another user may have deleted the record since this cursor last looked.
  handle_->Refresh();
  handle_->GoToSavedPosition(bookmark);
  std::vector<uint8_t> temp(handle_->LogicalRecordSize());
  // In record-number order the data file goes to a deleted record's place as well; the
  // record's deleted mark tells.
  bool ok = handle_->GetCurrentRecord(temp.data(), false) == 0 && handle_->CurrentPosition() == bookmark &&
            temp[datafmt::rDeleted] == 0;
  if (recordValid_ && !bookmark_.empty()) handle_->GoToSavedPosition(bookmark_);
  return ok;
}

uint32_t TOvrinTable::StoredChangeCounter() {
  CheckActive();
  TSessionScope scope(Session());
  return handle_->StoredChangeCounter();
}

void TOvrinTable::InternalRefresh() {
  TSessionScope scope(Session());
  handle_->Refresh();
}

// ---------------------------------------------------------------- editing

void TOvrinTable::InternalInitRecord() {
  TSessionScope scope(Session());
  buffer_.assign(handle_->LogicalRecordSize(), 0);
  handle_->InitRecord(buffer_.data());
  recNo_ = -1;
}

void TOvrinTable::InternalEdit() {
  TSessionScope scope(Session());
  // The record the user stands on, found by its place and identity rather than by a
  // search that could land on a neighbour once another user deleted it.
  std::vector<uint8_t> record(handle_->LogicalRecordSize());
  uint16_t code = handle_->ReadRecordAt(activeNumber_, activeIdentifier_, record.data(), true);
  if (code) RaiseEngineError(code, handle_->FileName());
  buffer_ = std::move(record);
  editNumber_ = activeNumber_;
  bookmark_ = handle_->CurrentPosition();
}

void TOvrinTable::InternalPost() {
  TSessionScope scope(Session());
  if (State() == TDataSetState::Insert) {
    handle_->AppendRecord(buffer_.data());
  } else {
    handle_->ModifyRecordAt(editNumber_, buffer_.data(), true, true);
    editNumber_ = 0;
  }
  bookmark_ = handle_->CurrentPosition();
  activeNumber_ = handle_->CurrentRecordNumber();
  activeIdentifier_ = LoadLEI32(buffer_.data() + datafmt::rIdentifier);
}

void TOvrinTable::InternalCancel() {
  TSessionScope scope(Session());
  handle_->CloseBlobs(buffer_.data());
  if (State() == TDataSetState::Edit) {
    int32_t number = editNumber_;
    editNumber_ = 0;
    if (number > 0 && handle_->RecordLocked(number)) handle_->UnlockRecord(number);
    // Back to the record that was edited, wherever a refused change left the cursor
    // (when it has gone meanwhile, the cursor stays where it is).
    if (number > 0) handle_->ReadRecordAt(number, activeIdentifier_, nullptr, false);
  }
}

void TOvrinTable::InternalDelete() {
  TSessionScope scope(Session());
  handle_->DeleteRecordAt(activeNumber_, activeIdentifier_, true);
  bookmark_ = handle_->CurrentPosition();
}

// ---------------------------------------------------------------- field data

bool TOvrinTable::GetFieldData(const TField& field, uint8_t* out) {
  TDataSetState state = State();
  // While a field's validate handler runs, the field reads as the value being set.
  if (validating_ && validating_->field == &field) {
    if (out && validating_->value) std::memcpy(out, validating_->value, static_cast<size_t>(field.DataSize()));
    return validating_->value != nullptr;
  }
  // The old value: the current record as the file holds it, read again.
  if (state == TDataSetState::OldValue) {
    if (field.FieldNo() <= 0 || !handle_ || !ReadOldValueRecord()) return false;
    return StoredFieldData(field, oldValue_.data(), out);
  }
  // A filter's handler reads the record being judged.
  const bool judging = (state == TDataSetState::Filter && judged_) || state == TDataSetState::SetKey;
  const uint8_t* record = state == TDataSetState::SetKey ? StateBuffer() : judging ? judged_ : buffer_.data();
  if (judging) {
    if (field.FieldNo() <= 0) return false;
    state = TDataSetState::Browse;
  }
  bool browsing = state == TDataSetState::Browse;
  if (!handle_ || (browsing && !recordValid_ && !judging)) return false;
  if (field.FieldNo() <= 0) {
    bool allowed = browsing || state == TDataSetState::Edit || state == TDataSetState::Insert ||
                   state == TDataSetState::CalcFields;
    return allowed && GetCalcFieldData(field, out);
  }
  if (!browsing && state != TDataSetState::Edit && state != TDataSetState::Insert && state != TDataSetState::NewValue &&
      state != TDataSetState::CalcFields)
    return false;
  return StoredFieldData(field, record, out);
}

void TOvrinTable::BuildViewPlans() {
  const int count = static_cast<int>(handle_->Fields().size());
  for (int i = 0; i < FieldCount(); ++i) {
    TField& field = Fields(i);
    ClearViewPlan(field);
    if (field.FieldNo() <= 0 || field.FieldNo() > count) continue;
    const TFieldDescriptor& d = handle_->FieldByNumber(field.FieldNo());
    // Blobs are read through the blob file and BCD is converted: those take the copy.
    if (d.IsBlob() || d.Type() == fldBcd) continue;
    if (d.IsAutoInc()) {
      SetViewPlan(field, datafmt::kAutoIncOffset, 4, false);
      continue;
    }
    // A string's text ends at its declared size at the latest; any other value must fill
    // the field's whole form.
    size_t size = d.StoredSize();
    if (d.Type() == fldString) size = std::min<size_t>(size, d.DeclaredSize());
    else if (size < static_cast<size_t>(field.DataSize())) continue;
    SetViewPlan(field, static_cast<uint16_t>(d.Offset()), static_cast<uint16_t>(size), true);
  }
  // Only the active buffer as it stands is viewed: other states (old values, filters,
  // key buffers) and a running validate handler read the copying way.
  viewRecord_ = &buffer_;
}

// A stored field's value in a record image, in the form the field objects take.
bool TOvrinTable::StoredFieldData(const TField& field, const uint8_t* record, uint8_t* out) {
  const TFieldDescriptor& d = handle_->FieldByNumber(field.FieldNo());
  if (d.IsBlob()) {
    int32_t reference = LoadLEI32(record + d.Offset() + 1);
    if (out) StoreLE32(out, static_cast<uint32_t>(reference));
    if (reference >= 0) return reference != 0;
    uint32_t size = 0;
    TSessionScope scope(Session());
    handle_->BlobSize(field.FieldNo(), const_cast<uint8_t*>(record), &size);
    return size > 0;
  }
  // GetFieldValue clears the stored size itself; only the bytes past it are cleared here.
  std::vector<uint8_t>& stored = fieldScratch_;
  const size_t room = std::max<size_t>(std::max<size_t>(d.StoredSize(), 8), static_cast<size_t>(field.DataSize()));
  if (stored.size() < room) stored.resize(room);
  std::fill(stored.begin() + d.StoredSize(), stored.begin() + static_cast<std::ptrdiff_t>(room), 0);
  bool isNull = handle_->GetFieldValue(field.FieldNo(), stored.data(), record);
  // No byte read from a file is trusted to end a string: it ends at the declared size
  // at the latest.
  if (d.Type() == fldString) stored[std::min<size_t>(d.DeclaredSize(), room - 1)] = 0;
  if (out) {
    if (d.Type() == fldBcd) StoreLE64(out, static_cast<uint64_t>(BcdToCurrency(LoadLEI64(stored.data()))));
    else std::memcpy(out, stored.data(), static_cast<size_t>(field.DataSize()));
  }
  return !isNull;
}

bool TOvrinTable::ReadOldValueRecord() {
  const TDataSetState prior = PriorState();
  if (prior == TDataSetState::Insert || !recordValid_ || bookmark_.empty()) return false;
  TSessionScope scope(Session());
  oldValue_.assign(handle_->LogicalRecordSize(), 0);
  handle_->GoToSavedPosition(bookmark_);
  uint16_t code = handle_->GetCurrentRecord(oldValue_.data(), false);
  if (code) RaiseEngineError(code, handle_->FileName());
  return true;
}

void TOvrinTable::SetFieldData(TField& field, const uint8_t* value) {
  TDataSetState state = State();
  if (state == TDataSetState::OldValue) DatabaseErrorFmt("Field '%s' cannot be modified", field.FieldName());
  if (state != TDataSetState::Edit && state != TDataSetState::Insert && state != TDataSetState::SetKey &&
      state != TDataSetState::Filter && state != TDataSetState::NewValue && state != TDataSetState::InternalCalc &&
      state != TDataSetState::CalcFields)
    DatabaseError("Dataset not in edit or insert mode");
  // A key buffer holds the active index's key fields only.
  if (state == TDataSetState::SetKey && (field.FieldNo() <= 0 || (IndexFieldCount() > 0 && !IsIndexField(field))))
    DatabaseErrorFmt("Field '%s' is not indexed and cannot be modified", field.FieldName());
  if (field.FieldNo() <= 0) {
    SetCalcFieldData(field, value);
    return;
  }
  if (state == TDataSetState::CalcFields) DatabaseError("Dataset not in edit or insert mode");
  if (field.ReadOnly() && state != TDataSetState::SetKey && state != TDataSetState::Filter)
    DatabaseErrorFmt("Field '%s' cannot be modified", field.FieldName());
  if (field.OnValidate) {
    TValidating now{&field, value, validating_};
    validating_ = &now;
    // The handler reads the field as the value being set, which no view of the record
    // shows: fields read the copying way until it returns.
    struct TDone {
      TValidating*& slot;
      TValidating* outer;
      const std::vector<uint8_t>*& view;
      const std::vector<uint8_t>* viewed;
      ~TDone() {
        slot = outer;
        view = viewed;
      }
    } done{validating_, now.outer, viewRecord_, viewRecord_};
    viewRecord_ = nullptr;
    field.OnValidate(field);
  }
  const TFieldDescriptor& d = handle_->FieldByNumber(field.FieldNo());
  uint8_t* target = StateBuffer();
  if (value && d.Type() == fldBcd) {
    uint8_t bcd[8];
    StoreLE64(bcd, static_cast<uint64_t>(CurrencyToBcd(d.DeclaredDecimals(), LoadLEI64(value))));
    handle_->SetFieldValue(field.FieldNo(), bcd, false, target);
  } else {
    handle_->SetFieldValue(field.FieldNo(), value, false, target);
  }
  SetFieldModified(field);
}

// ---------------------------------------------------------------- index fields

int TOvrinTable::IndexFieldCount() {
  if (!handle_ || handle_->Index().NaturalOrder()) return 0;
  return std::min<int>(handle_->Index().Header().Slot(handle_->Index().SelectedSlot()).FieldCount(), 16);
}

int TOvrinTable::IndexFieldNumber(int i) {
  return handle_->Index().Header().Slot(handle_->Index().SelectedSlot()).FieldNumber(i);
}

bool TOvrinTable::IsIndexField(const TField& field) {
  if (field.FieldNo() <= 0) return false;
  const int count = IndexFieldCount();
  for (int i = 0; i < count; ++i)
    if (IndexFieldNumber(i) == field.FieldNo()) return true;
  return false;
}

TField& TOvrinTable::IndexField(int i) {
  if (i < 0 || i >= IndexFieldCount()) DatabaseError("Field index out of range");
  const int number = IndexFieldNumber(i);
  for (int k = 0; k < FieldCount(); ++k)
    if (Fields(k).FieldNo() == number) return Fields(k);
  std::string name;
  for (const TFieldDef& def : FieldDefs())
    if (def.FieldNo == number) name = def.Name;
  if (name.empty()) name = handle_->FieldByNumber(number).Name();
  DatabaseErrorFmt("Cannot access index field '%s'", name);
}

bool TOvrinTable::IsSequenced() { return !filtered_; }

// ---------------------------------------------------------------- blob streams

std::unique_ptr<TBlobStream> TOvrinTable::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  return std::make_unique<TOvrinBlobStream>(*this, field, mode);
}

// A read stream of a field that the current edit has not changed takes its own copy of
// the blob at creation: it keeps reading the record it was made on when the cursor moves,
// and holds no open blob in the blob file (open blobs belong to the record being edited:
// a post stores every open blob's reference into the posted record). A stream that
// writes works on the in-memory blob of the record being edited, and is bound to that
// edit: once the edit is posted or cancelled the stream is detached, reads nothing and
// ignores writes.
TOvrinBlobStream::TOvrinBlobStream(TOvrinTable& table, TField& field, TBlobStreamMode mode)
    : table_(table), field_(field), editSerial_(table.EditSerial()) {
  TDataSetState state = table.State();
  bool editing = state == TDataSetState::Edit || state == TDataSetState::Insert;
  bool hasBuffer = table.handle_ && (editing || (state == TDataSetState::Browse && table.recordValid_));
  if (mode == TBlobStreamMode::Read) {
    if (state == TDataSetState::OldValue) {
      if (table.handle_ && table.ReadOldValueRecord()) TakeSnapshot(table.oldValue_);
    } else if (hasBuffer) {
      TakeSnapshot(table.buffer_);
    }
    return;
  }
  if (!table.FieldModified(field)) {
    if (field.ReadOnly()) DatabaseErrorFmt("Field '%s' cannot be modified", field.FieldName());
    if (!editing) DatabaseError("Dataset not in edit or insert mode");
    if (!hasBuffer) return;
    TSessionScope scope(table.Session());
    int32_t handle;
    uint16_t code = table.handle_->OpenBlob(field.FieldNo(), table.buffer_.data(), &handle);
    if (code) RaiseEngineError(code, table.handle_->FileName(), field.FieldName());
  } else if (!hasBuffer || !editing) {
    return;
  }
  opened_ = true;
  if (mode == TBlobStreamMode::Write) Truncate();
}

void TOvrinBlobStream::TakeSnapshot(const std::vector<uint8_t>& record) {
  TSessionScope scope(table_.Session());
  TDataFile& file = *table_.handle_;
  const TFieldDescriptor& d = file.FieldByNumber(field_.FieldNo());
  if (!d.IsBlob()) RaiseEngineError(errBlobField, file.FileName(), field_.FieldName());
  snapshot_ = true;
  const int32_t reference = LoadLEI32(record.data() + d.Offset() + 1);
  if (reference == 0) return;
  // A positive reference is opened on a copy of the record and closed again; a negative
  // one is the open blob of the record being edited, read as it stands now.
  std::vector<uint8_t> copy(record);
  int32_t handle = 0;
  uint16_t code = file.OpenBlob(field_.FieldNo(), copy.data(), &handle);
  if (code) RaiseEngineError(code, file.FileName(), field_.FieldName());
  struct TRelease {
    TDataFile& file;
    int field;
    std::vector<uint8_t>& copy;
    bool own;
    ~TRelease() {
      if (own) file.FreeBlob(field, copy.data());
    }
  } release{file, field_.FieldNo(), copy, reference > 0};
  uint32_t size = 0;
  code = file.BlobSize(field_.FieldNo(), copy.data(), &size);
  if (code) RaiseEngineError(code, file.FileName(), field_.FieldName());
  bytes_.resize(size);
  uint32_t read = 0;
  code = size ? file.ReadBlob(field_.FieldNo(), copy.data(), 0, size, bytes_.data(), &read) : 0;
  if (code != 0 && code != errEndOfBlob) RaiseEngineError(code, file.FileName(), field_.FieldName());
  bytes_.resize(read);
}

bool TOvrinBlobStream::Attached() const {
  if (!opened_ || !table_.handle_ || table_.EditSerial() != editSerial_) return false;
  return table_.State() == TDataSetState::Edit || table_.State() == TDataSetState::Insert;
}

TOvrinBlobStream::~TOvrinBlobStream() {
  if (!Attached()) return;
  try {
    if (modified_) table_.SetFieldModified(field_);
    if (!table_.FieldModified(field_)) {
      TSessionScope scope(table_.Session());
      table_.handle_->FreeBlob(field_.FieldNo(), table_.buffer_.data());
    }
  } catch (...) {
  }
}

uint32_t TOvrinBlobStream::Read(void* buffer, uint32_t count) {
  if (snapshot_) {
    if (position_ >= static_cast<int64_t>(bytes_.size())) return 0;
    uint32_t n = static_cast<uint32_t>(std::min<int64_t>(count, static_cast<int64_t>(bytes_.size()) - position_));
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return n;
  }
  if (!Attached()) return 0;
  TSessionScope scope(table_.Session());
  uint32_t read = 0;
  uint16_t code = table_.handle_->ReadBlob(field_.FieldNo(), table_.buffer_.data(), static_cast<uint32_t>(position_),
                                           count, buffer, &read);
  if (code == errInvalidBlobOffset) return 0;
  if (code != 0 && code != errEndOfBlob) RaiseEngineError(code, table_.handle_->FileName(), field_.FieldName());
  position_ += read;
  return read;
}

uint32_t TOvrinBlobStream::Write(const void* buffer, uint32_t count) {
  if (!Attached()) return 0;
  TSessionScope scope(table_.Session());
  uint16_t code =
      table_.handle_->WriteBlob(field_.FieldNo(), table_.buffer_.data(), static_cast<uint32_t>(position_), count, buffer);
  if (code) RaiseEngineError(code, table_.handle_->FileName(), field_.FieldName());
  position_ += count;
  modified_ = true;
  return count;
}

int64_t TOvrinBlobStream::Seek(int64_t offset, int origin) {
  int64_t base = origin == 0 ? 0 : (origin == 1 ? position_ : Size());
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

int64_t TOvrinBlobStream::Size() {
  if (snapshot_) return static_cast<int64_t>(bytes_.size());
  if (!Attached()) return 0;
  TSessionScope scope(table_.Session());
  uint32_t size = 0;
  table_.handle_->BlobSize(field_.FieldNo(), table_.buffer_.data(), &size);
  return size;
}

void TOvrinBlobStream::Truncate() {
  if (!Attached()) return;
  TSessionScope scope(table_.Session());
  uint16_t code = table_.handle_->TruncateBlob(field_.FieldNo(), table_.buffer_.data(), static_cast<uint32_t>(position_));
  if (code) RaiseEngineError(code, table_.handle_->FileName(), field_.FieldName());
  modified_ = true;
}

}  // namespace ovrin

namespace ovrin {

// ---- filters

// The filters are compiled once the field objects exist, since the parser resolves its
// field names through them.
void TOvrinTable::InternalFieldsReady() {
  BuildViewPlans();
  if (!filterText_.empty()) exprHandle_ = CompileFilter(filterText_, filterOptions_);
  if (onFilterRecord_) callbackHandle_ = RegisterCallbackFilter();
  if (filtered_) ActivateFilters();
}

int TOvrinTable::CompileFilter(const std::string& text, uint32_t options) {
  std::vector<uint8_t> buffer = ParseFilter(*this, options, text);
  int handle = 0;
  TSessionScope scope(Session());
  CheckEngineResult(handle_->RegisterFilter(&buffer, nullptr, false, &handle));
  return handle;
}

int TOvrinTable::RegisterCallbackFilter() {
  TRecordCallback judge = [this](const uint8_t* record) {
    if (!onFilterRecord_) return true;
    TDataSetState saved = State();
    const uint8_t* savedJudged = judged_;
    SetState(TDataSetState::Filter);
    judged_ = record;
    bool accept = true;
    try {
      onFilterRecord_(*this, accept);
    } catch (...) {
      // The application's exception handler has it; the record is judged by Accept as
      // it stood.
    }
    judged_ = savedJudged;
    SetState(saved);
    return accept;
  };
  int handle = 0;
  TSessionScope scope(Session());
  CheckEngineResult(handle_->RegisterFilter(nullptr, judge, false, &handle));
  return handle;
}

void TOvrinTable::ReplaceFilter(int* handle, int replacement) {
  TSessionScope scope(Session());
  if (*handle) handle_->FreeFilter(*handle);
  *handle = replacement;
  if (filtered_ && replacement) CheckEngineResult(handle_->ActivateFilter(replacement));
}

void TOvrinTable::ActivateFilters() {
  TSessionScope scope(Session());
  for (int* handle : {&exprHandle_, &callbackHandle_}) {
    if (!*handle) continue;
    if (handle_->ActivateFilter(*handle) == 0) continue;
    // Made again once, and a second failure raised.
    handle_->FreeFilter(*handle);
    *handle = handle == &exprHandle_ ? CompileFilter(filterText_, filterOptions_) : RegisterCallbackFilter();
    CheckEngineResult(handle_->ActivateFilter(*handle));
  }
}

void TOvrinTable::DeactivateFilters() {
  TSessionScope scope(Session());
  for (int handle : {callbackHandle_, exprHandle_})
    if (handle) CheckEngineResult(handle_->DeactivateFilter(handle));
}

void TOvrinTable::SetFilter(const std::string& text) {
  if (!Active()) {
    filterText_ = text;
    return;
  }
  CheckBrowseMode();
  DropLookupCursor();
  if (text != filterText_) ReplaceFilter(&exprHandle_, text.empty() ? 0 : CompileFilter(text, filterOptions_));
  filterText_ = text;
  if (filtered_) First();
}

void TOvrinTable::SetFilterOptions(uint32_t options) {
  if (!Active()) {
    filterOptions_ = options;
    return;
  }
  CheckBrowseMode();
  if (options != filterOptions_ && !filterText_.empty())
    ReplaceFilter(&exprHandle_, CompileFilter(filterText_, options));
  filterOptions_ = options;
  if (filtered_) First();
}

void TOvrinTable::SetFiltered(bool on) {
  if (!Active()) {
    filtered_ = on;
    return;
  }
  CheckBrowseMode();
  if (on != filtered_) {
    DropLookupCursor();
    try {
      if (on) ActivateFilters();
      else DeactivateFilters();
    } catch (...) {
      // Half a switch is no state to walk in: back to what Filtered says, from the top.
      try {
        TSessionScope scope(Session());
        for (int handle : {callbackHandle_, exprHandle_})
          if (handle) handle_->DeactivateFilter(handle);
        if (filtered_)
          for (int handle : {exprHandle_, callbackHandle_})
            if (handle) handle_->ActivateFilter(handle);
      } catch (...) {
      }
      try {
        First();
      } catch (...) {
      }
      throw;
    }
    filtered_ = on;
  }
  First();
}

void TOvrinTable::SetOnFilterRecord(TFilterRecordEvent handler) {
  if (!Active()) {
    onFilterRecord_ = std::move(handler);
    return;
  }
  CheckBrowseMode();
  onFilterRecord_ = std::move(handler);
  ReplaceFilter(&callbackHandle_, onFilterRecord_ ? RegisterCallbackFilter() : 0);
  if (filtered_) First();
}

}  // namespace ovrin

namespace ovrin {

// ---- searches

template <typename F>
void TOvrinTable::Judging(uint8_t* record, F&& f) {
  struct TRestore {
    TOvrinTable& t;
    TDataSetState state;
    const uint8_t* judged;
    uint8_t* write;
    ~TRestore() {
      t.judged_ = judged;
      t.judgedWrite_ = write;
      t.SetState(state);
    }
  } restore{*this, State(), judged_, judgedWrite_};
  SetState(TDataSetState::Filter);
  judged_ = judgedWrite_ = record;
  f();
}

std::vector<TField*> TOvrinTable::ResolveFields(const std::string& names) {
  std::vector<TField*> fields;
  for (const std::string& name : SplitFields(names)) fields.push_back(&FieldByName(name));
  return fields;
}

bool TOvrinTable::IndexServes(const TIndexDefInfo& def, const std::vector<TField*>& fields, bool caseInsensitive) const {
  if (def.CaseInsensitive != caseInsensitive) return false;
  std::vector<std::string> keys = SplitFields(def.Fields);
  if (keys.size() < fields.size()) return false;
  for (size_t i = 0; i < fields.size(); ++i)
    if (!AsciiEqualNoCase(keys[i], fields[i]->FieldName())) return false;
  return true;
}

void TOvrinTable::DropLookupCursor() {
  if (!lookupCursor_) return;
  try {
    TSessionScope scope(Session());
    lookupCursor_->Close();
  } catch (...) {
  }
  lookupCursor_.reset();
  lookupFields_.clear();
}

TDataFile* TOvrinTable::LookupCursor(const std::vector<TField*>& fields, bool caseInsensitive) {
  std::string key;
  for (TField* f : fields) key += f->FieldName() + ";";
  if (lookupCursor_ && (lookupFields_ != key || lookupCaseInsensitive_ != caseInsensitive)) DropLookupCursor();
  if (lookupCursor_) return lookupCursor_.get();
  for (const TIndexDefInfo& def : IndexDefs()) {
    if (!IndexServes(def, fields, caseInsensitive)) continue;
    TSessionScope scope(Session());
    lookupCursor_ = handle_->OpenSecond();  // 11013 on a table open exclusively
    lookupCursor_->SelectIndex(def.Name);
    lookupFields_ = key;
    lookupCaseInsensitive_ = caseInsensitive;
    return lookupCursor_.get();
  }
  return nullptr;
}

bool TOvrinTable::SearchRecord(const std::vector<TField*>& fields, const std::vector<TExprValue>& values, bool move,
                               TLocateOptions options, std::vector<uint8_t>* found) {
  if (values.size() != fields.size()) DatabaseError("Locate needs one value per field");
  TSessionScope scope(Session());
  found->assign(handle_->LogicalRecordSize(), 0);
  // The search cursor: this table's own index when it serves the fields, else a lookup
  // cursor on an index that does, else none.
  TDataFile* cursor = nullptr;
  const TIndexDefInfo* active = ActiveIndexDef();
  if (active && IndexServes(*active, fields, options.caseInsensitive))
    cursor = handle_.get();
  else
    cursor = LookupCursor(fields, options.caseInsensitive);
  const bool partial = options.partialKey && fields.back()->DataType() == TFieldType::String;
  const std::vector<uint8_t> saved = bookmark_;
  auto restore = [&] {
    if (recordValid_ && !saved.empty()) handle_->GoToSavedPosition(saved);
  };

  if (cursor) {
    lastSearchPath_ = cursor == handle_.get() ? "index" : "lookup";
    std::vector<uint8_t> record(handle_->LogicalRecordSize());
    handle_->InitRecord(record.data());
    Judging(record.data(), [&] {
      for (size_t i = 0; i < fields.size(); ++i) {
        if (const std::string* s = std::get_if<std::string>(&values[i])) fields[i]->SetAsString(*s);
        else if (const int64_t* n = std::get_if<int64_t>(&values[i])) fields[i]->SetAsInteger(*n);
        else fields[i]->Clear();
      }
    });
    int fieldCount = static_cast<int>(fields.size());
    int partialLength = -1;
    if (partial) {
      partialLength = static_cast<int>(std::get_if<std::string>(&values.back()) ? std::get<std::string>(values.back()).size() : 0);
      --fieldCount;
    }
    if (cursor != handle_.get()) cursor->Refresh();
    bool hit = cursor->FindKey(record.data(), false, fieldCount, partialLength, false, found->data());
    if (cursor != handle_.get()) {
      // The lookup cursor walks another index over the whole table: a match counts only
      // where this table's cursor may stand, within its range and filters. The matches
      // are tried in the lookup index's order until one does.
      auto standsInView = [&] {
        std::vector<uint8_t> position;
        if (handle_->Index().NaturalOrder()) {
          position.resize(4);
          StoreLE32(position.data(), static_cast<uint32_t>(cursor->CurrentRecordNumber()));
        } else {
          const TKeyBuilder& keys = handle_->Index().Keys(handle_->Index().SelectedSlot());
          position.resize(keys.KeyLength());
          keys.Build(found->data(), position.data());
        }
        handle_->GoToSavedPosition(position);
        std::vector<uint8_t> probe(handle_->LogicalRecordSize());
        return handle_->GetCurrentRecord(probe.data(), false) == 0 &&
               handle_->CurrentRecordNumber() == cursor->CurrentRecordNumber();
      };
      while (hit && !standsInView()) hit = cursor->NextKeyMatch(record.data(), fieldCount, partialLength, found->data());
    }
    if (!move || !hit) restore();
    return hit;
  }

  // No index serves the fields: a temporary filter of one equality per field.
  lastSearchPath_ = "filter";
  TFilterExpr expr(*this, options.caseInsensitive ? uint32_t(foCaseInsensitive) : 0u);
  TExprNode* root = nullptr;
  for (size_t i = 0; i < fields.size(); ++i) {
    TExprNode* node = expr.NewCompareNode(fields[i]->FieldName(), opEqual, values[i], partial && i + 1 == fields.size());
    root = root ? expr.NewAndNode(root, node) : node;
  }
  std::vector<uint8_t> buffer = expr.BuildBuffer(root);
  handle_->First();
  int handle = 0;
  CheckEngineResult(handle_->RegisterFilter(&buffer, nullptr, false, &handle));
  struct TFree {
    TDataFile& file;
    int handle;
    ~TFree() {
      try {
        file.FreeFilter(handle);
      } catch (...) {
        // Freeing is bracketed by the read lock, which may fail to be had; the filter
        // goes with the data file at close at the latest.
      }
    }
  };
  bool hit;
  {
    TFree free{*handle_, handle};
    CheckEngineResult(handle_->ActivateFilter(handle));
    hit = handle_->GetNextRecord(found->data()) == 0;
  }
  if (hit && move) {
    // The temporary filter is gone: find the record again by its position.
    std::vector<uint8_t> position = handle_->CurrentPosition();
    handle_->GoToSavedPosition(position);
  } else {
    restore();
  }
  return hit;
}

bool TOvrinTable::Locate(const std::string& fields, const std::vector<TExprValue>& values, TLocateOptions options) {
  CheckBrowseMode();
  std::vector<TField*> resolved = ResolveFields(fields);
  std::vector<uint8_t> record;
  bool hit = SearchRecord(resolved, values, true, options, &record);
  if (hit) SettleOnCursor();
  return hit;
}

std::optional<std::vector<std::string>> TOvrinTable::Lookup(const std::string& fields,
                                                            const std::vector<TExprValue>& values,
                                                            const std::string& resultFields) {
  CheckBrowseMode();
  std::vector<TField*> resolved = ResolveFields(fields), results = ResolveFields(resultFields);
  std::vector<uint8_t> record;
  if (!SearchRecord(resolved, values, false, TLocateOptions{}, &record)) return std::nullopt;
  std::vector<std::string> out;
  Judging(record.data(), [&] {
    for (TField* f : results) out.push_back(f->AsString());
  });
  return out;
}

bool TOvrinTable::FindRecord(bool restart, bool forward) {
  CheckBrowseMode();
  found_ = false;
  TSessionScope scope(Session());
  const std::vector<uint8_t> from = recordValid_ ? bookmark_ : std::vector<uint8_t>();
  const bool borrow = !filtered_ && (exprHandle_ || callbackHandle_);
  if (borrow) ActivateFilters();
  struct TReturn {
    TOvrinTable& t;
    bool on;
    ~TReturn() {
      if (!on) return;
      try {
        t.DeactivateFilters();
      } catch (...) {
      }
    }
  } giveBack{*this, borrow};
  std::vector<uint8_t> record(handle_->LogicalRecordSize());
  uint16_t code;
  if (restart) {
    if (forward) handle_->First();
    else handle_->Last();
    code = forward ? handle_->GetNextRecord(record.data()) : handle_->GetPriorRecord(record.data());
  } else if (from.empty()) {
    handle_->First();
    code = forward ? handle_->GetNextRecord(record.data()) : uint16_t(errBeginOfFile);
  } else {
    // From the active record: the search lands on the first passing record not below
    // it, which is the one sought when it lies beyond the active record.
    handle_->GoToSavedPosition(from);
    code = handle_->GetCurrentRecord(record.data(), false);
    bool beyond = code == 0 && handle_->ComparePositions(handle_->CurrentPosition(), from) > 0;
    if (!(forward && beyond)) code = forward ? handle_->GetNextRecord(record.data()) : handle_->GetPriorRecord(record.data());
  }
  if (code == 0) {
    found_ = true;
    SettleOnCursor();
  } else if (!from.empty()) {
    handle_->GoToSavedPosition(from);
  }
  return found_;
}

}  // namespace ovrin

namespace ovrin {

// ---- key buffers and ranges

uint8_t* TOvrinTable::StateBuffer() {
  if (State() == TDataSetState::SetKey) return keyBuffers_[activeKey_].record.data();
  if (State() == TDataSetState::Filter && judgedWrite_) return judgedWrite_;
  return buffer_.data();
}

void TOvrinTable::ResetKeyBuffers() {
  for (TKeyBuffer& k : keyBuffers_) {
    k = TKeyBuffer();
    k.record.assign(handle_ ? handle_->LogicalRecordSize() : 0, 0);
    if (handle_) handle_->InitRecord(k.record.data());
  }
}

void TOvrinTable::EnterKeyState(int which, bool clear) {
  CheckBrowseMode();
  if (handle_->Index().NaturalOrder()) DatabaseError("No index currently active");
  keyBuffers_[kSaveKey] = keyBuffers_[which];
  if (clear) {
    keyBuffers_[which] = TKeyBuffer();
    keyBuffers_[which].record.assign(handle_->LogicalRecordSize(), 0);
    handle_->InitRecord(keyBuffers_[which].record.data());
  }
  activeKey_ = which;
  ClearModifiedFields();
  SetState(TDataSetState::SetKey);
}

void TOvrinTable::InternalPostKey() {
  TKeyBuffer& k = keyBuffers_[activeKey_];
  k.modified = k.modified || AnyFieldModified();
  // The key fields given: the active index's leading fields up to the last one assigned.
  std::vector<std::string> keys = IndexKeyFields();
  int count = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    TField* f = FindField(keys[i]);
    if (f && (FieldModified(*f) || !handle_->GetFieldValue(f->FieldNo(), nullptr, k.record.data())))
      count = static_cast<int>(i) + 1;
  }
  k.fieldCount = k.modified ? std::max(count, 1) : 0;
}

void TOvrinTable::InternalCancelKey() { keyBuffers_[activeKey_] = keyBuffers_[kSaveKey]; }

void TOvrinTable::ApplyRange() {
  CheckBrowseMode();
  const TKeyBuffer &start = keyBuffers_[kRangeStartKey], &end = keyBuffers_[kRangeEndKey];
  if (start == keyBuffers_[kCurrentRangeStart] && end == keyBuffers_[kCurrentRangeEnd]) return;
  TSessionScope scope(Session());
  handle_->SetRange(start.record.data(), end.record.data(), false, start.modified ? start.fieldCount : 0,
                    end.modified ? end.fieldCount : 0);
  keyBuffers_[kCurrentRangeStart] = start;
  keyBuffers_[kCurrentRangeEnd] = end;
  DropLookupCursor();
  First();
}

void TOvrinTable::CancelRange() {
  CheckBrowseMode();
  if (!keyBuffers_[kCurrentRangeStart].modified && !keyBuffers_[kCurrentRangeEnd].modified &&
      !handle_->Index().RangeActive())
    return;
  TSessionScope scope(Session());
  handle_->CancelRange();
  for (int which : {kCurrentRangeStart, kCurrentRangeEnd}) {
    keyBuffers_[which] = TKeyBuffer();
    keyBuffers_[which].record.assign(handle_->LogicalRecordSize(), 0);
    handle_->InitRecord(keyBuffers_[which].record.data());
  }
  DropLookupCursor();
  First();
}

bool TOvrinTable::GotoKey() {
  CheckBrowseMode();
  const TKeyBuffer& k = keyBuffers_[kLookupKey];
  TSessionScope scope(Session());
  std::vector<uint8_t> record(handle_->LogicalRecordSize());
  // Without strict change detection the search may run over pages another user has
  // changed since; reading the record found then reads the table afresh and the cursor
  // moves to where the key stands now. The search is made again in that case, so that
  // a key found is the key the cursor stands on.
  for (int attempt = 0;; ++attempt) {
    bool hit = handle_->FindKey(k.record.data(), false, std::max(k.fieldCount, 1), -1, false, record.data());
    if (!hit) {
      if (recordValid_ && !bookmark_.empty()) handle_->GoToSavedPosition(bookmark_);
      return false;
    }
    int32_t found = handle_->CurrentRecordNumber();
    SettleOnCursor();
    if (activeNumber_ == found || attempt == 3) return activeNumber_ == found;
  }
}

void TOvrinTable::GotoNearest() {
  CheckBrowseMode();
  const TKeyBuffer& k = keyBuffers_[kLookupKey];
  TSessionScope scope(Session());
  std::vector<uint8_t> record(handle_->LogicalRecordSize());
  handle_->FindKey(k.record.data(), false, std::max(k.fieldCount, 1), -1, true, record.data());
  if (handle_->Index().Eof()) Last();
  else SettleOnCursor();
}

}  // namespace ovrin

namespace ovrin {

// ---- master/detail

class TOvrinTable::TMasterLink : public TDataLink {
 public:
  explicit TMasterLink(TOvrinTable& table) : table_(table) {}

 protected:
  void ActiveChanged() override { table_.MasterActiveChanged(); }
  void RecordChanged(const TField* field) override { table_.MasterRecordChanged(field); }

 private:
  TOvrinTable& table_;
};

TDataSource* TOvrinTable::MasterSource() const { return masterLink_ ? masterLink_->DataSource() : nullptr; }

void TOvrinTable::SetMasterSource(TDataSource* source) {
  // A source whose dataset is this table, or whose chain of masters leads back to it.
  for (TDataSource* s = source; s;) {
    TDataSet* ds = s->DataSet();
    if (ds == this) DatabaseError("Circular datalinks are not allowed");
    auto* table = dynamic_cast<TOvrinTable*>(ds);
    s = table ? table->MasterSource() : nullptr;
  }
  if (!masterLink_) masterLink_ = std::make_unique<TMasterLink>(*this);
  masterLink_->SetDataSource(source);
  MasterActiveChanged();
}

void TOvrinTable::SetMasterFields(const std::string& fields) {
  masterFields_ = fields;
  if (Active() && MasterLinked()) ApplyDetailRange();
}

bool TOvrinTable::MasterLinked() const {
  return masterLink_ && masterLink_->Active() && !SplitFields(masterFields_).empty();
}

std::vector<TField*> TOvrinTable::MasterFieldList() const {
  std::vector<TField*> out;
  if (!masterLink_ || !masterLink_->Active()) return out;
  for (const std::string& name : SplitFields(masterFields_)) out.push_back(&masterLink_->DataSet()->FieldByName(name));
  return out;
}

void TOvrinTable::InternalOpened() {
  if (MasterLinked()) ApplyDetailRange();
}

// The range of the records whose leading keys equal the master's fields.
void TOvrinTable::ApplyDetailRange() {
  if (!Active() || inDetailRange_ || handle_->Index().NaturalOrder()) return;
  inDetailRange_ = true;
  struct TDone {
    bool& flag;
    ~TDone() { flag = false; }
  } done{inDetailRange_};
  SetRangeStart();
  TakeMasterValues(true);
  Post();
  TKeyBuffer end = keyBuffers_[kRangeStartKey];
  keyBuffers_[kRangeEndKey] = end;
  ApplyRange();
  First();
}

void TOvrinTable::MasterActiveChanged() {
  if (!Active()) return;
  if (MasterLinked()) {
    ApplyDetailRange();
  } else if (!inDetailRange_) {
    CancelRange();
  }
}

void TOvrinTable::MasterRecordChanged(const TField* field) {
  if (!Active() || !MasterLinked()) return;
  TDataSet* master = masterLink_->DataSet();
  if (master->State() == TDataSetState::SetKey) return;
  if (field) {
    bool ours = false;
    for (TField* f : MasterFieldList()) ours = ours || f == field;
    if (!ours) return;
  }
  ApplyDetailRange();
}

void TOvrinTable::InternalNewRecord() {
  if (MasterLinked() && !handle_->Index().NaturalOrder()) TakeMasterValues(false);
}

// The master's field values into the leading key fields of the active index; a null
// master value clears the key field (forRange) or leaves it (a new record), and an
// autoincrement field of a new record keeps its own value.
void TOvrinTable::TakeMasterValues(bool forRange) {
  std::vector<TField*> masters = MasterFieldList();
  std::vector<std::string> keys = IndexKeyFields();
  for (size_t i = 0; i < masters.size() && i < keys.size(); ++i) {
    TField& key = FieldByName(keys[i]);
    if (!forRange && key.DataType() == TFieldType::AutoInc) continue;
    if (masters[i]->IsNull()) {
      if (forRange) key.Clear();
    } else if (masters[i]->DataType() == key.DataType()) {
      std::vector<uint8_t> value;
      masters[i]->GetData(&value);
      key.SetData(&value);
    } else {
      key.SetAsString(masters[i]->AsString());
    }
  }
}

}  // namespace ovrin

namespace ovrin {

std::vector<std::string> TOvrinTable::IndexKeyFields() {
  const TIndexDefInfo* active = ActiveIndexDef();
  return active ? SplitFields(active->Fields) : std::vector<std::string>();
}

// The definition of the index the cursor walks. The list leaves out index 0 of a table
// without a primary index (its record-number order), so it is matched by name, never
// by slot number.
const TIndexDefInfo* TOvrinTable::ActiveIndexDef() {
  if (!handle_ || handle_->Index().NaturalOrder()) return nullptr;
  const int slot = handle_->Index().SelectedSlot();
  const std::string name = slot == 0 ? std::string() : handle_->Index().IndexName(slot);
  for (const TIndexDefInfo& def : IndexDefs())
    if (slot == 0 ? def.Primary : (!def.Primary && AsciiEqualNoCase(def.Name, name))) return &def;
  return nullptr;
}

}  // namespace ovrin
