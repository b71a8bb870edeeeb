#include "engine/table/dataset.h"

#include <algorithm>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <sstream>

#include "engine/base/coding.h"

namespace ovrin {

void DatabaseError(const std::string& message) { throw EDatabaseError(message); }

void DatabaseErrorFmt(const std::string& format, const std::string& value) {
  std::string s = format;
  size_t at = s.find("%s");
  if (at != std::string::npos) s.replace(at, 2, value);
  throw EDatabaseError(s);
}

const char* FieldTypeName(TFieldType type) {
  switch (type) {
    case TFieldType::String: return "String";
    case TFieldType::SmallInt: return "SmallInt";
    case TFieldType::Integer: return "Integer";
    case TFieldType::Word: return "Word";
    case TFieldType::Boolean: return "Boolean";
    case TFieldType::Float: return "Float";
    case TFieldType::Currency: return "Currency";
    case TFieldType::BCD: return "BCD";
    case TFieldType::Date: return "Date";
    case TFieldType::Time: return "Time";
    case TFieldType::DateTime: return "DateTime";
    case TFieldType::Bytes: return "Bytes";
    case TFieldType::VarBytes: return "VarBytes";
    case TFieldType::AutoInc: return "AutoInc";
    case TFieldType::Blob: return "Blob";
    case TFieldType::Memo: return "Memo";
    case TFieldType::Graphic: return "Graphic";
    case TFieldType::FmtMemo: return "FmtMemo";
    case TFieldType::TypedBinary: return "TypedBinary";
    case TFieldType::LargeInt: return "LargeInt";
    case TFieldType::ADT: return "ADT";
    case TFieldType::Array: return "Array";
    case TFieldType::Reference: return "Reference";
    case TFieldType::DataSet: return "DataSet";
    default: return "Unknown";
  }
}

bool IsBlobType(TFieldType type) {
  return type == TFieldType::Blob || type == TFieldType::Memo || type == TFieldType::Graphic ||
         type == TFieldType::FmtMemo || type == TFieldType::TypedBinary;
}

// ---------------------------------------------------------------- TField

TField::TField(TDataSet& dataSet, const TFieldDef& def)
    : dataSet_(dataSet), name_(def.Name), fieldNo_(def.FieldNo), type_(def.DataType), size_(def.Size),
      required_(def.Required) {}

int TField::DataSize() const {
  switch (type_) {
    case TFieldType::String: return size_ + 1;
    case TFieldType::SmallInt:
    case TFieldType::Word:
    case TFieldType::Boolean: return 2;
    case TFieldType::Integer:
    case TFieldType::AutoInc:
    case TFieldType::Date:
    case TFieldType::Time: return 4;
    case TFieldType::Bytes:
    case TFieldType::VarBytes: return size_;
    default: return IsBlob() ? 4 : 8;
  }
}

bool TField::GetData(std::vector<uint8_t>* out) const {
  // The caller's vector (or the field's own) keeps its room from read to read.
  std::vector<uint8_t>& buffer = out ? *out : scratch_;
  if (IsBlob()) {
    buffer.assign(static_cast<size_t>(DataSize()), 0);
    return dataSet_.GetFieldData(*this, buffer.data());
  }
  // A value fills the whole buffer; a null one leaves it as zeros.
  buffer.resize(static_cast<size_t>(DataSize()));
  bool has = dataSet_.GetFieldData(*this, buffer.data());
  if (!has) std::fill(buffer.begin(), buffer.end(), 0);
  return has;
}

namespace {
// The value of a number, date, time or boolean field as the dataset takes it: at most 8
// bytes (their data sizes), zeros past what is stored.
struct TFixedValue {
  uint8_t bytes[8] = {};
  uint8_t* data() { return bytes; }
};
}  // namespace

void TField::SetData(const std::vector<uint8_t>* value) {
  if (value && value->size() < static_cast<size_t>(DataSize())) {
    std::vector<uint8_t> padded(*value);
    padded.resize(static_cast<size_t>(DataSize()), 0);
    dataSet_.SetFieldData(*this, padded.data());
    return;
  }
  dataSet_.SetFieldData(*this, value ? value->data() : nullptr);
}

bool TField::IsNull() const {
  if (IsBlob()) return AsBytes().empty();
  return !GetData(nullptr);
}

void TField::Clear() {
  if (IsBlob()) {
    SetAsBytes("");
    return;
  }
  SetData(nullptr);
}

void TField::BadConversion(const std::string& what) const {
  DatabaseError("Cannot access field '" + name_ + "' as type " + what);
}

namespace {

std::string FormatFloat(double v, char separator) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", v);
  std::string s(buffer);
  for (char& c : s)
    if (c == '.') c = separator;
  return s;
}

std::string FormatCurrency(int64_t v, char separator) {
  bool negative = v < 0;
  uint64_t m = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  std::string text = std::to_string(m / 10000);
  uint64_t frac = m % 10000;
  if (frac) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(frac));
    std::string f(digits);
    while (!f.empty() && f.back() == '0') f.pop_back();
    text += separator + f;
  }
  return negative ? "-" + text : text;
}

