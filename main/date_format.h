// Settling the date and time format of an old archive before anything is written.
//
// The archive's dated texts (the creation dates of its ToDo lists and the dates of its
// history log) were written in the short date format of the machine that wrote them,
// which need not be the user's. Every text that starts like a date (digits, a
// separator, digits, the same separator, digits) is read under each day/month/year
// order with the separators the texts themselves use; a format that reads every one of
// them is the archive's. Values above 12 decide the order; when several orders read
// everything (no day above 12, or two-digit years), the user's locale's order is taken
// if it is one of them, else the order under which the log's dates run forward in time.
//
// An explicit format is checked the same way: the texts it does not read are counted,
// with the first few named by file and line, and the format that would read them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/base/conversions.h"

namespace hollard {

// One dated text of the archive: its file, its line (from 1) and the text.
struct TDatedText {
  std::string file;
  int64_t line = 0;
  std::string text;
};

// Texts of one file that were passed over or did not read: how many and the first few.
struct TPassedOver {
  int64_t count = 0;
  std::vector<TDatedText> first;  // at most kShown
  static constexpr size_t kShown = 3;
  void Add(const TDatedText& text) {
    ++count;
    if (first.size() < kShown) first.push_back(text);
  }
};

// How the archive's dates are to be read.
struct TDateFormatChoice {
  bool automatic = true;
  std::string pattern;     // day, month and year with one separator (dd.mm.yyyy) when not automatic
  char timeSeparator = 0;  // 0: found from the texts
};

struct TDateFormatFinding {
  ovrin::TFormatSettings settings;  // the base settings with the order and separators settled
  std::string pattern;              // e.g. "dd.mm.yyyy"
  char timeSeparator = ':';
  bool automatic = true;
  std::string reason;  // why this format, for the log
  int64_t dated = 0;   // texts that start like a date
  // Texts that start like a date and do not read in the format: in all, per file, and
  // the first few of all files.
  int64_t unread = 0;
  std::map<std::string, TPassedOver> unreadPerFile;
  std::vector<TDatedText> firstUnread;
  // A format that reads every dated text when this one does not (empty when none does).
  std::string readingPattern;
  char readingTimeSeparator = 0;
  bool Settled() const { return unread == 0; }
  // The format as the log shows it: "dd.mm.yyyy, time separator ':'".
  std::string Describe() const;
  // The message that stops a run whose dated texts do not all read.
  std::string UnreadMessage() const;
  // The log line that states the format and why.
  std::string LogLine() const;
};

// The dated texts' files of a source folder: every regular file whose extension is .tdo
// (in any letter case), then the history log "hollardm.log".
std::vector<std::string> DatedFiles(const std::string& sourceDir);

// Reads every dated text of the source folder and settles the format. `base` gives
// everything but the date order and separators (and the locale's order for ties).
// Files that cannot be read are left out (the steps report them). The texts of the
// finding are decoded from the code page to UTF-8. An explicit pattern that is no date
// format throws std::invalid_argument.
TDateFormatFinding SettleDateFormat(const std::string& sourceDir, const TDateFormatChoice& choice,
                                    const ovrin::TFormatSettings& base, const std::string& codePage = "windows-1252");

// The pattern of an order ("dmy", "mdy", "ymd") and a separator, e.g. "dd.mm.yyyy".
std::string DatePattern(const std::string& order, char separator);
// The day/month/year order of a short date format: "dmy", "mdy" or "ymd".
std::string DateOrderOf(const std::string& shortDateFormat);

// Whether a text starts like a date: blanks, digits, a separator that is neither a
// letter, a digit nor a blank, digits, the same separator, digits. Answers the date
// separator and, when a time follows (blanks, digits, a separator), the time separator.
bool StartsLikeDate(const std::string& text, char* dateSeparator, char* timeSeparator);

}  // namespace hollard
