// Table locales. A table's locale is a Windows locale identifier, sort * 65536 +
// language; language 0 means none (byte order and ASCII upper-casing). The identifiers
// we know map onto an ICU locale and the Windows ANSI code page of that language;
// "installed" means the identifier is in our table and ICU has data for the locale.
//
// Text stays bytes in the code page; it is decoded only to compare or case-map it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ovrin {

struct TLocaleInfo {
  uint32_t lcid;
  const char* icuLocale;  // e.g. "de_DE", "de_DE@collation=phonebook"
  const char* codePage;   // ICU converter name, e.g. "windows-1252"
};

constexpr uint32_t MakeLcid(uint16_t language, uint16_t sort) {
  return (uint32_t(sort) << 16) | language;
}

// Null when the identifier is not in our table.
const TLocaleInfo* FindLocale(uint32_t lcid);
// The identifier is known and ICU has the locale.
bool IsLocaleInstalled(uint16_t language, uint16_t sort);

// Collation of two byte texts of the locale's code page: tertiary strength, or
// secondary when case is ignored. Answers -1, 0 or 1. The locale must be installed.
int LocaleCompare(uint32_t lcid, std::string_view a, std::string_view b, bool ignoreCase);

// Upper- or lower-case mapping of a byte text in the locale. Each character maps to one
// character of the same code page; one that has no single-character mapping there stays.
std::string LocaleUpper(uint32_t lcid, std::string_view text);
std::string LocaleLower(uint32_t lcid, std::string_view text);

// Decodes a text of a code page (ICU converter name) to UTF-8, and back; characters
// that the target cannot hold become '?'.
std::string DecodeToUtf8(std::string_view bytes, const char* codePage);
std::string EncodeFromUtf8(std::string_view utf8, const char* codePage);
// A UTF-8 text as a line may show it: whole when it has at most maxBytes bytes, else cut
// back to the start of a character at or before maxBytes, with "..." after it.
std::string CutUtf8(std::string_view utf8, size_t maxBytes);

}  // namespace ovrin