[[noreturn]] void RangeError(int64_t value, const std::string& field, int64_t low, int64_t high) {
  DatabaseError(std::to_string(value) + " is not a valid value for field '" + field + "'. The allowed range is " +
                std::to_string(low) + " to " + std::to_string(high));
}

bool BooleanFromText(const std::string& text, bool* out) {
  std::string u = AsciiUpper(TrimChar(text, ' '));
  if (u.empty()) return false;
  if (std::string("TRUE").compare(0, u.size(), u) == 0) {
    *out = true;
    return true;
  }
  if (std::string("FALSE").compare(0, u.size(), u) == 0) {
    *out = false;
    return true;
  }
  throw EConvertError("'" + text + "' is not a valid boolean value");
}

}  // namespace

namespace {
// A string field's text in its stored bytes: up to the first zero or the declared size,
// as the bytes came from a file and need not hold a terminator.
std::string_view StoredText(const TFieldView& view, int declared) {
  if (!view.data) return {};
  const char* text = reinterpret_cast<const char*>(view.data);
  return {text, strnlen(text, std::min<size_t>(view.size, static_cast<size_t>(declared)))};
}
}  // namespace

std::string_view TField::AsStringView() const {
  if (type_ == TFieldType::String) {
    TFieldView view;
    if (View(view)) return StoredText(view, size_);
  }
  text_ = AsString();
  return text_;
}

std::string TField::AsString() const {
  if (IsBlob()) return AsBytes();
  if (type_ == TFieldType::String) {
    TFieldView view;
    if (View(view)) return std::string(StoredText(view, size_));
  }
  std::vector<uint8_t>& v = scratch_;
  if (!GetData(&v)) return "";
  // The settings are a copy of many texts: taken only for the types that format with them.
  switch (type_) {
    case TFieldType::Float:
    case TFieldType::Currency:
    case TFieldType::BCD:
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::DateTime: return FormattedText(v);
    default: break;
  }
  switch (type_) {
    case TFieldType::String: {
      // Up to the first zero or the declared size: the bytes came from a file and need
      // not hold a terminator.
      const char* text = reinterpret_cast<const char*>(v.data());
      return std::string(text, strnlen(text, std::min<size_t>(v.size(), static_cast<size_t>(size_))));
    }
    case TFieldType::SmallInt: return std::to_string(LoadLEI16(v.data()));
    case TFieldType::Word: return std::to_string(LoadLE16(v.data()));
    case TFieldType::Integer:
    case TFieldType::AutoInc: return std::to_string(LoadLEI32(v.data()));
    case TFieldType::LargeInt: return std::to_string(LoadLEI64(v.data()));
    case TFieldType::Boolean: return LoadLE16(v.data()) ? "True" : "False";
    case TFieldType::Bytes:
    case TFieldType::VarBytes: return std::string(v.begin(), v.end());
    default: return "";
  }
}

std::string TField::OldValueAsString() const {
  TDataSet::TTempState old(dataSet_, TDataSetState::OldValue);
  return AsString();
}

std::string TField::FormattedText(const std::vector<uint8_t>& v) const {
  TFormatSettings s = SaveSettings();
  switch (type_) {
    case TFieldType::Float:
    case TFieldType::Currency: return FormatFloat(LoadLEDouble(v.data()), s.DecimalSeparator);
    case TFieldType::BCD: return FormatCurrency(LoadLEI64(v.data()), s.DecimalSeparator);
    case TFieldType::Date: return FormatDateTime(s.ShortDateFormat, AsDateTime(), s);
    case TFieldType::Time: return FormatDateTime(s.LongTimeFormat, AsDateTime(), s);
    default: return DateTimeToText(AsDateTime(), s);
  }
}

