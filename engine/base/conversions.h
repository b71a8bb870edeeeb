// Value conversions of the storage layer: the engine's format settings, the text tests
// and conversions for descriptor texts (minimum, maximum, default), currency to BCD and
// back, boolean text, string comparison and case mapping with and without a locale, the
// sortable key forms of values, byte operations on keys, and the shortstring helpers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/base/datetime.h"

namespace ovrin {

// Number and date formats, with the same items as the program-wide settings of a
// dataset framework. Texts are bytes of the locale's code page.
struct TFormatSettings {
  std::string CurrencyString = "$";
  uint8_t CurrencyFormat = 0;
  uint8_t NegCurrFormat = 0;
  char ThousandSeparator = ',';
  char DecimalSeparator = '.';
  uint8_t CurrencyDecimals = 2;
  char DateSeparator = '/';
  std::string ShortDateFormat = "M/d/yyyy";
  std::string LongDateFormat = "dddd, MMMM dd, yyyy";
  char TimeSeparator = ':';
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  std::string ShortTimeFormat = "h:mm AMPM";
  std::string LongTimeFormat = "h:mm:ss AMPM";
  std::array<std::string, 12> ShortMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::array<std::string, 12> LongMonthNames = {"January", "February", "March",     "April",
                                                "May",     "June",     "July",      "August",
                                                "September", "October", "November", "December"};
  std::array<std::string, 7> ShortDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::array<std::string, 7> LongDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                             "Thursday", "Friday", "Saturday"};
  bool operator==(const TFormatSettings&) const = default;
};

// The fixed settings used for tables without a locale.
const TFormatSettings& FixedFormatSettings();

// The program-wide settings: save copies them out, install replaces them; both under
// the engine's format-settings lock. They start as the fixed settings.
TFormatSettings SaveSettings();
void InstallSettings(const TFormatSettings& settings);
// Language 0 gives the fixed settings; otherwise the items come from the locale's data,
// with the fixed value wherever the locale has none.
TFormatSettings BuildSettingsForLocale(uint16_t language, uint16_t sort);
// The items from an ICU locale's data, texts in the code page (ICU converter name).
TFormatSettings BuildSettingsForIcuLocale(const char* icuLocale, const char* codePage);
// The settings of the user's locale (the process's default ICU locale), texts in the
// code page; the fixed settings for the C and POSIX locales.
TFormatSettings UserFormatSettings(const char* codePage = "windows-1252");

// Runs a conversion in the table's settings: save, build, install, convert, and always
// install the saved settings again.
template <typename F>
auto WithTableSettings(uint16_t language, uint16_t sort, F&& convert) {
  struct Restore {
    TFormatSettings saved = SaveSettings();
    ~Restore() { InstallSettings(saved); }
  } restore;
  InstallSettings(BuildSettingsForLocale(language, sort));
  return convert();
}

// Text tests: answer whether a text converts; they never fail. The float, BCD and date
// tests use the installed settings.
bool IsWordText(std::string_view text);
bool IsSmallIntText(std::string_view text);
bool IsIntegerText(std::string_view text);
bool IsBooleanText(std::string_view text);
bool IsFloatText(std::string_view text);
bool IsBcdText(std::string_view text);
bool IsDateText(std::string_view text);
bool IsDateTimeText(std::string_view text);
bool IsTimeText(std::string_view text);

// Conversions in the given settings (the installed ones when omitted). Failures raise
// EConvertError with the framework's messages.
bool BooleanText(std::string_view text);
int32_t TextToInteger(std::string_view text);
double TextToFloat(std::string_view text, const TFormatSettings& settings);
double TextToFloat(std::string_view text);
// Currency values are integers counting ten-thousandths.
int64_t TextToCurrency(std::string_view text, const TFormatSettings& settings);
int64_t TextToCurrency(std::string_view text);
TDateTime TextToDate(std::string_view text, const TFormatSettings& settings);
TDateTime TextToDate(std::string_view text);
TDateTime TextToTime(std::string_view text, const TFormatSettings& settings);
TDateTime TextToTime(std::string_view text);
TDateTime TextToDateTime(std::string_view text, const TFormatSettings& settings);
TDateTime TextToDateTime(std::string_view text);
bool TryTextToDate(std::string_view text, const TFormatSettings& settings, TDateTime* out);
bool TryTextToTime(std::string_view text, const TFormatSettings& settings, TDateTime* out);
bool TryTextToDateTime(std::string_view text, const TFormatSettings& settings, TDateTime* out);
// Date-time as text: the short date format, then the long time format when there is a
// time of day (the framework's default text of a date-time).
std::string DateTimeToText(TDateTime value, const TFormatSettings& settings);
std::string FormatDateTime(std::string_view format, TDateTime value, const TFormatSettings& settings);

