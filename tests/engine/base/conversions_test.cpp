#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/locale.h"

namespace ovrin {
namespace {

// ---------------------------------------------------------------- BCD

TEST(BcdTest, RoundsHalfAwayFromZero) {
  EXPECT_EQ(CurrencyToBcd(2, 12350), 1242);    // 1.235 -> 1.24
  EXPECT_EQ(CurrencyToBcd(2, -12350), -1242);  // -1.235 -> -1.24
  EXPECT_EQ(CurrencyToBcd(2, 1234500), 123452);
  EXPECT_EQ(CurrencyToBcd(0, 70000), 70);
  EXPECT_EQ(CurrencyToBcd(2, -5000), -502);
  EXPECT_EQ(CurrencyToBcd(2, 700), 72);  // 0.07
  EXPECT_EQ(CurrencyToBcd(2, 0), 2);     // zero keeps its decimals digit
  EXPECT_EQ(CurrencyToBcd(0, 0), 0);
  EXPECT_EQ(CurrencyToBcd(0, 5000), 10);    // 0.5 -> 1
  EXPECT_EQ(CurrencyToBcd(0, -5000), -10);  // -0.5 -> -1
  EXPECT_EQ(CurrencyToBcd(0, 4999), 0);
  EXPECT_EQ(CurrencyToBcd(4, 12345), 123454);
  EXPECT_EQ(CurrencyToBcd(7, 12345), 123454);  // decimals above 4 count as 4
  EXPECT_EQ(CurrencyToBcd(2, -10), 2);         // -0.001 rounds to zero
}

TEST(BcdTest, ReadsBack) {
  EXPECT_EQ(BcdToCurrency(50), 50000);
  EXPECT_EQ(BcdToCurrency(2), 0);
  EXPECT_EQ(BcdToCurrency(-1502), -15000);
  EXPECT_EQ(BcdToCurrency(123452), 1234500);
  EXPECT_EQ(BcdToCurrency(72), 700);
  EXPECT_EQ(BcdToText(50), "5");
  EXPECT_EQ(BcdToText(2), "0.00");
  EXPECT_EQ(BcdToText(-1502), "-1.50");
  EXPECT_EQ(BcdToText(72, ','), "0,07");
}

TEST(BcdTest, RoundTripsOverATableOfValues) {
  std::mt19937_64 rng(99);
  std::vector<int64_t> values = {0, 1, -1, 9999, -9999, 10000, 123456789, -987654321,
                                 922337203685470000LL / 10};
  for (int i = 0; i < 2000; ++i) values.push_back(static_cast<int64_t>(rng() % 2000000000000ULL) - 1000000000000LL);
  for (int d = 0; d <= 4; ++d) {
    int64_t unit = 1;
    for (int k = 0; k < 4 - d; ++k) unit *= 10;
    for (int64_t v : values) {
      int64_t rounded = v / unit * unit;  // already at d decimals: round trip is exact
      ASSERT_EQ(BcdToCurrency(CurrencyToBcd(d, rounded)), rounded) << d << " " << v;
      // The last digit always says the decimals.
      int64_t bcd = CurrencyToBcd(d, rounded);
      ASSERT_EQ(std::llabs(bcd) % 10, d);
    }
  }
}

// ---------------------------------------------------------------- text

TEST(TextTest, BooleanText) {
  EXPECT_TRUE(BooleanText("true"));
  EXPECT_TRUE(BooleanText("TRUE"));
  EXPECT_FALSE(BooleanText("False"));
  try {
    BooleanText("yes");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'yes' is not a valid boolean value");
  }
}

TEST(TextTest, IntegerTestsAndTheirLimits) {
  EXPECT_TRUE(IsWordText("65535"));
  EXPECT_FALSE(IsWordText("65536"));
  EXPECT_FALSE(IsWordText("-1"));
  EXPECT_TRUE(IsSmallIntText("-32768"));
  EXPECT_FALSE(IsSmallIntText("32768"));
  EXPECT_TRUE(IsIntegerText("2147483647"));
  EXPECT_TRUE(IsIntegerText("-2147483648"));
  EXPECT_FALSE(IsIntegerText("2147483648"));
  EXPECT_FALSE(IsIntegerText("12a"));
  EXPECT_FALSE(IsIntegerText(""));
  EXPECT_FALSE(IsIntegerText("99999999999999999999999"));
  EXPECT_TRUE(IsBooleanText("fAlSe"));
  EXPECT_FALSE(IsBooleanText("1"));
  EXPECT_EQ(TextToInteger(" -17 "), -17);
  EXPECT_THROW(TextToInteger("x"), EConvertError);
}

TEST(TextTest, FloatAndCurrencyFollowTheInstalledSeparator) {
  TFormatSettings german = FixedFormatSettings();
  german.DecimalSeparator = ',';
  EXPECT_DOUBLE_EQ(TextToFloat("1.5", FixedFormatSettings()), 1.5);
  EXPECT_DOUBLE_EQ(TextToFloat("-2,25e2", german), -225.0);
  EXPECT_THROW(TextToFloat("1.5", german), EConvertError);
  EXPECT_THROW(TextToFloat("1e", FixedFormatSettings()), EConvertError);
  EXPECT_EQ(TextToCurrency("1.23456", FixedFormatSettings()), 12346);
  EXPECT_EQ(TextToCurrency("-0.00005", FixedFormatSettings()), -1);
  EXPECT_EQ(TextToCurrency("922337203685477.5807", FixedFormatSettings()), std::numeric_limits<int64_t>::max());
  EXPECT_THROW(TextToCurrency("922337203685477.5808", FixedFormatSettings()), EConvertError);
  InstallSettings(german);
  EXPECT_TRUE(IsFloatText("3,5"));
  EXPECT_FALSE(IsFloatText("3.5"));
  EXPECT_TRUE(IsBcdText("3,5"));
  InstallSettings(FixedFormatSettings());
  EXPECT_TRUE(IsFloatText("3.5"));
}

TEST(TextTest, DatesAndTimesInTheFixedSettings) {
  const TFormatSettings& fixed = FixedFormatSettings();
  TDateTime d = TextToDate("12/31/1999", fixed);
  int y, m, day;
  DecodeDate(d, &y, &m, &day);
  EXPECT_EQ(y, 1999);
  EXPECT_EQ(m, 12);
  EXPECT_EQ(day, 31);
  EXPECT_THROW(TextToDate("31/12/1999", fixed), EConvertError);
  EXPECT_THROW(TextToDate("2/30/2000", fixed), EConvertError);
  EXPECT_DOUBLE_EQ(TextToTime("1:30 PM", fixed), 13.5 / 24);
  EXPECT_DOUBLE_EQ(TextToTime("12:00 AM", fixed), 0);
  EXPECT_DOUBLE_EQ(TextToTime("13:00:30", fixed), (13 * 3600 + 30) / 86400.0);
  EXPECT_THROW(TextToTime("13:00 PM", fixed), EConvertError);
  EXPECT_THROW(TextToTime("24:00", fixed), EConvertError);
  TDateTime dt = TextToDateTime("1/2/2003 4:05:06 PM", fixed);
  EXPECT_EQ(DateTimeToText(dt, fixed), "1/2/2003 4:05:06 PM");
  EXPECT_EQ(DateTimeToText(TextToDate("1/2/2003", fixed), fixed), "1/2/2003");
  try {
    TextToDateTime("not a date", fixed);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'not a date' is not a valid date and time");
  }
}

TEST(TextTest, DescriptorTextsUseTheTableSettingsNotTheUsers) {
  TFormatSettings user = FixedFormatSettings();
  user.ShortDateFormat = "dd.MM.yyyy";
  user.DateSeparator = '.';
  InstallSettings(user);
  EXPECT_FALSE(IsDateText("12/31/1999"));
  bool ok = WithTableSettings(0, 0, [] { return IsDateText("12/31/1999"); });
  EXPECT_TRUE(ok);
  TDateTime d = WithTableSettings(0, 0, [] { return TextToDate("12/31/1999"); });
  int y, m, day;
  DecodeDate(d, &y, &m, &day);
  EXPECT_EQ(day, 31);
  EXPECT_EQ(SaveSettings(), user);  // restored afterwards
  // Restored on failure too.
  EXPECT_THROW(WithTableSettings(0, 0, [] { return TextToDate("x"); }), EConvertError);
  EXPECT_EQ(SaveSettings(), user);
  InstallSettings(FixedFormatSettings());
}

TEST(TextTest, SettingsBuiltForLocales) {
  EXPECT_EQ(BuildSettingsForLocale(0, 0), FixedFormatSettings());
  TFormatSettings us = BuildSettingsForLocale(0x0409, 0);
  EXPECT_EQ(us.DateSeparator, '/');
  EXPECT_EQ(us.DecimalSeparator, '.');
  EXPECT_EQ(us.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(us.ShortTimeFormat, "h:mm AMPM");
  EXPECT_EQ(us.LongTimeFormat, "h:mm:ss AMPM");
  EXPECT_EQ(us.CurrencyString, "$");
  EXPECT_EQ(us.CurrencyDecimals, 2);
  TFormatSettings de = BuildSettingsForLocale(0x0407, 0);
  EXPECT_EQ(de.DateSeparator, '.');
  EXPECT_EQ(de.DecimalSeparator, ',');
  EXPECT_EQ(de.ThousandSeparator, '.');
  EXPECT_EQ(de.ShortDateFormat, "dd.MM.yyyy");
  EXPECT_EQ(de.ShortTimeFormat, "hh:mm");
  EXPECT_EQ(de.CurrencyString, "\x80");  // the euro sign in Windows-1252
  EXPECT_EQ(de.CurrencyFormat, 3);       // "1 €"
  EXPECT_EQ(de.LongMonthNames[2], "M\xE4rz");
  EXPECT_EQ(de.LongDayNames[0], "Sonntag");
  // Dates parse in the locale's order.
  TDateTime d = TextToDate("31.12.1999", de);
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd", d, de), "1999-12-31");
}

TEST(FormatSettingsTest, TheUsersLocaleGivesTheSystemFormats) {
  std::string saved = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("de_DE", &status);
  TFormatSettings de = UserFormatSettings();
  uloc_setDefault("en_US_POSIX", &status);
  TFormatSettings posix = UserFormatSettings();
  uloc_setDefault(saved.c_str(), &status);
  EXPECT_EQ(de, BuildSettingsForLocale(0x0407, 0));
  EXPECT_EQ(posix, FixedFormatSettings());
}

TEST(TextTest, FormatDateTimeTokens) {
  const TFormatSettings& fixed = FixedFormatSettings();
  TDateTime dt = TextToDateTime("7/4/2021 9:03:07 AM", fixed);
  EXPECT_EQ(FormatDateTime("dddd, MMMM dd, yyyy", dt, fixed), "Sunday, July 04, 2021");
  EXPECT_EQ(FormatDateTime("ddd d mmm yy", dt, fixed), "Sun 4 Jul 21");
  EXPECT_EQ(FormatDateTime("hh:nn:ss", dt, fixed), "09:03:07");
  EXPECT_EQ(FormatDateTime("h:mm AMPM", dt, fixed), "9:03 AM");
  EXPECT_EQ(FormatDateTime("'at' h", dt, fixed), "at 9");
}

TEST(TextTest, ValuesFarBeyondAnyDateFormatWithoutFault) {
  // Damaged bytes can hold any double; formatting one must stay defined (the sanitizer
  // build watches the conversions) and give some text.
  const TFormatSettings& fixed = FixedFormatSettings();
  for (double v : {1e300, -6.5e144, 1e11 + 0.5, -1e11, std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_NO_THROW(FormatDateTime("yyyy-mm-dd hh:nn:ss", v, fixed)) << v;
    EXPECT_NO_THROW(DateTimeToDayNumber(v)) << v;
  }
}

// ---------------------------------------------------------------- strings

TEST(StringTest, CompareWithoutLocale) {
  EXPECT_EQ(CompareStrings(0, 0, "abc", "abd", false), -1);
  EXPECT_EQ(CompareStrings(0, 0, "abc", "ABC", false), 1);
  EXPECT_EQ(CompareStrings(0, 0, "abc", "ABC", true), 0);
  EXPECT_EQ(CompareStrings(0, 0, "ab", "abc", false), -1);  // the terminating zero counts
  EXPECT_EQ(CompareStrings(0, 0, "abcX", "abcY", false, 3), 0);
  EXPECT_EQ(CompareStrings(0, 0, "\xE4", "b", false), 1);  // unsigned bytes
  EXPECT_EQ(CompareStrings(0, 0, "\xE4", "\xC4", true), 1);  // plain casing is ASCII only
}

TEST(StringTest, CompareWithALocale) {
  ASSERT_TRUE(IsLocaleInstalled(0x0407, 0));
  EXPECT_EQ(CompareStrings(0x0407, 0, "\xE4pfel", "birne", false), -1);  // ä before b
  EXPECT_EQ(CompareStrings(0x0407, 0, "Apfel", "apfel", true), 0);
  EXPECT_NE(CompareStrings(0x0407, 0, "Apfel", "apfel", false), 0);
  EXPECT_EQ(CompareStrings(0x0407, 0, "abcX", "abcY", false, 3), 0);
  EXPECT_EQ(UpperCopy(0x0407, 0, "\xE4\xF6\xFC\xDF\xFF"), "\xC4\xD6\xDC\xDF\x9F");
  EXPECT_EQ(LowerCopy(0x0407, 0, "\xC4Z"), "\xE4z");
  EXPECT_EQ(UpperCopy(0, 0, "\xE4z"), "\xE4Z");
  EXPECT_EQ(UpperCopy(0x0419, 0, "\xE0"), "\xC0");  // Cyrillic а -> А in Windows-1251
}

TEST(StringTest, LocalesThatAreNotInstalled) {
  EXPECT_FALSE(IsLocaleInstalled(0x7777, 0));
  EXPECT_FALSE(IsLocaleInstalled(0x0409, 5));
  EXPECT_TRUE(IsLocaleInstalled(0x0409, 0));
}

TEST(StringTest, ShortstringHelpers) {
  EXPECT_EQ(TrimChar("  a b  ", ' '), "a b");
  EXPECT_EQ(TrimChar("xxx", 'x'), "");
  EXPECT_EQ(TrimTrailingSpaces(std::string("ab  \0zz", 7)), "ab");
  EXPECT_EQ(PadLeft("7", 3, '0'), "007");
  EXPECT_EQ(PadRight("7", 3, '.'), "7..");
  EXPECT_EQ(PadLeft("1234", 3, '0'), "1234");
  EXPECT_EQ(LastPos("ab", "abcab"), 3u);
  EXPECT_EQ(LastPos("zz", "abcab"), std::string::npos);
  EXPECT_EQ(RemoveExtension("/a.b/c"), "/a.b/c");
  EXPECT_EQ(RemoveExtension("/a.b/c.d.e"), "/a.b/c.d");
  EXPECT_EQ(RemoveExtension("sample.xyz"), "sample");
}

// ---------------------------------------------------------------- keys

int CompareBytes(const uint8_t* a, const uint8_t* b, size_t n) {
  int c = std::memcmp(a, b, n);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}
template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

TEST(KeyFormTest, Int32Examples) {
  uint8_t k[4];
  KeyInt32(-1, k);
  EXPECT_EQ(std::vector<uint8_t>(k, k + 4), (std::vector<uint8_t>{0x7F, 0xFF, 0xFF, 0xFF}));
  KeyInt32(0, k);
  EXPECT_EQ(std::vector<uint8_t>(k, k + 4), (std::vector<uint8_t>{0x80, 0, 0, 0}));
  KeyInt32(1, k);
  EXPECT_EQ(std::vector<uint8_t>(k, k + 4), (std::vector<uint8_t>{0x80, 0, 0, 1}));
}

TEST(KeyFormTest, KeysSortAsValues) {
  std::mt19937_64 rng(2024);
  std::vector<int32_t> i32 = {INT32_MIN, -1, 0, 1, INT32_MAX};
  std::vector<int16_t> i16 = {INT16_MIN, -1, 0, 1, INT16_MAX};
  std::vector<uint16_t> u16 = {0, 1, 0x7FFF, 0x8000, 0xFFFF};
  std::vector<int64_t> i64 = {INT64_MIN, -1, 0, 1, INT64_MAX, CurrencyToBcd(2, -5000), CurrencyToBcd(2, 0)};
  std::vector<double> dbl = {-0.0, 0.0, -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min(),
                             -std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::lowest(), 1.0, -1.0};
  for (int i = 0; i < 3000; ++i) {
    i32.push_back(static_cast<int32_t>(rng()));
    i16.push_back(static_cast<int16_t>(rng()));
    u16.push_back(static_cast<uint16_t>(rng()));
    i64.push_back(static_cast<int64_t>(rng()));
    i64.push_back(CurrencyToBcd(static_cast<int>(rng() % 5), static_cast<int64_t>(rng() % 2000000000) - 1000000000));
    double d;
    uint64_t bits = rng();
    std::memcpy(&d, &bits, 8);
    if (std::isfinite(d)) dbl.push_back(d);
    dbl.push_back(static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 7.0);
  }
  auto check = [](const auto& values, size_t width, auto keyOf) {
    for (size_t i = 0; i + 1 < values.size(); ++i) {
      for (size_t j : {i + 1, values.size() - 1 - i}) {
        uint8_t a[8], b[8];
        keyOf(values[i], a);
        keyOf(values[j], b);
        ASSERT_EQ(CompareBytes(a, b, width), Sign(values[i], values[j])) << i << " " << j;
      }
    }
  };
  check(i32, 4, [](int32_t v, uint8_t* k) { KeyInt32(v, k); });
  check(i16, 2, [](int16_t v, uint8_t* k) { KeyInt16(v, k); });
  check(u16, 2, [](uint16_t v, uint8_t* k) { KeyUInt16(v, k); });
  check(i64, 8, [](int64_t v, uint8_t* k) { KeyInt64(v, k); });
  check(dbl, 8, [](double v, uint8_t* k) { KeyDouble(v, k); });
  // And they decode back.
  for (int32_t v : i32) {
    uint8_t k[4];
    KeyInt32(v, k);
    ASSERT_EQ(KeyToInt32(k), v);
  }
  for (int64_t v : i64) {
    uint8_t k[8];
    KeyInt64(v, k);
    ASSERT_EQ(KeyToInt64(k), v);
  }
  for (double v : dbl) {
    uint8_t k[8];
    KeyDouble(v, k);
    ASSERT_EQ(KeyToDouble(k), v);
  }
}

TEST(KeyFormTest, NegativeZeroAndZeroShareAKey) {
  uint8_t a[8], b[8];
  KeyDouble(0.0, a);
  KeyDouble(-0.0, b);
  EXPECT_EQ(std::memcmp(a, b, 8), 0);
  EXPECT_EQ(a[0], 0x80);
}

TEST(KeyFormTest, StringKeys) {
  EXPECT_EQ(KeyString(0, 0, "Hello\xE4", true), "HELLO\xE4");
  EXPECT_EQ(KeyString(0, 0, "Hello", false), "Hello");
  EXPECT_EQ(KeyString(0x0407, 0, "Hello\xE4", true), "HELLO\xC4");
}

TEST(KeyFormTest, ByteOperations) {
  uint8_t k[4] = {1, 2, 0xFF, 0xFF};
  IncrementKey(k, 4);
  EXPECT_EQ(std::vector<uint8_t>(k, k + 4), (std::vector<uint8_t>{1, 3, 0, 0}));
  DecrementKey(k, 4);
  EXPECT_EQ(std::vector<uint8_t>(k, k + 4), (std::vector<uint8_t>{1, 2, 0xFF, 0xFF}));
  uint8_t top[3] = {0xFF, 0xFF, 0xFF};
  IncrementKey(top, 3);
  EXPECT_EQ(std::vector<uint8_t>(top, top + 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
  uint8_t bottom[3] = {0, 0, 0};
  DecrementKey(bottom, 3);
  EXPECT_EQ(std::vector<uint8_t>(bottom, bottom + 3), (std::vector<uint8_t>{0, 0, 0}));
  uint8_t f[5] = {1, 2, 3, 4, 5};
  FillKey(f, 5, 2, true);
  EXPECT_EQ(std::vector<uint8_t>(f, f + 5), (std::vector<uint8_t>{1, 2, 0xFF, 0xFF, 0xFF}));
  FillKey(f, 5, 4, false);
  EXPECT_EQ(f[4], 0);
  FillKey(f, 5, 9, false);  // past the end: nothing
  InvertKey(f, 2);
  EXPECT_EQ(f[0], 0xFE);
  EXPECT_EQ(f[1], 0xFD);
}

// The changed span against a byte-by-byte model: images of every length up to two pages'
// worth of 16-byte steps and beyond, differing nowhere, in one byte, at both ends, or in
// a scattered few bytes.
TEST(ChangedSpanTest, AgreesWithAByteByByteSearch) {
  std::mt19937 random(3);
  for (int round = 0; round < 4000; ++round) {
    size_t n = round < 100 ? static_cast<size_t>(round) : 1 + random() % 4200;
    std::vector<uint8_t> a(n), b;
    for (uint8_t& x : a) x = static_cast<uint8_t>(random());
    b = a;
    int changes = n ? static_cast<int>(random() % 5) : 0;
    for (int c = 0; c < changes; ++c) b[random() % n] ^= static_cast<uint8_t>(1 + random() % 255);
    if (n && round % 7 == 0) b[0] ^= 1;
    if (n && round % 11 == 0) b[n - 1] ^= 0x80;
    size_t first = n, end = n;
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) {
        if (first == n) first = i;
        end = i + 1;
      }
    if (first == n) first = end = 0;
    size_t gotFirst = 99, gotEnd = 99;
    ChangedSpan(a.data(), b.data(), n, &gotFirst, &gotEnd);
    SCOPED_TRACE("length " + std::to_string(n) + ", round " + std::to_string(round));
    if (first == end) {
      EXPECT_EQ(gotFirst, gotEnd);
    } else {
      EXPECT_EQ(gotFirst, first);
      EXPECT_EQ(gotEnd, end);
    }
  }
}

}  // namespace
}  // namespace ovrin