void TField::SetAsString(const std::string& value) {
  if (IsBlob()) {
    SetAsBytes(value);
    return;
  }
  if (type_ == TFieldType::String || type_ == TFieldType::Bytes || type_ == TFieldType::VarBytes) {
    // The value padded with zeros to the field's size: on the stack unless the field is
    // unusually wide.
    const size_t size = static_cast<size_t>(DataSize());
    uint8_t small[512];
    std::vector<uint8_t> large;
    uint8_t* v = small;
    if (size > sizeof small) {
      large.resize(size);
      v = large.data();
    }
    std::memset(v, 0, size);
    if (size > 0) std::memcpy(v, value.data(), std::min(value.size(), size - (type_ == TFieldType::String ? 1 : 0)));
    dataSet_.SetFieldData(*this, v);
    return;
  }
  if (TrimChar(value, ' ').empty()) {
    Clear();
    return;
  }
  TFormatSettings s = SaveSettings();
  switch (type_) {
    case TFieldType::SmallInt:
    case TFieldType::Word:
    case TFieldType::Integer:
    case TFieldType::AutoInc:
    case TFieldType::LargeInt: {
      int64_t v;
      std::string t = TrimChar(value, ' ');
      try {
        size_t used = 0;
        v = std::stoll(t, &used);
        if (used != t.size()) throw std::invalid_argument(t);
      } catch (const std::exception&) {
        throw EConvertError("'" + value + "' is not a valid integer value");
      }
      SetAsInteger(v);
      return;
    }
    case TFieldType::Boolean: {
      bool b;
      if (BooleanFromText(value, &b)) SetAsBoolean(b);
      return;
    }
    case TFieldType::Float:
    case TFieldType::Currency: SetAsFloat(TextToFloat(value, s)); return;
    case TFieldType::BCD: SetAsCurrency(TextToCurrency(value, s)); return;
    case TFieldType::Date: SetAsDateTime(TextToDate(value, s)); return;
    case TFieldType::Time: SetAsDateTime(TextToTime(value, s)); return;
    case TFieldType::DateTime: SetAsDateTime(TextToDateTime(value, s)); return;
    default: BadConversion("String");
  }
}

int64_t TField::AsLargeInt() const {
  std::vector<uint8_t>& v = scratch_;
  TFieldView view;
  switch (type_) {
    // The integer types straight from the record where the dataset gives its bytes.
    case TFieldType::SmallInt:
      if (View(view)) return view.data ? LoadLEI16(view.data) : 0;
      break;
    case TFieldType::Word:
      if (View(view)) return view.data ? LoadLE16(view.data) : 0;
      break;
    case TFieldType::Integer:
    case TFieldType::AutoInc:
      if (View(view)) return view.data ? LoadLEI32(view.data) : 0;
      break;
    case TFieldType::LargeInt:
      if (View(view)) return view.data ? LoadLEI64(view.data) : 0;
      break;
    case TFieldType::String: {
      std::string t = TrimChar(AsString(), ' ');
      if (t.empty()) return 0;
      try {
        size_t used = 0;
        int64_t n = std::stoll(t, &used);
        if (used == t.size()) return n;
      } catch (const std::exception&) {
      }
      throw EConvertError("'" + t + "' is not a valid integer value");
    }
    case TFieldType::Float:
    case TFieldType::Currency: return static_cast<int64_t>(std::llround(AsFloat()));
    case TFieldType::BCD: return static_cast<int64_t>(std::llround(AsCurrency() / 10000.0));
    case TFieldType::Boolean:
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::DateTime:
    case TFieldType::Bytes:
    case TFieldType::VarBytes: BadConversion("Integer");
    default: break;
  }
  if (IsBlob()) BadConversion("Integer");
  if (!GetData(&v)) return 0;
  switch (type_) {
    case TFieldType::SmallInt: return LoadLEI16(v.data());
    case TFieldType::Word: return LoadLE16(v.data());
    case TFieldType::LargeInt: return LoadLEI64(v.data());
    default: return LoadLEI32(v.data());
  }
}

