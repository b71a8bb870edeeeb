// A record-buffer dataset framework of our own: the cursor object on which the engine's
// tables sit. It keeps the dataset's state (browse, edit, insert, set-key, ...), one
// active record buffer, the Bof and Eof flags, field definitions and field objects with
// typed accessors, and calls the hooks that a descendant (TOvrinTable) supplies to reach
// the records.
//
// Field values cross between the field objects and the record buffer in the engine's
// stored forms: strings zero-terminated; dates as day numbers from 1 January 0001 (day 1);
// times as milliseconds since midnight; date-times as day number * 86,400,000 +
// milliseconds; booleans as 16-bit 0 or 1; integers and floats in machine form; BCD as a
// currency value in ten-thousandths (the table converts to and from the stored BCD form).
// The accessors (AsString, AsInteger, AsFloat, AsDateTime, AsBoolean) convert between
// types as a dataset framework does, in the program-wide format settings; a conversion
// that fails raises EConvertError naming the value.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"

namespace ovrin {

enum class TDataSetState { Inactive, Browse, Edit, Insert, SetKey, CalcFields, Filter, NewValue, OldValue, InternalCalc };

enum class TFieldType {
  Unknown, String, SmallInt, Integer, Word, Boolean, Float, Currency, BCD, Date, Time, DateTime, Bytes, VarBytes,
  AutoInc, Blob, Memo, Graphic, FmtMemo, TypedBinary, LargeInt,
  // Structured types (type codes 20 to 23): defined, but carrying no value of their own.
  ADT, Array, Reference, DataSet
};

const char* FieldTypeName(TFieldType type);
bool IsBlobType(TFieldType type);

struct TFieldDef {
  std::string Name;
  int FieldNo = 0;
  TFieldType DataType = TFieldType::Unknown;
  int Size = 0;
  int Precision = 0;
  bool Required = false;
};

class TDataSet;
class TDataSource;

// A field's value where the active record holds it, without a copy: `data` points at the
// stored bytes (null when the field is null) and `size` counts them. It stays valid until
// the cursor moves, the record is posted or cancelled, or the field is set.
struct TFieldView {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// A field object: a named view of one field of the active record.
class TField {
 public:
  TField(TDataSet& dataSet, const TFieldDef& def);

  const std::string& FieldName() const { return name_; }
  int FieldNo() const { return fieldNo_; }
  TFieldType DataType() const { return type_; }
  int Size() const { return size_; }
  bool Required() const { return required_; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool on) { readOnly_ = on; }
  TDataSet& DataSet() const { return dataSet_; }
  // Bytes of the stored form.
  int DataSize() const;
  bool IsBlob() const { return IsBlobType(type_); }

  bool IsNull() const;
  void Clear();

  std::string AsString() const;
  // The text without a copy. For a string field it points into the active record and
  // stays valid until the cursor moves, the record is posted or cancelled, or the field
  // is set; for any other type it is the field's text as AsString gives it, kept until
  // this field is read again.
  std::string_view AsStringView() const;
  void SetAsString(const std::string& value);
  int64_t AsLargeInt() const;
  int32_t AsInteger() const;
  void SetAsInteger(int64_t value);
  double AsFloat() const;
  void SetAsFloat(double value);
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);
  // Currency in ten-thousandths.
  int64_t AsCurrency() const;
  void SetAsCurrency(int64_t value);

  // Blob fields: the whole value as bytes, from and to streams.
  std::string AsBytes() const;
  void SetAsBytes(std::string_view value);
  void LoadFromStream(std::istream& in);
  void SaveToStream(std::ostream& out) const;

  // The stored form, as the dataset exchanges it; answers whether there is a value.
  bool GetData(std::vector<uint8_t>* out) const;
  void SetData(const std::vector<uint8_t>* value);

  // The value the current record has in the table (re-read from the file), as text;
  // empty when it is null or there is no current record.
  std::string OldValueAsString() const;

  // Called before a stored value is set, while the field reads as the new value; it may
  // refuse the value by raising.
  std::function<void(TField&)> OnValidate;

