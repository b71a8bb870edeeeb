// The data file's filters: registration, activation and the record access they need.
#include <algorithm>

#include "engine/base/errors.h"
#include "engine/data/data_file.h"
#include "engine/data/read_bracket.h"

namespace ovrin {

namespace {
constexpr size_t kMaxFilters = 127;
}

uint16_t TDataFile::RegisterFilter(const std::vector<uint8_t>* expression, TRecordCallback callback, bool combine,
                                   int* handle) {
  *handle = 0;
  if (!expression && !callback) return errFilterExpression;
  if (filters_.size() >= kMaxFilters) Raise(errTooManyFilters);
  std::unique_ptr<TFilter> filter;
  try {
    if (expression) {
      TExprFieldLookup lookup = [this](const std::string& name) {
        const TFieldDescriptor& d = FieldByName(name);
        return TExprField{d.FieldNumber(), d.Type(), static_cast<int32_t>(d.StoredSize()), d.DeclaredDecimals()};
      };
      TEvalTree tree = DecodeExpression(expression->data(), expression->size(), lookup);
      filter = std::make_unique<TFilter>(*index_, *this, std::move(tree), combine);
    } else {
      filter = std::make_unique<TFilter>(*index_, *this, std::move(callback), combine);
    }
  } catch (const std::bad_alloc&) {
    Raise(errNoMemory);
  }
  index_->RegisterFilter(filter.get());
  *handle = nextFilterHandle_++;
  filters_.emplace_back(*handle, std::move(filter));
  return 0;
}

TFilter* TDataFile::FilterByHandle(int handle) {
  for (auto& [h, f] : filters_)
    if (h == handle) return f.get();
  return nullptr;
}

uint16_t TDataFile::FreeFilter(int handle) {
  if (handle == 0) {
    index_->FreeAllFilters();
    filters_.clear();
    return 0;
  }
  auto it = std::find_if(filters_.begin(), filters_.end(), [&](const auto& e) { return e.first == handle; });
  if (it == filters_.end()) return errFilterHandle;
  // The index layer numbers its filters by their place in its list.
  int place = static_cast<int>(it - filters_.begin()) + 1;
  uint16_t result = index_->FreeFilter(place);
  filters_.erase(it);
  return result;
}

uint16_t TDataFile::ActivateFilter(int handle) { return SwitchFilter(handle, true); }
uint16_t TDataFile::DeactivateFilter(int handle) { return SwitchFilter(handle, false); }

uint16_t TDataFile::SwitchFilter(int handle, bool on) {
  std::vector<int> places;
  if (handle == 0) {
    for (size_t i = 0; i < filters_.size(); ++i) places.push_back(static_cast<int>(i) + 1);
  } else {
    auto it = std::find_if(filters_.begin(), filters_.end(), [&](const auto& e) { return e.first == handle; });
    if (it == filters_.end()) return errFilterHandle;
    places.push_back(static_cast<int>(it - filters_.begin()) + 1);
  }
  TReadBracket bracket(*this, strict_);
  std::vector<uint8_t> position = marker_ == kOnRecord ? CurrentPosition() : std::vector<uint8_t>();
  std::vector<int> switched;
  try {
    for (int place : places) {
      if (uint16_t result = index_->ActivateFilter(place, on)) return result;
      switched.push_back(place);
    }
  } catch (...) {
    // A read failed while a filter's records were judged: every filter goes back to
    // what it was, so that the cursor walks what its user believes it walks.
    try {
      index_->ActivateFilter(places[switched.size()], !on);
      for (int place : switched) index_->ActivateFilter(place, !on);
      if (index_->RecordFilterOn()) index_->RebuildBitmaps();
    } catch (...) {
    }
    index_->First();
    marker_ = kBeforeFirst;
    throw;
  }
  // Back where the cursor stood, when that record still passes.
  if (position.empty()) {
    index_->First();
    marker_ = kBeforeFirst;
  } else {
    GoToSavedPosition(position);
  }
  return 0;
}

bool TDataFile::ReadStoredRecord(int32_t recordNumber, std::vector<uint8_t>* record) {
  TRecord* r = Fetch(recordNumber, true, 0);
  bool live = r && r->buffer[datafmt::rDeleted] == 0;
  if (live) record->assign(r->buffer.begin(), r->buffer.begin() + recordSize_);
  ReleaseRecord(r);
  return live;
}

void TDataFile::FieldValue(const uint8_t* record, TEvalNode& field) {
  field.value.fill(0);
  if (field.fieldNumber <= 0 || field.fieldNumber > static_cast<int32_t>(fields_.size())) {
    field.isNull = true;
    return;
  }
  const TFieldDescriptor& d = FieldByNumber(field.fieldNumber);
  field.type = d.Type();
  if (d.Type() == fldBlob || d.StoredSize() > field.value.size() - 1) {
    field.isNull = record[d.Offset()] == 0;
    return;
  }
  field.isNull = GetFieldValue(field.fieldNumber, field.value.data(), record);
  if (d.IsAutoInc()) field.isNull = false;
}

}  // namespace ovrin