int32_t TField::AsInteger() const {
  // The common case, straight from the record.
  if (type_ == TFieldType::Integer || type_ == TFieldType::AutoInc) {
    TFieldView view;
    if (View(view)) return view.data ? LoadLEI32(view.data) : 0;
  }
  int64_t v = AsLargeInt();
  if (v < INT32_MIN || v > INT32_MAX) throw EConvertError("'" + std::to_string(v) + "' is not a valid integer value");
  return static_cast<int32_t>(v);
}

void TField::SetAsInteger(int64_t value) {
  TFixedValue v;
  switch (type_) {
    case TFieldType::SmallInt:
      if (value < -32768 || value > 32767) RangeError(value, name_, -32768, 32767);
      StoreLE16(v.data(), static_cast<uint16_t>(value));
      break;
    case TFieldType::Word:
      if (value < 0 || value > 65535) RangeError(value, name_, 0, 65535);
      StoreLE16(v.data(), static_cast<uint16_t>(value));
      break;
    case TFieldType::Integer:
    case TFieldType::AutoInc:
      if (value < INT32_MIN || value > INT32_MAX) RangeError(value, name_, INT32_MIN, INT32_MAX);
      StoreLE32(v.data(), static_cast<uint32_t>(value));
      break;
    case TFieldType::LargeInt: StoreLE64(v.data(), static_cast<uint64_t>(value)); break;
    case TFieldType::String: SetAsString(std::to_string(value)); return;
    case TFieldType::Float:
    case TFieldType::Currency: SetAsFloat(static_cast<double>(value)); return;
    case TFieldType::BCD: SetAsCurrency(value * 10000); return;
    default: BadConversion("Integer");
  }
  dataSet_.SetFieldData(*this, v.data());
}

double TField::AsFloat() const {
  std::vector<uint8_t>& v = scratch_;
  switch (type_) {
    case TFieldType::Float:
    case TFieldType::Currency: {
      TFieldView view;
      if (View(view)) return view.data ? LoadLEDouble(view.data) : 0.0;
      return GetData(&v) ? LoadLEDouble(v.data()) : 0.0;
    }
    case TFieldType::BCD: return AsCurrency() / 10000.0;
    case TFieldType::String: {
      std::string t = AsString();
      return TrimChar(t, ' ').empty() ? 0.0 : TextToFloat(t, SaveSettings());
    }
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::DateTime: return AsDateTime();
    case TFieldType::SmallInt:
    case TFieldType::Word:
    case TFieldType::Integer:
    case TFieldType::AutoInc:
    case TFieldType::LargeInt: return static_cast<double>(AsLargeInt());
    default: BadConversion("Float");
  }
}

void TField::SetAsFloat(double value) {
  TFixedValue v;
  switch (type_) {
    case TFieldType::Float:
    case TFieldType::Currency:
      StoreLEDouble(v.data(), value);
      dataSet_.SetFieldData(*this, v.data());
      return;
    case TFieldType::BCD: SetAsCurrency(static_cast<int64_t>(std::llround(value * 10000.0))); return;
    case TFieldType::String: SetAsString(FormatFloat(value, SaveSettings().DecimalSeparator)); return;
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::DateTime: SetAsDateTime(value); return;
    case TFieldType::SmallInt:
    case TFieldType::Word:
    case TFieldType::Integer:
    case TFieldType::LargeInt: SetAsInteger(static_cast<int64_t>(std::llround(value))); return;
    default: BadConversion("Float");
  }
}

TDateTime TField::AsDateTime() const {
  std::vector<uint8_t>& v = scratch_;
  switch (type_) {
    case TFieldType::Date: return GetData(&v) ? static_cast<TDateTime>(LoadLEI32(v.data()) - kDateDelta) : 0.0;
    case TFieldType::Time: return GetData(&v) ? LoadLEI32(v.data()) / static_cast<double>(kMsPerDay) : 0.0;
    case TFieldType::DateTime: return GetData(&v) ? TimeStampToDateTime(LoadLEDouble(v.data())) : 0.0;
    case TFieldType::String: {
      std::string t = AsString();
      return TrimChar(t, ' ').empty() ? 0.0 : TextToDateTime(t, SaveSettings());
    }
    case TFieldType::Float:
    case TFieldType::Currency: return AsFloat();
    default: BadConversion("DateTime");
  }
}

