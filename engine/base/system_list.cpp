#include "engine/base/system_list.h"

#include <string>

namespace ovrin {

namespace {
std::string Format(const char* text, int32_t value) {
  std::string s(text);
  s.replace(s.find("%d"), 2, std::to_string(value));
  return s;
}
}  // namespace

void ListIndexError(int32_t index) {
  throw EListError(Format("List index out of bounds (%d)", index));
}
void ListCapacityError(int32_t capacity) {
  throw EListError(Format("List capacity out of bounds (%d)", capacity));
}
void ListCountError(int32_t count) {
  throw EListError(Format("List count out of bounds (%d)", count));
}

int32_t ListGrowth(int32_t capacity) {
  int32_t delta = capacity > 64 ? capacity / 4 : (capacity > 8 ? 16 : 4);
  return capacity + delta;
}

}  // namespace ovrin
