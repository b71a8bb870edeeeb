#include "main/date_format.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <set>

#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "main/migration.h"
#include "main/text_file.h"

namespace hollard {

namespace fs = std::filesystem;

namespace {

constexpr std::array<const char*, 3> kOrders = {"dmy", "mdy", "ymd"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlankChar(char c) { return c == ' ' || c == '\t'; }
bool IsSeparator(char c) {
  return c != 0 && !IsBlankChar(c) && !std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80;
}

std::string Quoted(char c) { return std::string("'") + c + "'"; }

// The settings that read dates in this order with these separators.
ovrin::TFormatSettings SettingsFor(const ovrin::TFormatSettings& base, const std::string& order, char dateSeparator,
                                   char timeSeparator) {
  ovrin::TFormatSettings s = base;
  ApplyDateFormat(DatePattern(order, dateSeparator), &s);
  s.TimeSeparator = timeSeparator;
  return s;
}

enum class TKind { ToDo, Log };

// Calls `take(file, line, text, kind)` for every dated text of the files: a ToDo line's
// creation date, a log line's date text. `starts` tells whether the text starts like a
// date (the log line is tested as a whole, the ToDo field on its own).
template <typename F>
void ForEachDatedText(const std::vector<std::string>& files, F&& take) {
  for (const std::string& file : files) {
    bool log = ovrin::AsciiLower(fs::path(file).extension().string()) != ".tdo";
    int64_t number = 0;
    try {
      ForEachTextLine(file, [&](const std::string& line) {
        ++number;
        if (log) {
          char ds = 0, ts = 0;
          if (!StartsLikeDate(line, &ds, &ts)) return;
          take(file, number, SplitLogLine(line).dateText, TKind::Log, ds, ts);
        } else {
          std::string created = SplitToDoLine(line).created;
          char ds = 0, ts = 0;
          if (!StartsLikeDate(created, &ds, &ts)) return;
          take(file, number, created, TKind::ToDo, ds, ts);
        }
      });
    } catch (const std::exception&) {
      // The step that reads the file reports it.
    }
  }
}

bool Reads(const std::string& text, TKind kind, const ovrin::TFormatSettings& s, ovrin::TDateTime* value) {
  ovrin::TDateTime v = 0;
  if (!ovrin::TryTextToDateTime(text, s, &v)) return false;
  // The log step passes over a line whose date converts to zero.
  if (kind == TKind::Log && v == 0) return false;
  *value = v;
  return true;
}

}  // namespace

std::string DatePattern(const std::string& order, char separator) {
  std::string out;
  for (char c : order) {
    if (!out.empty()) out += separator;
    out += c == 'y' ? "yyyy" : std::string(2, c);
  }
  return out;
}

std::string DateOrderOf(const std::string& shortDateFormat) {
  std::string order;
  for (char c : shortDateFormat) {
    char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((l == 'd' || l == 'm' || l == 'y') && order.find(l) == std::string::npos) order += l;
  }
  // The engine reads by the first of the three letters; a format that names fewer
  // letters reads as month/day/year.
  if (order.size() != 3) return "mdy";
  if (order[0] == 'y') return "ymd";
  return order[0] == 'd' ? "dmy" : "mdy";
}

bool StartsLikeDate(const std::string& text, char* dateSeparator, char* timeSeparator) {
  size_t i = 0;
  while (i < text.size() && IsBlankChar(text[i])) ++i;
  auto digits = [&]() {
    size_t start = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    return i > start;
  };
  if (!digits() || i >= text.size() || !IsSeparator(text[i])) return false;
  char ds = text[i++];
  if (!digits() || i >= text.size() || text[i] != ds) return false;
  ++i;
  if (!digits()) return false;
  *dateSeparator = ds;
  *timeSeparator = 0;
  while (i < text.size() && IsBlankChar(text[i])) ++i;
  if (digits() && i < text.size() && IsSeparator(text[i])) *timeSeparator = text[i];
  return true;
}

std::vector<std::string> DatedFiles(const std::string& sourceDir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sourceDir, ec)) {
    std::error_code e;
    if (!entry.is_regular_file(e)) continue;
    if (ovrin::AsciiLower(entry.path().extension().string()) != ".tdo") continue;
    if (entry.file_size(e) > kMaxSideFileBytes) continue;
    files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  std::string folder = sourceDir.empty() || sourceDir.back() == '/' ? sourceDir : sourceDir + "/";
  std::string log = ovrin::Platform().ResolveExisting(folder + "hollardm.log");
  if (!log.empty() && fs::is_regular_file(log, ec)) files.push_back(log);
  return files;
}

std::string TDateFormatFinding::Describe() const {
  return pattern + ", time separator " + Quoted(timeSeparator);
}

std::string TDateFormatFinding::LogLine() const {
  return "Dates read as " + Describe() + " (" + reason + ")";
}

std::string TDateFormatFinding::UnreadMessage() const {
  std::string m = std::to_string(unread) + " dated text(s) of the archive do not read as " + Describe() + ":";
  for (const TDatedText& t : firstUnread) m += "\n  " + t.file + ", line " + std::to_string(t.line) + ": '" + t.text + "'";
  if (static_cast<int64_t>(firstUnread.size()) < unread) m += "\n  ...";
  if (!readingPattern.empty())
    m += "\nThey read as " + readingPattern + ", time separator " + Quoted(readingTimeSeparator) + ".";
  else
    m += "\nNo day/month/year order reads them all.";
  return m;
}

TDateFormatFinding SettleDateFormat(const std::string& sourceDir, const TDateFormatChoice& choice,
                                    const ovrin::TFormatSettings& base, const std::string& codePage) {
  const std::vector<std::string> files = DatedFiles(sourceDir);

  // First pass: per pair of separators the texts found (a time separator of 0: no time),
  // and for each order how many of them it reads; the log's steps forward per order.
  struct TTally {
    int64_t count = 0;
    std::array<int64_t, 3> reads{};
  };
  std::map<std::pair<char, char>, TTally> tallies;
  std::array<int64_t, 3> forward{};
  std::array<ovrin::TDateTime, 3> previous{};
  std::array<bool, 3> havePrevious{};
  int64_t dated = 0;
  ForEachDatedText(files, [&](const std::string&, int64_t, const std::string& text, TKind kind, char ds, char ts) {
    ++dated;
    TTally& tally = tallies[{ds, ts}];
    ++tally.count;
    for (size_t o = 0; o < kOrders.size(); ++o) {
      ovrin::TDateTime value = 0;
      if (!Reads(text, kind, SettingsFor(base, kOrders[o], ds, ts ? ts : base.TimeSeparator), &value)) continue;
      ++tally.reads[o];
      if (kind != TKind::Log) continue;
      if (havePrevious[o] && value >= previous[o]) ++forward[o];
      previous[o] = value;
      havePrevious[o] = true;
    }
  });

  std::set<char> dateSeparators, timeSeparators;
  for (const auto& [key, tally] : tallies) {
    dateSeparators.insert(key.first);
    if (key.second) timeSeparators.insert(key.second);
  }
  if (choice.timeSeparator) timeSeparators = {choice.timeSeparator};
  if (timeSeparators.empty()) timeSeparators = {base.TimeSeparator};

  struct TCandidate {
    size_t order;
    char ds, ts;
    int64_t unread;
  };
  auto unreadUnder = [&](size_t o, char ds, char ts) {
    int64_t reads = 0;
    for (const auto& [key, tally] : tallies)
      if (key.first == ds && (key.second == 0 || key.second == ts)) reads += tally.reads[o];
    return dated - reads;
  };
  std::vector<TCandidate> candidates;
  for (size_t o = 0; o < kOrders.size(); ++o)
    for (char ds : dateSeparators)
      for (char ts : timeSeparators) candidates.push_back({o, ds, ts, unreadUnder(o, ds, ts)});

  const std::string localeOrder = DateOrderOf(base.ShortDateFormat);
  TDateFormatFinding found;
  found.dated = dated;

  // The automatic choice.
  TCandidate best{0, base.DateSeparator, base.TimeSeparator, 0};
  std::string reason;
  if (candidates.empty()) {
    for (size_t o = 0; o < kOrders.size(); ++o)
      if (localeOrder == kOrders[o]) best.order = o;
    reason = "no dated texts in the archive; the locale's format";
  } else {
    int64_t fewest = candidates.front().unread;
    for (const TCandidate& c : candidates) fewest = std::min(fewest, c.unread);
    std::vector<TCandidate> fitting;
    std::set<size_t> orders;
    for (const TCandidate& c : candidates)
      if (c.unread == fewest) {
        fitting.push_back(c);
        orders.insert(c.order);
      }
    std::string all = fewest == 0 ? "all " + std::to_string(dated) + " dated texts"
                                  : std::to_string(dated - fewest) + " of " + std::to_string(dated) + " dated texts";
    best = fitting.front();
    if (orders.size() == 1) {
      reason = "found automatically: the only order that reads " + all;
    } else {
      auto locale = std::find_if(fitting.begin(), fitting.end(),
                                 [&](const TCandidate& c) { return kOrders[c.order] == localeOrder; });
      if (locale != fitting.end()) {
        best = *locale;
        reason = "found automatically: " + std::to_string(orders.size()) + " orders read " + all +
                 "; the locale's order is one of them";
      } else {
        for (const TCandidate& c : fitting)
          if (forward[c.order] > forward[best.order]) best = c;
        reason = "found automatically: " + std::to_string(orders.size()) + " orders read " + all +
                 "; under this one the log's dates run forward in time (" + std::to_string(forward[best.order]) +
                 " steps forward)";
      }
    }
  }

  TCandidate chosen = best;
  if (!choice.automatic) {
    ovrin::TFormatSettings probe = base;
    if (!ApplyDateFormat(choice.pattern, &probe))
      throw std::invalid_argument("'" + choice.pattern +
                                  "' is not a date format: expected day, month and year (d-m-y, m-d-y or y-m-d) with one "
                                  "separator, e.g. dd.mm.yyyy or m/d/yyyy");
    std::string order = DateOrderOf(probe.ShortDateFormat);
    size_t o = static_cast<size_t>(std::find(kOrders.begin(), kOrders.end(), order) - kOrders.begin());
    chosen = {o, probe.DateSeparator, 0, 0};
    chosen.ts = *timeSeparators.begin();
    chosen.unread = unreadUnder(o, chosen.ds, chosen.ts);
    for (char ts : timeSeparators) {
      int64_t u = unreadUnder(o, chosen.ds, ts);
      if (u < chosen.unread) chosen = {o, chosen.ds, ts, u};
    }
    if (dated == 0) chosen.unread = 0;
    reason = "as given";
  }

  found.automatic = choice.automatic;
  found.pattern = DatePattern(kOrders[chosen.order], chosen.ds);
  found.timeSeparator = chosen.ts;
  found.settings = SettingsFor(base, kOrders[chosen.order], chosen.ds, chosen.ts);
  found.reason = reason;
  found.unread = chosen.unread;
  if (found.unread > 0 && best.unread == 0) {
    found.readingPattern = DatePattern(kOrders[best.order], best.ds);
    found.readingTimeSeparator = best.ts;
  }
  if (found.unread > 0) {
    // Second pass, only when texts do not read: which ones.
    ForEachDatedText(files, [&](const std::string& file, int64_t line, const std::string& text, TKind kind, char,
                                char) {
      ovrin::TDateTime value = 0;
      if (Reads(text, kind, found.settings, &value)) return;
      TDatedText t{file, line, ovrin::DecodeToUtf8(text, codePage.c_str())};
      found.unreadPerFile[file].Add(t);
      if (found.firstUnread.size() < TPassedOver::kShown) found.firstUnread.push_back(t);
    });
  }
  return found;
}

}  // namespace hollard