void TField::SetAsDateTime(TDateTime value) {
  TFixedValue v;
  switch (type_) {
    case TFieldType::Date: StoreLE32(v.data(), static_cast<uint32_t>(DateTimeToDayNumber(value))); break;
    case TFieldType::Time: StoreLE32(v.data(), static_cast<uint32_t>(DateTimeToMsOfDay(value))); break;
    case TFieldType::DateTime: StoreLEDouble(v.data(), DateTimeToTimeStamp(value)); break;
    case TFieldType::String: SetAsString(DateTimeToText(value, SaveSettings())); return;
    case TFieldType::Float:
    case TFieldType::Currency: SetAsFloat(value); return;
    default: BadConversion("DateTime");
  }
  dataSet_.SetFieldData(*this, v.data());
}

bool TField::AsBoolean() const {
  std::vector<uint8_t>& v = scratch_;
  switch (type_) {
    case TFieldType::Boolean: return GetData(&v) && LoadLE16(v.data()) != 0;
    case TFieldType::String: {
      bool b = false;
      std::string t = AsString();
      if (!TrimChar(t, ' ').empty()) BooleanFromText(t, &b);
      return b;
    }
    case TFieldType::SmallInt:
    case TFieldType::Word:
    case TFieldType::Integer:
    case TFieldType::LargeInt: return AsLargeInt() != 0;
    default: BadConversion("Boolean");
  }
}

void TField::SetAsBoolean(bool value) {
  switch (type_) {
    case TFieldType::Boolean: {
      TFixedValue v;
      StoreLE16(v.data(), value ? 1 : 0);
      dataSet_.SetFieldData(*this, v.data());
      return;
    }
    case TFieldType::String: SetAsString(value ? "True" : "False"); return;
    case TFieldType::SmallInt:
    case TFieldType::Word:
    case TFieldType::Integer:
    case TFieldType::LargeInt: SetAsInteger(value ? 1 : 0); return;
    default: BadConversion("Boolean");
  }
}

int64_t TField::AsCurrency() const {
  std::vector<uint8_t>& v = scratch_;
  switch (type_) {
    case TFieldType::BCD: return GetData(&v) ? LoadLEI64(v.data()) : 0;
    case TFieldType::Float:
    case TFieldType::Currency: return static_cast<int64_t>(std::llround(AsFloat() * 10000.0));
    case TFieldType::String: {
      std::string t = AsString();
      return TrimChar(t, ' ').empty() ? 0 : TextToCurrency(t, SaveSettings());
    }
    default: return AsLargeInt() * 10000;
  }
}

void TField::SetAsCurrency(int64_t value) {
  if (type_ == TFieldType::BCD) {
    TFixedValue v;
    StoreLE64(v.data(), static_cast<uint64_t>(value));
    dataSet_.SetFieldData(*this, v.data());
    return;
  }
  if (type_ == TFieldType::String) {
    SetAsString(FormatCurrency(value, SaveSettings().DecimalSeparator));
    return;
  }
  SetAsFloat(value / 10000.0);
}

std::string TField::AsBytes() const {
  if (!IsBlob()) {
    std::vector<uint8_t> v;
    if (!GetData(&v)) return "";
    if (type_ == TFieldType::String) return AsString();
    return std::string(v.begin(), v.end());
  }
  auto stream = dataSet_.CreateBlobStream(const_cast<TField&>(*this), TBlobStreamMode::Read);
  std::string out(static_cast<size_t>(stream->Size()), '\0');
  uint32_t got = out.empty() ? 0 : stream->Read(out.data(), static_cast<uint32_t>(out.size()));
  out.resize(got);
  return out;
}

void TField::SetAsBytes(std::string_view value) {
  if (!IsBlob()) {
    SetAsString(std::string(value));
    return;
  }
  auto stream = dataSet_.CreateBlobStream(*this, TBlobStreamMode::Write);
  if (!value.empty()) stream->Write(value.data(), static_cast<uint32_t>(value.size()));
}