 private:
  [[noreturn]] void BadConversion(const std::string& what) const;
  // The text of a value that the format settings shape (numbers with decimals, dates).
  std::string FormattedText(const std::vector<uint8_t>& v) const;
  TDataSet& dataSet_;
  std::string name_;
  int fieldNo_;
  TFieldType type_;
  int size_;
  bool required_;
  bool readOnly_ = false;
  // The stored bytes without a copy, when the dataset can give them.
  bool View(TFieldView& view) const;
  // Where the field's value lies in the dataset's active record, for View: set by the
  // dataset once the field objects exist (kNoView: the field reads through GetFieldData).
  friend class TDataSet;
  static constexpr uint8_t kNoView = 0, kIndicated = 1, kAlwaysSet = 2;
  uint16_t viewOffset_ = 0;      // of the null indicator, or of the value when there is none
  uint16_t viewSize_ = 0;        // bytes of the value (a string's: up to its declared size)
  uint8_t viewKind_ = kNoView;   // kIndicated: an indicator byte, then the value
  // The field's value as last read, kept so that reads need no allocation of their own.
  mutable std::vector<uint8_t> scratch_;
  mutable std::string text_;  // AsStringView's text of a type that is not a string
};

// A stream over one blob field of the active record.
class TBlobStream {
 public:
  virtual ~TBlobStream() = default;
  virtual uint32_t Read(void* buffer, uint32_t count) = 0;
  virtual uint32_t Write(const void* buffer, uint32_t count) = 0;
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual int64_t Size() = 0;
  virtual void Truncate() = 0;
};

enum class TBlobStreamMode { Read, Write, ReadWrite };

class TDataSet {
 public:
  TDataSet() = default;
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  void Open();
  void Close();
  bool Active() const { return state_ != TDataSetState::Inactive; }
  void SetActive(bool on) { on ? Open() : Close(); }
  TDataSetState State() const { return state_; }

  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  int32_t MoveBy(int32_t distance);
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  bool IsEmpty() const { return bof_ && eof_; }
  virtual int32_t RecordCount() = 0;
  virtual int32_t RecNo() = 0;
  virtual void SetRecNo(int32_t n) = 0;
  void Refresh();
  // Whether record numbers follow the records one by one (not so while filtered).
  virtual bool IsSequenced() { return true; }

  // Bookmarks: the position of the active record, to come back to.
  std::vector<uint8_t> GetBookmark();
  void GotoBookmark(const std::vector<uint8_t>& bookmark);
  virtual int CompareBookmarks(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) = 0;
  virtual bool BookmarkValid(const std::vector<uint8_t>& bookmark) = 0;

  // Editing.
  void Append();
  void Insert() { Append(); }
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  void CheckBrowseMode();
  bool CanModify() const { return canModify_; }

  // Fields.
  const std::vector<TFieldDef>& FieldDefs();
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TField& Fields(int i) { return *fields_.at(static_cast<size_t>(i)); }
  TField* FindField(const std::string& name);
  TField& FieldByName(const std::string& name);
  virtual std::unique_ptr<TBlobStream> CreateBlobStream(TField& field, TBlobStreamMode mode) = 0;

  // Calculated fields the user adds (only while closed): they live in the dataset's
  // calculated-field area of the record buffer, one byte telling whether the field has a
  // value followed by the value, and are computed by OnCalcFields after every read.
  void AddCalculatedField(const std::string& name, TFieldType type, int size = 0);

  // Events.
  std::function<void(TDataSet&)> OnNewRecord;
  std::function<void(TDataSet&)> OnCalcFields;

  // Text conversion between character sets: the engine keeps text as it is, so this
  // copies source to destination unchanged and answers its length; when the two differ
  // the destination is zero-terminated (it must hold length + 1 bytes).
  static int Translate(const char* source, char* destination, bool toOem);

  // Puts the dataset into another state (old value, new value, ...) for the length of a
  // scope, as the framework does while it reads a field's old or new value.
  class TTempState {
   public:
    TTempState(TDataSet& dataSet, TDataSetState state);
    ~TTempState();
    TTempState(const TTempState&) = delete;
    TTempState& operator=(const TTempState&) = delete;

   private:
    TDataSet& dataSet_;
    TDataSetState saved_, savedPrior_;
  };
  // While in a temporary state: the state it was entered from.
  TDataSetState PriorState() const { return priorState_; }

  // Counts the edits and appends begun; a stream bound to one edit tells by it that the
  // edit has ended.
  uint64_t EditSerial() const { return editSerial_; }

  // The data sources that show this dataset to their links.
  const std::vector<TDataSource*>& DataSources() const { return sources_; }

  // ---- hooks for field objects
  virtual bool GetFieldData(const TField& field, uint8_t* out) = 0;
  // The active record whose bytes field objects may view without a copy, or null when
  // they must read through GetFieldData (no record, a state that reads elsewhere).
  const uint8_t* ViewRecord() const {
    if (!viewRecord_) return nullptr;
    if (state_ == TDataSetState::Browse ? !recordValid_
                                        : state_ != TDataSetState::Edit && state_ != TDataSetState::Insert)
      return nullptr;
    return viewRecord_->data();
  }
  virtual void SetFieldData(TField& field, const uint8_t* value) = 0;
  // Calculated fields' values in the calculated-field area.
  bool GetCalcFieldData(const TField& field, uint8_t* out) const;
  void SetCalcFieldData(const TField& field, const uint8_t* value);
  // The field objects' modified marks of the current edit.
  bool FieldModified(const TField& field) const;
  void SetFieldModified(const TField& field);

