#include "engine/base/conversions.h"

#include <unicode/uloc.h>
#include <unicode/datefmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/dtfmtsym.h>
#include <unicode/locid.h>
#include <unicode/decimfmt.h>
#include <unicode/numfmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/ucurr.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>

#include "engine/base/errors.h"
#include "engine/base/file_session.h"
#include "engine/base/locale.h"

namespace ovrin {

// ---------------------------------------------------------------------------------
// Format settings

namespace {
TFormatSettings& ProgramSettings() {
  static TFormatSettings settings;
  return settings;
}
}  // namespace

const TFormatSettings& FixedFormatSettings() {
  static const TFormatSettings fixed;
  return fixed;
}

TFormatSettings SaveSettings() {
  std::lock_guard<std::recursive_mutex> guard(engine::FormatSettingsLock());
  return ProgramSettings();
}

void InstallSettings(const TFormatSettings& settings) {
  std::lock_guard<std::recursive_mutex> guard(engine::FormatSettingsLock());
  ProgramSettings() = settings;
}

namespace {

std::string ToCodePage(const icu::UnicodeString& s, const char* codePage) {
  std::string utf8;
  s.toUTF8String(utf8);
  return EncodeFromUtf8(utf8, codePage);
}

// One character of the code page, or the fallback when the locale's text is not exactly
// one character there.
char ToChar(const icu::UnicodeString& s, const char* codePage, char fallback) {
  icu::UnicodeString t(s);
  t.findAndReplace(icu::UnicodeString(static_cast<UChar>(0x00A0)), icu::UnicodeString(" "));
  t.findAndReplace(icu::UnicodeString(static_cast<UChar>(0x202F)), icu::UnicodeString(" "));
  std::string bytes = ToCodePage(t, codePage);
  return bytes.size() == 1 && bytes[0] != '?' ? bytes[0] : fallback;
}

// An ICU pattern with the number part collapsed to "1", the currency sign to "$" and
// no-break spaces to blanks, e.g. "¤#,##0.00" -> "$1".
std::string CurrencyShape(const icu::UnicodeString& pattern) {
  std::string utf8, out;
  pattern.toUTF8String(utf8);
  bool inNumber = false;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '#' || c == '0' || c == ',' || c == '.') {
      if (!inNumber) out += '1';
      inNumber = true;
      continue;
    }
    inNumber = false;
    if (utf8.compare(i, 2, "\xC2\xA4") == 0) {  // the currency sign
      out += '$';
      ++i;
    } else if (utf8.compare(i, 2, "\xC2\xA0") == 0) {
      out += ' ';
      ++i;
    } else if (utf8.compare(i, 3, "\xE2\x80\xAF") == 0) {
      out += ' ';
      i += 2;
    } else if (c == '\'') {
      continue;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A date or time pattern of ICU in the framework's letters: y and yy become yyyy, E
// becomes d (day names), a becomes AMPM; quoted text stays.
std::string FrameworkPattern(const icu::UnicodeString& pattern, const char* codePage) {
  std::string utf8;
  pattern.toUTF8String(utf8);
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    char c = utf8[i];
    size_t run = 1;
    while (i + run < utf8.size() && utf8[i + run] == c) ++run;
    if (c == 'y') {
      out += "yyyy";
    } else if (c == 'E') {
      out += run >= 4 ? "dddd" : "ddd";
    } else if (c == 'a') {
      out += "AMPM";
    } else if (c == 'H' || c == 'k' || c == 'K') {
      out += std::string(run, 'h');
    } else if (c == 'L') {
      out += std::string(run, 'M');
    } else if (c == 'c' || c == 'e') {
      out += run >= 4 ? "dddd" : "ddd";
    } else if (c == 'G' || c == 'z' || c == 'Z' || c == 'v' || c == 'B' || c == 'b') {
      // eras and zones have no counterpart
    } else {
      out += utf8.substr(i, run);
    }
    i += run;
  }
  // Trim blanks left behind by dropped letters.
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return EncodeFromUtf8(out, codePage);
}

char FirstSeparator(const std::string& pattern, char fallback) {
  bool quoted = false;
  for (char c : pattern) {
    if (c == '\'') quoted = !quoted;
    if (quoted || c == '\'') continue;
    if (!std::isalpha(static_cast<unsigned char>(c)) && c != ' ') return c;
  }
  return fallback;
}

char SeparatorAfterHour(const std::string& pattern, char fallback) {
  size_t h = pattern.find_first_of("hH");
  if (h == std::string::npos) return fallback;
  size_t end = pattern.find_first_not_of("hH", h);
  return end < pattern.size() ? pattern[end] : fallback;
}

}  // namespace

TFormatSettings BuildSettingsForLocale(uint16_t language, uint16_t sort) {
  if (language == 0) return FixedFormatSettings();
  const TLocaleInfo* info = FindLocale(MakeLcid(language, sort));
  if (!info) return FixedFormatSettings();
  return BuildSettingsForIcuLocale(info->icuLocale, info->codePage);
}

TFormatSettings UserFormatSettings(const char* codePage) {
  std::string name = uloc_getDefault();
  // The C and POSIX locales have no settings of their own: the fixed ones stand for them.
  if (name.empty() || name.rfind("en_US_POSIX", 0) == 0 || name == "c" || name == "C") return FixedFormatSettings();
  return BuildSettingsForIcuLocale(name.c_str(), codePage);
}

TFormatSettings BuildSettingsForIcuLocale(const char* icuLocale, const char* codePage) {
  TFormatSettings s = FixedFormatSettings();
  const char* cp = codePage;
  icu::Locale locale(icuLocale);
  UErrorCode status = U_ZERO_ERROR;

  icu::DecimalFormatSymbols symbols(locale, status);
  if (U_SUCCESS(status)) {
    std::string currency = ToCodePage(symbols.getSymbol(icu::DecimalFormatSymbols::kCurrencySymbol), cp);
    if (!currency.empty() && currency.find('?') == std::string::npos) s.CurrencyString = currency;
    s.ThousandSeparator = ToChar(symbols.getSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol), cp, s.ThousandSeparator);
    s.DecimalSeparator = ToChar(symbols.getSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol), cp, s.DecimalSeparator);
  }

  status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> money(icu::NumberFormat::createCurrencyInstance(locale, status));
  if (U_SUCCESS(status) && money) {
    if (auto* decimal = dynamic_cast<icu::DecimalFormat*>(money.get())) {
      icu::UnicodeString pattern;
      decimal->toPattern(pattern);
      int32_t semicolon = pattern.indexOf(static_cast<UChar>(';'));
      icu::UnicodeString positive = semicolon >= 0 ? icu::UnicodeString(pattern, 0, semicolon) : pattern;
      std::string pos = CurrencyShape(positive);
      std::string neg = semicolon >= 0 ? CurrencyShape(icu::UnicodeString(pattern, semicolon + 1)) : "-" + pos;
      static const char* kPositive[] = {"$1", "1$", "$ 1", "1 $"};
      static const char* kNegative[] = {"($1)", "-$1", "$-1", "$1-", "(1$)", "-1$", "1-$", "1$-",
                                        "-1 $", "-$ 1", "1 $-", "$ 1-", "$ -1", "1- $", "($ 1)", "(1 $)"};
      for (uint8_t i = 0; i < 4; ++i)
        if (pos == kPositive[i]) s.CurrencyFormat = i;
      for (uint8_t i = 0; i < 16; ++i)
        if (neg == kNegative[i]) s.NegCurrFormat = i;
    }
    s.CurrencyDecimals = static_cast<uint8_t>(std::clamp(money->getMaximumFractionDigits(), 0, 4));
  }

  status = U_ZERO_ERROR;
  std::unique_ptr<icu::DateFormat> shortDate(icu::DateFormat::createDateInstance(icu::DateFormat::kShort, locale));
  std::unique_ptr<icu::DateFormat> longDate(icu::DateFormat::createDateInstance(icu::DateFormat::kFull, locale));
  std::unique_ptr<icu::DateFormat> shortTime(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, locale));
  icu::UnicodeString pattern;
  if (auto* f = dynamic_cast<icu::SimpleDateFormat*>(shortDate.get())) {
    f->toPattern(pattern);
    s.ShortDateFormat = FrameworkPattern(pattern, cp);
    s.DateSeparator = FirstSeparator(s.ShortDateFormat, s.DateSeparator);
  }
  if (auto* f = dynamic_cast<icu::SimpleDateFormat*>(longDate.get())) {
    f->toPattern(pattern);
    s.LongDateFormat = FrameworkPattern(pattern, cp);
  }
  if (auto* f = dynamic_cast<icu::SimpleDateFormat*>(shortTime.get())) {
    f->toPattern(pattern);
    std::string utf8;
    pattern.toUTF8String(utf8);
    bool leadingZero = utf8.find("hh") != std::string::npos || utf8.find("HH") != std::string::npos;
    bool twelveHour = utf8.find('h') != std::string::npos || utf8.find('K') != std::string::npos;
    s.TimeSeparator = SeparatorAfterHour(utf8, s.TimeSeparator);
    std::string hour = leadingZero ? "hh" : "h";
    std::string suffix = twelveHour ? " AMPM" : "";
    s.ShortTimeFormat = hour + ":mm" + suffix;
    s.LongTimeFormat = hour + ":mm:ss" + suffix;
  }

  status = U_ZERO_ERROR;
  icu::DateFormatSymbols dfs(locale, status);
  if (U_SUCCESS(status)) {
    int32_t n = 0;
    const icu::UnicodeString* ampm = dfs.getAmPmStrings(n);
    if (n == 2) {
      std::string am = ToCodePage(ampm[0], cp), pm = ToCodePage(ampm[1], cp);
      if (!am.empty()) s.TimeAMString = am;
      if (!pm.empty()) s.TimePMString = pm;
    }
    const icu::UnicodeString* months = dfs.getShortMonths(n);
    for (int32_t i = 0; i < std::min<int32_t>(n, 12); ++i) s.ShortMonthNames[i] = ToCodePage(months[i], cp);
    months = dfs.getMonths(n);
    for (int32_t i = 0; i < std::min<int32_t>(n, 12); ++i) s.LongMonthNames[i] = ToCodePage(months[i], cp);
    // ICU's weekday arrays start at index 1 with Sunday.
    const icu::UnicodeString* days = dfs.getShortWeekdays(n);
    for (int32_t i = 1; i < std::min<int32_t>(n, 8); ++i) s.ShortDayNames[i - 1] = ToCodePage(days[i], cp);
    days = dfs.getWeekdays(n);
    for (int32_t i = 1; i < std::min<int32_t>(n, 8); ++i) s.LongDayNames[i - 1] = ToCodePage(days[i], cp);
  }
  return s;
}