void TField::LoadFromStream(std::istream& in) {
  // What is left of the stream: a seekable stream tells its size and is read at once,
  // straight into the text; any other in large pieces.
  std::string bytes;
  std::streampos at = in.tellg();
  if (at != std::streampos(-1) && in.seekg(0, std::ios::end)) {
    std::streamoff left = in.tellg() - at;
    in.seekg(at);
    if (left > 0) {
      bytes.resize(static_cast<size_t>(left));
      in.read(bytes.data(), left);
      bytes.resize(static_cast<size_t>(in.gcount()));
    }
  }
  in.clear(in.rdstate() & ~std::ios::failbit);
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) bytes.append(chunk, static_cast<size_t>(in.gcount()));
  SetAsBytes(bytes);
}

void TField::SaveToStream(std::ostream& out) const {
  std::string bytes = AsBytes();
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ---------------------------------------------------------------- TDataSet

int TDataSet::Translate(const char* source, char* destination, bool /*toOem*/) {
  if (!source) return 0;
  size_t length = std::strlen(source);
  if (destination && destination != source) {
    std::memmove(destination, source, length);
    destination[length] = '\0';
  }
  return static_cast<int>(length);
}

TDataSet::TTempState::TTempState(TDataSet& dataSet, TDataSetState state)
    : dataSet_(dataSet), saved_(dataSet.state_), savedPrior_(dataSet.priorState_) {
  dataSet_.CheckActive();
  dataSet_.priorState_ = saved_;
  dataSet_.state_ = state;
}

TDataSet::TTempState::~TTempState() {
  dataSet_.state_ = saved_;
  dataSet_.priorState_ = savedPrior_;
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::Open() {
  if (Active()) return;
  InternalOpen();
  try {
    BuildFields();
    InternalFieldsReady();
    state_ = TDataSetState::Browse;
    First();
    InternalOpened();
  } catch (...) {
    state_ = TDataSetState::Inactive;
    DestroyFields();
    InternalClose();
    throw;
  }
  NotifyActive();
}

TDataSet::~TDataSet() {
  for (TDataSource* s : sources_) s->dataSet_ = nullptr;
}

void TDataSet::NotifyActive() {
  std::vector<TDataSource*> sources = sources_;
  for (TDataSource* s : sources) {
    std::vector<TDataLink*> links = s->links_;
    for (TDataLink* l : links) l->ActiveChanged();
  }
}

void TDataSet::NotifyRecord(const TField* field) {
  if (state_ == TDataSetState::Inactive) return;
  std::vector<TDataSource*> sources = sources_;
  for (TDataSource* s : sources) {
    std::vector<TDataLink*> links = s->links_;
    for (TDataLink* l : links) l->RecordChanged(field);
  }
}

TDataSource::~TDataSource() {
  // The links hear that their dataset went away; what fails there (a detail whose
  // pending insert cannot be posted) is theirs to report later, never a reason to end
  // the process from a destructor.
  if (dataSet_) {
    auto& v = dataSet_->sources_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
    dataSet_ = nullptr;
  }
  for (TDataLink* l : std::vector<TDataLink*>(links_)) {
    try {
      l->ActiveChanged();
    } catch (...) {
    }
  }
  for (TDataLink* l : links_) l->source_ = nullptr;
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet_ == dataSet) return;
  if (dataSet_) {
    auto& v = dataSet_->sources_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  dataSet_ = dataSet;
  if (dataSet_) dataSet_->sources_.push_back(this);
  for (TDataLink* l : std::vector<TDataLink*>(links_)) l->ActiveChanged();
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source_ == source) return;
  if (source_) {
    auto& v = source_->links_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  source_ = source;
  if (source_) source_->links_.push_back(this);
}

void TDataSet::Close() {
  if (!Active()) return;
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) {
    try {
      Cancel();
    } catch (...) {
    }
  }
  state_ = TDataSetState::Inactive;
  DestroyFields();
  recordValid_ = false;
  bof_ = eof_ = true;
  InternalClose();
  NotifyActive();
}

const std::vector<TFieldDef>& TDataSet::FieldDefs() {
  if (!fieldDefsValid_) {
    fieldDefs_.clear();
    InternalLoadFieldDefs(fieldDefs_);
    fieldDefsValid_ = true;
  }
  return fieldDefs_;
}

void TDataSet::BuildFields() {
  fields_.clear();
  for (const TFieldDef& def : FieldDefs()) fields_.push_back(std::make_unique<TField>(*this, def));
  calcOffsets_.clear();
  int offset = 0;
  for (const TFieldDef& def : calcDefs_) {
    fields_.push_back(std::make_unique<TField>(*this, def));
    calcOffsets_.push_back(offset);
    offset += 1 + fields_.back()->DataSize();
  }
  // With two names equal but for case only the first may answer, so searches then
  // always start at the first field.
  namesUnique_ = true;
  for (size_t i = 0; i < fields_.size(); ++i)
    for (size_t j = i + 1; j < fields_.size(); ++j)
      if (AsciiEqualNoCase(fields_[i]->FieldName(), fields_[j]->FieldName())) namesUnique_ = false;
  lastFound_ = 0;
  calcArea_.assign(static_cast<size_t>(offset), 0);
  modified_.assign(fields_.size(), false);
}

void TDataSet::AddCalculatedField(const std::string& name, TFieldType type, int size) {
  if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
  if (IsBlobType(type)) DatabaseErrorFmt("Field '%s' cannot be a calculated blob field", name);
  TFieldDef def;
  def.Name = name;
  def.FieldNo = -static_cast<int>(calcDefs_.size()) - 1;
  def.DataType = type;
  def.Size = size;
  calcDefs_.push_back(def);
}

bool TDataSet::GetCalcFieldData(const TField& field, uint8_t* out) const {
  size_t i = static_cast<size_t>(-field.FieldNo() - 1);
  if (i >= calcOffsets_.size() || (!recordValid_ && state_ == TDataSetState::Browse)) return false;
  const uint8_t* at = calcArea_.data() + calcOffsets_[i];
  if (at[0] && out) std::memcpy(out, at + 1, static_cast<size_t>(field.DataSize()));
  return at[0] != 0;
}

void TDataSet::SetCalcFieldData(const TField& field, const uint8_t* value) {
  size_t i = static_cast<size_t>(-field.FieldNo() - 1);
  if (i >= calcOffsets_.size()) return;
  uint8_t* at = calcArea_.data() + calcOffsets_[i];
  at[0] = value ? 1 : 0;
  std::memset(at + 1, 0, static_cast<size_t>(field.DataSize()));
  if (value) std::memcpy(at + 1, value, static_cast<size_t>(field.DataSize()));
}

void TDataSet::CalculateFields() {
  std::fill(calcArea_.begin(), calcArea_.end(), 0);
  if (calcDefs_.empty() || !OnCalcFields) return;
  TDataSetState saved = state_;
  state_ = TDataSetState::CalcFields;
  struct TRestore {
    TDataSetState& state;
    TDataSetState value;
    ~TRestore() { state = value; }
  } restore{state_, saved};
  OnCalcFields(*this);
}

TField* TDataSet::FindField(const std::string& name) {
  const size_t n = fields_.size();
  const size_t start = namesUnique_ && n ? (lastFound_ + 1) % n : 0;
  for (size_t k = 0; k < n; ++k) {
    size_t i = start + k < n ? start + k : start + k - n;
    const std::string& candidate = fields_[i]->FieldName();
    // Names are mostly asked for as they are spelt: the plain comparison first.
    if (candidate.size() != name.size()) continue;
    if (candidate == name || AsciiEqualNoCase(candidate, name)) {
      lastFound_ = i;
      return fields_[i].get();
    }
  }
  return nullptr;
}

TField& TDataSet::FieldByName(const std::string& name) {
  TField* f = FindField(name);
  if (!f) DatabaseErrorFmt("Field '%s' not found", name);
  return *f;
}

bool TDataSet::FieldModified(const TField& field) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].get() == &field) return modified_[i];
  return false;
}

