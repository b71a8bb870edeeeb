// A ToDo list line split into its fields, and the fields converted as the migration does.
#include <cstdint>
#include <string>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "main/migration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ovrin::TFormatSettings settings = [] {
    ovrin::TFormatSettings s = ovrin::FixedFormatSettings();
    hollard::ApplyDateFormat("dd.mm.yyyy", &s);
    return s;
  }();
  hollard::TToDoLine line = hollard::SplitToDoLine(std::string(reinterpret_cast<const char*>(data), size));
  try {
    ovrin::TextToInteger(line.priority);
  } catch (const std::exception&) {
  }
  try {
    ovrin::TextToDateTime(line.created, settings);
  } catch (const std::exception&) {
  }
  return 0;
}