// ---------------------------------------------------------------------------------
// Text tests and conversions

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view t) {
  while (!t.empty() && IsBlank(t.front())) t.remove_prefix(1);
  while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
  return t;
}

// An optionally signed decimal integer, blanks around it allowed.
bool ParseInt64(std::string_view text, int64_t* out) {
  std::string_view t = TrimBlanks(text);
  bool negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty() || t.size() > 19) return false;
  uint64_t value = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0)) return false;
  *out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
  return true;
}

// A decimal number in the given separator: sign, digits, separator, digits, exponent.
struct TDecimal {
  bool negative = false;
  std::string digits;  // all digits, without leading zeros of the integer part
  int exponent = 0;    // value = digits * 10^exponent
};

bool ParseDecimal(std::string_view text, char separator, TDecimal* out) {
  std::string_view t = TrimBlanks(text);
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) out->negative = t[i++] == '-';
  bool any = false;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
    out->digits += t[i++];
    any = true;
  }
  if (i < t.size() && t[i] == separator) {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      out->digits += t[i++];
      --out->exponent;
      any = true;
    }
  }
  if (!any) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool negExp = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negExp = t[i++] == '-';
    if (i >= t.size()) return false;
    int e = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      e = std::min(e * 10 + (t[i++] - '0'), 100000);
    }
    out->exponent += negExp ? -e : e;
  }
  return i == t.size();
}