void TDataSet::SetFieldModified(const TField& field) {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].get() == &field) modified_[i] = true;
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) NotifyRecord(&field);
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert || state_ == TDataSetState::SetKey) Post();
}

bool TDataSet::AnyFieldModified() const {
  for (bool m : modified_)
    if (m) return true;
  return false;
}

void TDataSet::First() {
  CheckBrowseMode();
  InternalFirst();
  uint16_t code = GetRecord(kNext);
  recordValid_ = code == 0;
  bof_ = true;
  eof_ = !recordValid_;
  CalculateFields();
  NotifyRecord(nullptr);
}

void TDataSet::Last() {
  CheckBrowseMode();
  InternalLast();
  uint16_t code = GetRecord(kPrior);
  recordValid_ = code == 0;
  eof_ = true;
  bof_ = !recordValid_;
  CalculateFields();
  NotifyRecord(nullptr);
}

int32_t TDataSet::MoveBy(int32_t distance) {
  CheckBrowseMode();
  int32_t moved = 0;
  if (!recordValid_) return 0;
  while (distance > 0) {
    if (eof_) break;
    if (GetRecord(kNext) != 0) {
      eof_ = true;
      break;
    }
    bof_ = false;
    ++moved;
    --distance;
  }
  while (distance < 0) {
    if (bof_) break;
    if (GetRecord(kPrior) != 0) {
      bof_ = true;
      break;
    }
    eof_ = false;
    --moved;
    ++distance;
  }
  if (moved) {
    CalculateFields();
    NotifyRecord(nullptr);
  }
  return moved;
}