// Currency (ten-thousandths) rounded to d decimals (0 to 4), half away from zero.
int64_t RoundCurrency(int64_t currency, int decimals);
// Currency (ten-thousandths) to BCD form with d decimals, and back. Never fail: a value
// that cannot be formatted is taken as 0.
int64_t CurrencyToBcd(int decimals, int64_t currency);
int64_t BcdToCurrency(int64_t bcd);
// The BCD form as text with its decimals, e.g. 1242 -> "1.24".
std::string BcdToText(int64_t bcd, char decimalSeparator = '.');

// String comparison: with a locale (language not 0) by the locale's collation over n
// characters (the whole texts when n is 0); without, upper-cased when case is ignored
// and compared as unsigned bytes over n bytes or, when n is 0, up to the end of the
// longer text (its terminating zero included). Answers -1, 0 or 1.
int CompareStrings(uint16_t language, uint16_t sort, std::string_view a, std::string_view b,
                   bool ignoreCase, size_t n = 0);
std::string UpperCopy(uint16_t language, uint16_t sort, std::string_view text);
std::string LowerCopy(uint16_t language, uint16_t sort, std::string_view text);

// ASCII-only case helpers (the framework's plain upper- and lower-casing).
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
bool AsciiEqualNoCase(std::string_view a, std::string_view b);

// Key forms: byte strings that sort, compared as unsigned bytes, as the values do.
void KeyInt32(int32_t value, uint8_t* out);    // 4 bytes, big-endian, top bit inverted
void KeyInt16(int16_t value, uint8_t* out);    // 2 bytes, big-endian, top bit inverted
void KeyUInt16(uint16_t value, uint8_t* out);  // 2 bytes, big-endian
void KeyInt64(int64_t value, uint8_t* out);    // 8 bytes, big-endian, top bit inverted
void KeyDouble(double value, uint8_t* out);    // 8 bytes; >= 0 (either zero): top bit set;
                                               // negative: every bit inverted
int32_t KeyToInt32(const uint8_t* key);
int16_t KeyToInt16(const uint8_t* key);
uint16_t KeyToUInt16(const uint8_t* key);
int64_t KeyToInt64(const uint8_t* key);
double KeyToDouble(const uint8_t* key);
// String key form: the text, upper-cased when the index ignores case (by the locale's
// mapping when the table has one).
std::string KeyString(uint16_t language, uint16_t sort, std::string_view text, bool ignoreCase);

// Byte operations on keys.
void FillKey(uint8_t* key, size_t length, size_t from, bool highest);
// As one big-endian number; a carry past the first byte makes the whole key all 255
// (increment) or all 0 (decrement).
void IncrementKey(uint8_t* key, size_t length);
void DecrementKey(uint8_t* key, size_t length);
void InvertKey(uint8_t* key, size_t length);

// Shortstring helpers.
std::string TrimChar(std::string_view text, char c);
std::string TrimTrailingSpaces(std::string_view text);  // also stops at a zero byte
std::string PadLeft(std::string_view text, size_t length, char c);
std::string PadRight(std::string_view text, size_t length, char c);
// Position of the last occurrence of needle in text, or npos.
size_t LastPos(std::string_view needle, std::string_view text);
// Removes the extension: the part from the last '.' when that dot follows the last '/'.
std::string RemoveExtension(std::string_view name);

}  // namespace ovrin