bool DecimalToDouble(const TDecimal& d, double* out) {
  std::string s = (d.negative ? "-" : "") + d.digits + "e" + std::to_string(d.exponent);
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (!std::isfinite(v)) return false;
  *out = v;
  return true;
}

// Ten-thousandths, rounded half away from zero at the fourth decimal.
bool DecimalToCurrency(const TDecimal& d, int64_t* out) {
  // Shift so that the digits count ten-thousandths, keeping one more digit to round.
  int shift = d.exponent + 4;
  std::string digits = d.digits;
  size_t firstNonZero = digits.find_first_not_of('0');
  if (firstNonZero == std::string::npos) {
    *out = 0;
    return true;
  }
  digits = digits.substr(firstNonZero);
  __int128 value = 0;
  int roundDigit = 0;
  if (shift >= 0) {
    if (digits.size() + static_cast<size_t>(shift) > 20) return false;
    for (char c : digits) value = value * 10 + (c - '0');
    for (int k = 0; k < shift; ++k) value *= 10;
  } else {
    size_t keep = digits.size() > static_cast<size_t>(-shift) ? digits.size() - static_cast<size_t>(-shift) : 0;
    if (keep > 20) return false;
    for (size_t k = 0; k < keep; ++k) value = value * 10 + (digits[k] - '0');
    size_t roundPos = keep;
    if (static_cast<size_t>(-shift) <= digits.size()) roundDigit = digits[roundPos] - '0';
  }
  if (roundDigit >= 5) ++value;
  if (value > static_cast<__int128>(std::numeric_limits<int64_t>::max())) return false;
  *out = d.negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  return true;
}