void TDataSet::Resync() {
  if (!(recordValid_ && GetRecord(kCurrent) == 0)) {
    InternalFirst();
    recordValid_ = GetRecord(kNext) == 0;
    bof_ = true;
    eof_ = !recordValid_;
  }
  CalculateFields();
  NotifyRecord(nullptr);
}

void TDataSet::SettleOnCursor() {
  recordValid_ = true;
  bof_ = eof_ = false;
  Resync();
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  InternalRefresh();
  Resync();
}

std::vector<uint8_t> TDataSet::GetBookmark() {
  CheckActive();
  if (!recordValid_) return {};
  return CurrentBookmark();
}

void TDataSet::GotoBookmark(const std::vector<uint8_t>& bookmark) {
  CheckBrowseMode();
  if (bookmark.empty()) return;
  InternalGotoBookmark(bookmark);
  recordValid_ = GetRecord(kCurrent) == 0;
  bof_ = eof_ = false;
  if (!recordValid_) Resync();
  else CalculateFields();
}

void TDataSet::Append() {
  CheckBrowseMode();
  if (!canModify_) DatabaseError("Cannot modify a read-only dataset");
  InternalInitRecord();
  std::fill(calcArea_.begin(), calcArea_.end(), 0);
  state_ = TDataSetState::Insert;
  ++editSerial_;
  ClearModifiedFields();
  InternalNewRecord();
  if (OnNewRecord) OnNewRecord(*this);
}

void TDataSet::Edit() {
  CheckActive();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) return;
  if (!canModify_) DatabaseError("Cannot modify a read-only dataset");
  if (!recordValid_) {
    Append();
    return;
  }
  InternalEdit();
  state_ = TDataSetState::Edit;
  ++editSerial_;
  ClearModifiedFields();
}

void TDataSet::Post() {
  CheckActive();
  if (state_ == TDataSetState::SetKey) {
    InternalPostKey();
    state_ = TDataSetState::Browse;
    ClearModifiedFields();
    return;
  }
  if (state_ != TDataSetState::Edit && state_ != TDataSetState::Insert) return;
  // A failure leaves the dataset in its edit or insert state with its buffer intact.
  InternalPost();
  state_ = TDataSetState::Browse;
  ClearModifiedFields();
  recordValid_ = true;
  bof_ = eof_ = false;
  Resync();
}

void TDataSet::Cancel() {
  CheckActive();
  if (state_ == TDataSetState::SetKey) {
    InternalCancelKey();
    state_ = TDataSetState::Browse;
    ClearModifiedFields();
    return;
  }
  if (state_ != TDataSetState::Edit && state_ != TDataSetState::Insert) return;
  InternalCancel();
  state_ = TDataSetState::Browse;
  ClearModifiedFields();
  Resync();
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == TDataSetState::Insert) {
    Cancel();
    return;
  }
  if (!recordValid_) DatabaseError("Cannot perform this operation on an empty dataset");
  CheckBrowseMode();
  if (!canModify_) DatabaseError("Cannot modify a read-only dataset");
  InternalDelete();
  Resync();
}

}  // namespace ovrin
