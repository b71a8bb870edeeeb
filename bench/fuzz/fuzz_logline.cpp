// A history log line split into date, user and event, its event type, and its date read
// as the migration reads it; the event text also goes through the project-name removal.
#include <cstdint>
#include <string>

#include "engine/base/conversions.h"
#include "main/migration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ovrin::TFormatSettings settings = [] {
    ovrin::TFormatSettings s = ovrin::FixedFormatSettings();
    hollard::ApplyDateFormat("dd.mm.yyyy", &s);
    return s;
  }();
  std::string text(reinterpret_cast<const char*>(data), size);
  hollard::TLogLine line = hollard::SplitLogLine(text);
  hollard::EventType(text);
  ovrin::TDateTime stamp = 0;
  ovrin::TryTextToDateTime(line.dateText, settings, &stamp);
  hollard::ReplaceText(line.event, "main.dpr -", "");
  hollard::SplitFileName(line.event);
  return 0;
}
