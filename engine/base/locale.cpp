#include "engine/base/locale.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>

namespace ovrin {

namespace {

constexpr TLocaleInfo kLocales[] = {
    {0x0409, "en_US", "windows-1252"}, {0x0809, "en_GB", "windows-1252"},
    {0x0c09, "en_AU", "windows-1252"}, {0x1009, "en_CA", "windows-1252"},
    {0x0407, "de_DE", "windows-1252"}, {0x10407, "de_DE@collation=phonebook", "windows-1252"},
    {0x0807, "de_CH", "windows-1252"}, {0x0c07, "de_AT", "windows-1252"},
    {0x040c, "fr_FR", "windows-1252"}, {0x080c, "fr_BE", "windows-1252"},
    {0x0c0c, "fr_CA", "windows-1252"}, {0x100c, "fr_CH", "windows-1252"},
    {0x0410, "it_IT", "windows-1252"}, {0x0c0a, "es_ES", "windows-1252"},
    {0x040a, "es_ES@collation=traditional", "windows-1252"},
    {0x0413, "nl_NL", "windows-1252"}, {0x0813, "nl_BE", "windows-1252"},
    {0x0416, "pt_BR", "windows-1252"}, {0x0816, "pt_PT", "windows-1252"},
    {0x041d, "sv_SE", "windows-1252"}, {0x0406, "da_DK", "windows-1252"},
    {0x0414, "nb_NO", "windows-1252"}, {0x040b, "fi_FI", "windows-1252"},
    {0x040f, "is_IS", "windows-1252"}, {0x0415, "pl_PL", "windows-1250"},
    {0x0405, "cs_CZ", "windows-1250"}, {0x041b, "sk_SK", "windows-1250"},
    {0x040e, "hu_HU", "windows-1250"}, {0x0424, "sl_SI", "windows-1250"},
    {0x041a, "hr_HR", "windows-1250"}, {0x0418, "ro_RO", "windows-1250"},
    {0x0419, "ru_RU", "windows-1251"}, {0x0422, "uk_UA", "windows-1251"},
    {0x0402, "bg_BG", "windows-1251"}, {0x0408, "el_GR", "windows-1253"},
    {0x041f, "tr_TR", "windows-1254"}, {0x0425, "et_EE", "windows-1257"},
    {0x0426, "lv_LV", "windows-1257"}, {0x0427, "lt_LT", "windows-1257"},
};

struct TLocaleServices {
  std::unique_ptr<icu::Collator> tertiary;
  std::unique_ptr<icu::Collator> secondary;
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> lower{};
};

std::mutex g_servicesLock;

icu::UnicodeString Decode(std::string_view bytes, const char* codePage) {
  return icu::UnicodeString(bytes.data(), static_cast<int32_t>(bytes.size()), codePage);
}

// Encodes one character; answers false unless it is exactly one byte in the code page.
bool EncodeOne(const icu::UnicodeString& s, const char* codePage, uint8_t* out) {
  char buffer[8];
  int32_t n = s.extract(0, s.length(), buffer, sizeof buffer, codePage);
  if (n != 1) return false;
  // Converters substitute what they cannot map; a round trip tells a real mapping.
  if (Decode(std::string_view(buffer, 1), codePage) != s) return false;
  *out = static_cast<uint8_t>(buffer[0]);
  return true;
}

TLocaleServices* Services(uint32_t lcid) {
  static std::map<uint32_t, std::unique_ptr<TLocaleServices>> cache;
  std::lock_guard<std::mutex> guard(g_servicesLock);
  auto it = cache.find(lcid);
  if (it != cache.end()) return it->second.get();
  const TLocaleInfo* info = FindLocale(lcid);
  if (!info) return nullptr;
  auto services = std::make_unique<TLocaleServices>();
  icu::Locale locale(info->icuLocale);
  UErrorCode status = U_ZERO_ERROR;
  services->tertiary.reset(icu::Collator::createInstance(locale, status));
  if (U_FAILURE(status) || !services->tertiary) return nullptr;
  services->tertiary->setStrength(icu::Collator::TERTIARY);
  services->secondary.reset(services->tertiary->clone());
  services->secondary->setStrength(icu::Collator::SECONDARY);
  for (int b = 0; b < 256; ++b) {
    services->upper[b] = services->lower[b] = static_cast<uint8_t>(b);
    char c = static_cast<char>(b);
    icu::UnicodeString s = Decode(std::string_view(&c, 1), info->codePage);
    if (s.length() != 1) continue;
    uint8_t mapped;
    icu::UnicodeString up(s);
    up.toUpper(locale);
    if (EncodeOne(up, info->codePage, &mapped)) services->upper[b] = mapped;
    icu::UnicodeString low(s);
    low.toLower(locale);
    if (EncodeOne(low, info->codePage, &mapped)) services->lower[b] = mapped;
  }
  TLocaleServices* result = services.get();
  cache.emplace(lcid, std::move(services));
  return result;
}

std::string MapBytes(std::string_view text, const std::array<uint8_t, 256>& table) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(table[static_cast<uint8_t>(c)]);
  return out;
}

}  // namespace