enum class DateOrder { MDY, DMY, YMD };

DateOrder OrderOf(const std::string& format) {
  for (char c : format) {
    char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (u == 'D') return DateOrder::DMY;
    if (u == 'Y') return DateOrder::YMD;
    if (u == 'M') return DateOrder::MDY;
  }
  return DateOrder::MDY;
}

int CurrentYear() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

// Two-digit years fall in the window of 50 years before and 49 after this year.
int ExpandYear(int year, size_t digits) {
  if (digits > 2) return year;
  int threshold = CurrentYear() - 50;
  int y = year + threshold / 100 * 100;
  if (y < threshold) y += 100;
  return y;
}

struct TScanner {
  std::string_view t;
  size_t i = 0;
  void SkipBlanks() {
    while (i < t.size() && IsBlank(t[i])) ++i;
  }
  bool Number(int* value, size_t* digits) {
    size_t start = i;
    int v = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9' && i - start < 9) v = v * 10 + (t[i++] - '0');
    *digits = i - start;
    *value = v;
    return *digits > 0;
  }
  bool Char(char c) {
    if (i < t.size() && t[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  bool Text(std::string_view s) {
    if (s.empty() || t.size() - i < s.size()) return false;
    for (size_t k = 0; k < s.size(); ++k)
      if (std::toupper(static_cast<unsigned char>(t[i + k])) != std::toupper(static_cast<unsigned char>(s[k])))
        return false;
    i += s.size();
    return true;
  }
  bool AtEnd() const { return i == t.size(); }
};

bool ScanDate(TScanner& s, const TFormatSettings& settings, TDateTime* out) {
  s.SkipBlanks();
  int n[3];
  size_t digits[3];
  if (!s.Number(&n[0], &digits[0])) return false;
  if (!s.Char(settings.DateSeparator)) return false;
  if (!s.Number(&n[1], &digits[1])) return false;
  size_t count = 2;
  size_t save = s.i;
  if (s.Char(settings.DateSeparator)) {
    if (s.Number(&n[2], &digits[2])) {
      count = 3;
    } else {
      s.i = save;
    }
  }
  int year, month, day;
  DateOrder order = OrderOf(settings.ShortDateFormat);
  if (count == 2) {
    year = CurrentYear();
    if (order == DateOrder::DMY) {
      day = n[0];
      month = n[1];
    } else {
      month = n[0];
      day = n[1];
    }
  } else {
    switch (order) {
      case DateOrder::MDY: month = n[0]; day = n[1]; year = ExpandYear(n[2], digits[2]); break;
      case DateOrder::DMY: day = n[0]; month = n[1]; year = ExpandYear(n[2], digits[2]); break;
      default: year = ExpandYear(n[0], digits[0]); month = n[1]; day = n[2]; break;
    }
  }
  return TryEncodeDate(year, month, day, out);
}

bool ScanTime(TScanner& s, const TFormatSettings& settings, TDateTime* out) {
  s.SkipBlanks();
  int hour, minute, second = 0, ms = 0;
  size_t digits;
  if (!s.Number(&hour, &digits)) return false;
  if (!s.Char(settings.TimeSeparator)) return false;
  if (!s.Number(&minute, &digits)) return false;
  if (s.Char(settings.TimeSeparator)) {
    if (!s.Number(&second, &digits)) return false;
    if (s.Char(settings.DecimalSeparator)) {
      if (!s.Number(&ms, &digits) || digits > 3) return false;
      for (size_t k = digits; k < 3; ++k) ms *= 10;
    }
  }
  s.SkipBlanks();
  int half = 0;  // 1 AM, 2 PM
  if (s.Text(settings.TimeAMString) || s.Text("AM")) {
    half = 1;
  } else if (s.Text(settings.TimePMString) || s.Text("PM")) {
    half = 2;
  }
  if (half) {
    if (hour < 1 || hour > 12) return false;
    if (half == 1 && hour == 12) hour = 0;
    if (half == 2 && hour < 12) hour += 12;
  }
  return TryEncodeTime(hour, minute, second, ms, out);
}

[[noreturn]] void ConvertError(std::string_view text, const char* suffix) {
  throw EConvertError("'" + std::string(text) + "'" + suffix);
}

}  // namespace

bool TryTextToDate(std::string_view text, const TFormatSettings& settings, TDateTime* out) {
  TScanner s{text};
  if (!ScanDate(s, settings, out)) return false;
  s.SkipBlanks();
  return s.AtEnd();
}

bool TryTextToTime(std::string_view text, const TFormatSettings& settings, TDateTime* out) {
  TScanner s{text};
  if (!ScanTime(s, settings, out)) return false;
  s.SkipBlanks();
  return s.AtEnd();
}

bool TryTextToDateTime(std::string_view text, const TFormatSettings& settings, TDateTime* out) {
  TScanner s{text};
  TDateTime date;
  if (!ScanDate(s, settings, &date)) {
    // A time alone is a date-time on 30 December 1899.
    return TryTextToTime(text, settings, out);
  }
  s.SkipBlanks();
  if (s.AtEnd()) {
    *out = date;
    return true;
  }
  TDateTime time;
  if (!ScanTime(s, settings, &time)) return false;
  s.SkipBlanks();
  if (!s.AtEnd()) return false;
  *out = date >= 0 ? date + time : date - time;
  return true;
}

bool IsWordText(std::string_view text) {
  int64_t v;
  return ParseInt64(text, &v) && v >= 0 && v <= 65535;
}

bool IsSmallIntText(std::string_view text) {
  int64_t v;
  return ParseInt64(text, &v) && v >= -32768 && v <= 32767;
}

bool IsIntegerText(std::string_view text) {
  int64_t v;
  return ParseInt64(text, &v) && v >= INT32_MIN && v <= INT32_MAX;
}

bool IsBooleanText(std::string_view text) {
  std::string u = AsciiUpper(text);
  return u == "TRUE" || u == "FALSE";
}

bool IsFloatText(std::string_view text) {
  TDecimal d;
  double v;
  return ParseDecimal(text, SaveSettings().DecimalSeparator, &d) && DecimalToDouble(d, &v);
}

bool IsBcdText(std::string_view text) {
  TDecimal d;
  int64_t v;
  return ParseDecimal(text, SaveSettings().DecimalSeparator, &d) && DecimalToCurrency(d, &v);
}

bool IsDateText(std::string_view text) {
  TDateTime v;
  return TryTextToDate(text, SaveSettings(), &v);
}

bool IsDateTimeText(std::string_view text) {
  TDateTime v;
  return TryTextToDateTime(text, SaveSettings(), &v);
}

bool IsTimeText(std::string_view text) {
  TDateTime v;
  return TryTextToTime(text, SaveSettings(), &v);
}

bool BooleanText(std::string_view text) {
  std::string u = AsciiUpper(text);
  if (u == "TRUE") return true;
  if (u == "FALSE") return false;
  ConvertError(text, " is not a valid boolean value");
}

int32_t TextToInteger(std::string_view text) {
  int64_t v;
  if (!ParseInt64(text, &v) || v < INT32_MIN || v > INT32_MAX) ConvertError(text, " is not a valid integer value");
  return static_cast<int32_t>(v);
}

double TextToFloat(std::string_view text, const TFormatSettings& settings) {
  TDecimal d;
  double v;
  if (!ParseDecimal(text, settings.DecimalSeparator, &d) || !DecimalToDouble(d, &v))
    ConvertError(text, " is not a valid floating point value");
  return v;
}
double TextToFloat(std::string_view text) { return TextToFloat(text, SaveSettings()); }

int64_t TextToCurrency(std::string_view text, const TFormatSettings& settings) {
  TDecimal d;
  int64_t v;
  if (!ParseDecimal(text, settings.DecimalSeparator, &d) || !DecimalToCurrency(d, &v))
    ConvertError(text, " is not a valid floating point value");
  return v;
}
int64_t TextToCurrency(std::string_view text) { return TextToCurrency(text, SaveSettings()); }

TDateTime TextToDate(std::string_view text, const TFormatSettings& settings) {
  TDateTime v;
  if (!TryTextToDate(text, settings, &v)) ConvertError(text, " is not a valid date");
  return v;
}
TDateTime TextToDate(std::string_view text) { return TextToDate(text, SaveSettings()); }

TDateTime TextToTime(std::string_view text, const TFormatSettings& settings) {
  TDateTime v;
  if (!TryTextToTime(text, settings, &v)) ConvertError(text, " is not a valid time");
  return v;
}
TDateTime TextToTime(std::string_view text) { return TextToTime(text, SaveSettings()); }

TDateTime TextToDateTime(std::string_view text, const TFormatSettings& settings) {
  TDateTime v;
  if (!TryTextToDateTime(text, settings, &v)) ConvertError(text, " is not a valid date and time");
  return v;
}
TDateTime TextToDateTime(std::string_view text) { return TextToDateTime(text, SaveSettings()); }

std::string FormatDateTime(std::string_view format, TDateTime value, const TFormatSettings& settings) {
  int year, month, day, hour, minute, second, ms;
  DecodeDate(value, &year, &month, &day);
  DecodeTime(value, &hour, &minute, &second, &ms);
  int32_t dayNumber = DateTimeToDayNumber(value);
  // Day 1 (1 January 0001) was a Monday; the name arrays start with Sunday.
  int weekday = static_cast<int>(((dayNumber % 7) + 7) % 7);
  std::string out;
  bool hasAmPm = false;
  {
    std::string u = AsciiUpper(format);
    hasAmPm = u.find("AMPM") != std::string::npos || u.find("AM/PM") != std::string::npos;
  }
  bool lastWasHour = false;
  auto two = [](int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", v);
    return std::string(b);
  };
  for (size_t i = 0; i < format.size();) {
    char c = format[i];
    char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    size_t run = 1;
    while (i + run < format.size() && std::toupper(static_cast<unsigned char>(format[i + run])) == u) ++run;
    if (c == '\'' || c == '"') {
      size_t end = format.find(c, i + 1);
      if (end == std::string_view::npos) end = format.size();
      out += format.substr(i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    if (u == 'A' && AsciiUpper(format.substr(i, 4)) == "AMPM") {
      out += hour < 12 ? settings.TimeAMString : settings.TimePMString;
      i += 4;
      continue;
    }
    if (u == 'A' && AsciiUpper(format.substr(i, 5)) == "AM/PM") {
      out += hour < 12 ? "AM" : "PM";
      i += 5;
      continue;
    }
    switch (u) {
      case 'Y': out += run <= 2 ? two(year % 100) : std::to_string(year); break;
      case 'M':
        if (lastWasHour && run <= 2) {
          out += run == 1 ? std::to_string(minute) : two(minute);
        } else if (run == 1) {
          out += std::to_string(month);
        } else if (run == 2) {
          out += two(month);
        } else if (run == 3) {
          out += settings.ShortMonthNames[month - 1];
        } else {
          out += settings.LongMonthNames[month - 1];
        }
        break;
      case 'D':
        if (run == 1) out += std::to_string(day);
        else if (run == 2) out += two(day);
        else if (run == 3) out += settings.ShortDayNames[weekday];
        else out += settings.LongDayNames[weekday];
        break;
      case 'H': {
        int h = hour;
        if (hasAmPm) {
          h = hour % 12;
          if (h == 0) h = 12;
        }
        out += run == 1 ? std::to_string(h) : two(h);
        break;
      }
      case 'N': out += run == 1 ? std::to_string(minute) : two(minute); break;
      case 'S': out += run == 1 ? std::to_string(second) : two(second); break;
      case 'Z': {
        char b[8];
        std::snprintf(b, sizeof b, run >= 3 ? "%03d" : "%d", ms);
        out += b;
        break;
      }
      case '/': out += std::string(run, settings.DateSeparator); break;
      case ':': out += std::string(run, settings.TimeSeparator); break;
      default: out += std::string(format.substr(i, run)); break;
    }
    if (u == 'H') lastWasHour = true;
    else if (u != ':' && u != ' ') lastWasHour = false;
    i += run;
  }
  return out;
}

std::string DateTimeToText(TDateTime value, const TFormatSettings& settings) {
  std::string text = FormatDateTime(settings.ShortDateFormat, value, settings);
  if (DateTimeToMsOfDay(value) != 0) text += " " + FormatDateTime(settings.LongTimeFormat, value, settings);
  return text;
}

// ---------------------------------------------------------------------------------
// BCD form

namespace {

// Rounds ten-thousandths to d decimals (0 to 4), half away from zero, without losing a digit.
__int128 RoundTenThousandths(__int128 v, int d) {
  int64_t f = 1;
  for (int k = 0; k < 4 - d; ++k) f *= 10;
  return v > 0 ? (v + f / 2) / f * f : -((-v + f / 2) / f * f);
}

}  // namespace

int64_t RoundCurrency(int64_t currency, int decimals) {
  __int128 rounded = RoundTenThousandths(currency, std::clamp(decimals, 0, 4));
  if (rounded > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (rounded < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(rounded);
}

int64_t CurrencyToBcd(int decimals, int64_t currency) {
  int d = std::clamp(decimals, 0, 4);
  __int128 rounded = RoundTenThousandths(currency, d);
  // The digits with exactly d decimals and no separator, followed by the digit d.
  __int128 scaled = rounded;
  for (int k = 0; k < 4 - d; ++k) scaled /= 10;
  __int128 bcd = scaled * 10 + (scaled < 0 ? -d : d);
  if (bcd > std::numeric_limits<int64_t>::max() || bcd < std::numeric_limits<int64_t>::min()) return 0;
  return static_cast<int64_t>(bcd);
}

int64_t BcdToCurrency(int64_t bcd) {
  bool negative = bcd < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(bcd) : static_cast<uint64_t>(bcd);
  int d = static_cast<int>(magnitude % 10);
  uint64_t digits = magnitude / 10;
  // digits carries d decimals; currency carries 4.
  __int128 value = digits;
  for (int k = d; k < 4; ++k) value *= 10;
  if (d > 4) {
    __int128 divisor = 1;
    for (int k = 4; k < d; ++k) divisor *= 10;
    value = (value + divisor / 2) / divisor;
  }
  if (value > std::numeric_limits<int64_t>::max()) return 0;
  return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

std::string BcdToText(int64_t bcd, char decimalSeparator) {
  bool negative = bcd < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(bcd) : static_cast<uint64_t>(bcd);
  int d = static_cast<int>(magnitude % 10);
  std::string digits = magnitude / 10 == 0 ? std::string() : std::to_string(magnitude / 10);
  digits = PadLeft(digits, static_cast<size_t>(d), '0');
  std::string text;
  if (d > 0) {
    std::string whole = digits.substr(0, digits.size() - static_cast<size_t>(d));
    text = (whole.empty() ? "0" : whole) + decimalSeparator + digits.substr(digits.size() - static_cast<size_t>(d));
  } else {
    text = digits.empty() ? "0" : digits;
  }
  return negative ? "-" + text : text;
}

// ---------------------------------------------------------------------------------
// Strings

std::string AsciiUpper(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string AsciiLower(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  // Compared in place: field lookups by name run for every field access.
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

namespace {
// Up to the first zero byte, as the zero-terminated texts of the engine end there.
std::string_view ZeroTerminated(std::string_view s) {
  size_t z = s.find('\0');
  return z == std::string_view::npos ? s : s.substr(0, z);
}
}  // namespace

int CompareStrings(uint16_t language, uint16_t sort, std::string_view a, std::string_view b,
                   bool ignoreCase, size_t n) {
  if (language != 0) {
    std::string_view x = ZeroTerminated(n ? a.substr(0, n) : a);
    std::string_view y = ZeroTerminated(n ? b.substr(0, n) : b);
    return LocaleCompare(MakeLcid(language, sort), x, y, ignoreCase);
  }
  std::string x(a), y(b);
  if (ignoreCase) {
    x = AsciiUpper(x);
    y = AsciiUpper(y);
  }
  size_t length = n ? n : std::max(ZeroTerminated(x).size(), ZeroTerminated(y).size()) + 1;
  for (size_t i = 0; i < length; ++i) {
    unsigned char cx = i < x.size() ? static_cast<unsigned char>(x[i]) : 0;
    unsigned char cy = i < y.size() ? static_cast<unsigned char>(y[i]) : 0;
    if (cx != cy) return cx < cy ? -1 : 1;
  }
  return 0;
}

std::string UpperCopy(uint16_t language, uint16_t sort, std::string_view text) {
  return language ? LocaleUpper(MakeLcid(language, sort), text) : AsciiUpper(text);
}

std::string LowerCopy(uint16_t language, uint16_t sort, std::string_view text) {
  return language ? LocaleLower(MakeLcid(language, sort), text) : AsciiLower(text);
}

// ---------------------------------------------------------------------------------
// Key forms

namespace {
void StoreBE(uint64_t v, size_t width, uint8_t* out) {
  for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}
uint64_t LoadBE(const uint8_t* in, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | in[i];
  return v;
}
}  // namespace

void KeyInt32(int32_t value, uint8_t* out) { StoreBE(static_cast<uint32_t>(value) ^ 0x80000000u, 4, out); }
void KeyInt16(int16_t value, uint8_t* out) { StoreBE(static_cast<uint16_t>(value) ^ 0x8000u, 2, out); }
void KeyUInt16(uint16_t value, uint8_t* out) { StoreBE(value, 2, out); }
void KeyInt64(int64_t value, uint8_t* out) { StoreBE(static_cast<uint64_t>(value) ^ (1ull << 63), 8, out); }

void KeyDouble(double value, uint8_t* out) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  if (value >= 0) {  // either zero, too: -0 and +0 give one key
    bits = (value == 0 ? 0 : bits) | (1ull << 63);
  } else {
    bits = ~bits;
  }
  StoreBE(bits, 8, out);
}

int32_t KeyToInt32(const uint8_t* key) { return static_cast<int32_t>(static_cast<uint32_t>(LoadBE(key, 4)) ^ 0x80000000u); }
int16_t KeyToInt16(const uint8_t* key) { return static_cast<int16_t>(static_cast<uint16_t>(LoadBE(key, 2)) ^ 0x8000u); }
uint16_t KeyToUInt16(const uint8_t* key) { return static_cast<uint16_t>(LoadBE(key, 2)); }
int64_t KeyToInt64(const uint8_t* key) { return static_cast<int64_t>(LoadBE(key, 8) ^ (1ull << 63)); }

double KeyToDouble(const uint8_t* key) {
  uint64_t bits = LoadBE(key, 8);
  bits = (bits & (1ull << 63)) ? bits & ~(1ull << 63) : ~bits;
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

std::string KeyString(uint16_t language, uint16_t sort, std::string_view text, bool ignoreCase) {
  // Half-width mapping is the identity for single-byte code pages.
  return ignoreCase ? UpperCopy(language, sort, text) : std::string(text);
}

void FillKey(uint8_t* key, size_t length, size_t from, bool highest) {
  if (from < length) std::memset(key + from, highest ? 0xFF : 0x00, length - from);
}

void IncrementKey(uint8_t* key, size_t length) {
  for (size_t i = length; i-- > 0;) {
    if (key[i] != 0xFF) {
      ++key[i];
      return;
    }
    key[i] = 0;
  }
  std::memset(key, 0xFF, length);
}

void DecrementKey(uint8_t* key, size_t length) {
  for (size_t i = length; i-- > 0;) {
    if (key[i] != 0x00) {
      --key[i];
      return;
    }
    key[i] = 0xFF;
  }
  std::memset(key, 0x00, length);
}

void InvertKey(uint8_t* key, size_t length) {
  for (size_t i = 0; i < length; ++i) key[i] = static_cast<uint8_t>(~key[i]);
}

// ---------------------------------------------------------------------------------
// Shortstrings

std::string TrimChar(std::string_view text, char c) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == c) ++b;
  while (e > b && text[e - 1] == c) --e;
  return std::string(text.substr(b, e - b));
}

std::string TrimTrailingSpaces(std::string_view text) {
  std::string_view t = ZeroTerminated(text);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  return std::string(t);
}

std::string PadLeft(std::string_view text, size_t length, char c) {
  return text.size() >= length ? std::string(text) : std::string(length - text.size(), c) + std::string(text);
}

std::string PadRight(std::string_view text, size_t length, char c) {
  return text.size() >= length ? std::string(text) : std::string(text) + std::string(length - text.size(), c);
}

size_t LastPos(std::string_view needle, std::string_view text) {
  if (needle.empty()) return std::string_view::npos;
  return text.rfind(needle);
}

std::string RemoveExtension(std::string_view name) {
  size_t dot = name.find_last_of('.');
  size_t slash = name.find_last_of('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return std::string(name);
  return std::string(name.substr(0, dot));
}

}  // namespace ovrin