 protected:
  // Hooks a descendant supplies.
  virtual void InternalOpen() = 0;   // opens the cursor and sets field definitions
  virtual void InternalClose() = 0;
  // After opening, once the field objects exist (before the first record is read).
  virtual void InternalFieldsReady() {}
  // After opening, once the first record is read.
  virtual void InternalOpened() {}
  // A record was appended and is in insert state (before OnNewRecord).
  virtual void InternalNewRecord() {}
  // Tells the data sources' links that the dataset opened or closed, or that its record
  // (field null) or one field of it changed.
  void NotifyActive();
  void NotifyRecord(const TField* field);
  // Post and Cancel in set-key state: keep or drop what was typed into the key buffer.
  virtual void InternalPostKey() {}
  virtual void InternalCancelKey() {}
  virtual void InternalFirst() = 0;  // before the first record
  virtual void InternalLast() = 0;   // after the last record
  // Reads the next, prior or current record into the active buffer: 0, 8705 or 8706.
  virtual uint16_t GetRecord(int mode) = 0;
  virtual void InternalInitRecord() = 0;
  virtual void InternalEdit() = 0;
  virtual void InternalPost() = 0;  // insert or modify by state
  virtual void InternalCancel() = 0;
  virtual void InternalDelete() = 0;
  virtual void InternalRefresh() = 0;
  virtual std::vector<uint8_t> CurrentBookmark() = 0;
  virtual void InternalGotoBookmark(const std::vector<uint8_t>& bookmark) = 0;
  virtual void InternalLoadFieldDefs(std::vector<TFieldDef>& defs) = 0;

  static constexpr int kCurrent = 0, kNext = 1, kPrior = 2;

  void SetState(TDataSetState state) { state_ = state; }
  void SetCanModify(bool on) { canModify_ = on; }
  // Re-reads the active record where the cursor stands (after a post, cancel, delete).
  void Resync();
  // Makes the record the cursor was moved to (by a search) the active one.
  void SettleOnCursor();
  void CheckActive() const;
  void ClearModifiedFields() { modified_.assign(fields_.size(), false); }
  bool AnyFieldModified() const;
  void BuildFields();
  void DestroyFields() {
    fields_.clear();
    modified_.clear();
  }
  // Computes the calculated fields of the active record.
  void CalculateFields();
  // Views without a copy (TField::View): the record buffer they point into, null while
  // fields must read through GetFieldData (closed, or a validate handler running); and
  // each field's place in that buffer. A field's value is in the form GetFieldData
  // gives it, and a string's may end without a terminator.
  const std::vector<uint8_t>* viewRecord_ = nullptr;
  static void SetViewPlan(TField& field, uint16_t offset, uint16_t size, bool indicated) {
    field.viewOffset_ = offset;
    field.viewSize_ = size;
    field.viewKind_ = indicated ? TField::kIndicated : TField::kAlwaysSet;
  }
  static void ClearViewPlan(TField& field) { field.viewKind_ = TField::kNoView; }
  std::vector<TFieldDef> fieldDefs_;
  bool fieldDefsValid_ = false;
  bool recordValid_ = false;  // the active buffer holds a record

 private:
  TDataSetState state_ = TDataSetState::Inactive;
  TDataSetState priorState_ = TDataSetState::Inactive;
  uint64_t editSerial_ = 0;
  bool bof_ = true;
  bool eof_ = true;
  bool canModify_ = false;
  std::vector<std::unique_ptr<TField>> fields_;
  // Where the last name search ended; fields are mostly asked for in their order, so the
  // next search starts after it (names are unique without regard to case: see BuildFields).
  size_t lastFound_ = 0;
  bool namesUnique_ = false;
  std::vector<bool> modified_;
  std::vector<TFieldDef> calcDefs_;
  std::vector<int> calcOffsets_;
  std::vector<uint8_t> calcArea_;
  std::vector<TDataSource*> sources_;
  friend class TDataSource;
};

// A data source shows a dataset to data links (a detail table's link to its master).
class TDataLink;
class TDataSource {
 public:
  explicit TDataSource(TDataSet* dataSet = nullptr) { SetDataSet(dataSet); }
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;
  TDataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TDataSet* dataSet);
  const std::vector<TDataLink*>& Links() const { return links_; }

 private:
  friend class TDataSet;
  friend class TDataLink;
  TDataSet* dataSet_ = nullptr;
  std::vector<TDataLink*> links_;
};

// A link to a data source: told when its dataset opens or closes and when its record
// changes.
class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink() { SetDataSource(nullptr); }
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;
  TDataSource* DataSource() const { return source_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const { return source_ ? source_->DataSet() : nullptr; }
  bool Active() const { return DataSet() && DataSet()->Active(); }

 protected:
  friend class TDataSet;
  friend class TDataSource;
  virtual void ActiveChanged() {}
  // field: the field that changed, or null for the whole record.
  virtual void RecordChanged(const TField* /*field*/) {}

 private:
  TDataSource* source_ = nullptr;
};

// The framework's plain database errors.
[[noreturn]] void DatabaseError(const std::string& message);
[[noreturn]] void DatabaseErrorFmt(const std::string& format, const std::string& value);

inline bool TField::View(TFieldView& view) const {
  if (viewKind_ == kNoView) return false;
  const uint8_t* at = dataSet_.ViewRecord();
  if (!at) return false;
  at += viewOffset_;
  if (viewKind_ == kIndicated) {
    if (*at == 0) {
      view = {};
      return true;
    }
    ++at;
  }
  view.data = at;
  view.size = viewSize_;
  return true;
}

}  // namespace ovrin