const TLocaleInfo* FindLocale(uint32_t lcid) {
  for (const TLocaleInfo& info : kLocales)
    if (info.lcid == lcid) return &info;
  return nullptr;
}

bool IsLocaleInstalled(uint16_t language, uint16_t sort) {
  const TLocaleInfo* info = FindLocale(MakeLcid(language, sort));
  if (!info) return false;
  icu::Locale wanted(info->icuLocale);
  int32_t count = 0;
  const icu::Locale* available = icu::Locale::getAvailableLocales(count);
  for (int32_t i = 0; i < count; ++i)
    if (std::string(available[i].getLanguage()) == wanted.getLanguage())
      return Services(info->lcid) != nullptr;
  return false;
}

int LocaleCompare(uint32_t lcid, std::string_view a, std::string_view b, bool ignoreCase) {
  TLocaleServices* services = Services(lcid);
  const TLocaleInfo* info = FindLocale(lcid);
  if (!services || !info) return a < b ? -1 : (a == b ? 0 : 1);
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString ua = Decode(a, info->codePage), ub = Decode(b, info->codePage);
  // Collators are not safe for concurrent use of one instance.
  std::lock_guard<std::mutex> guard(g_servicesLock);
  UCollationResult r = (ignoreCase ? services->secondary : services->tertiary)->compare(ua, ub, status);
  return r == UCOL_LESS ? -1 : (r == UCOL_EQUAL ? 0 : 1);
}

std::string LocaleUpper(uint32_t lcid, std::string_view text) {
  TLocaleServices* services = Services(lcid);
  return services ? MapBytes(text, services->upper) : std::string(text);
}

std::string LocaleLower(uint32_t lcid, std::string_view text) {
  TLocaleServices* services = Services(lcid);
  return services ? MapBytes(text, services->lower) : std::string(text);
}

std::string CutUtf8(std::string_view utf8, size_t maxBytes) {
  if (utf8.size() <= maxBytes) return std::string(utf8);
  size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
  return std::string(utf8.substr(0, cut)) + "...";
}

std::string DecodeToUtf8(std::string_view bytes, const char* codePage) {
  std::string out;
  Decode(bytes, codePage).toUTF8String(out);
  return out;
}

std::string EncodeFromUtf8(std::string_view utf8, const char* codePage) {
  icu::UnicodeString s = icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(codePage, &status);
  if (U_FAILURE(status)) return std::string(utf8);
  ucnv_setSubstChars(converter, "?", 1, &status);
  std::string out(static_cast<size_t>(s.length()) * 4 + 4, '\0');
  status = U_ZERO_ERROR;
  int32_t n = ucnv_fromUChars(converter, out.data(), static_cast<int32_t>(out.size()),
                              s.getBuffer(), s.length(), &status);
  ucnv_close(converter);
  out.resize(U_FAILURE(status) ? 0 : static_cast<size_t>(n));
  return out;
}

}  // namespace ovrin
