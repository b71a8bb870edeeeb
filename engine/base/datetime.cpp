#include "engine/base/datetime.h"

#include <chrono>
#include <algorithm>
#include <cmath>
#include <ctime>

namespace ovrin {

bool IsLeapYear(int year) { return (year % 4 == 0) && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int32_t DayNumber(int year, int month, int day) {
  int64_t y = year - 1;
  int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  return static_cast<int32_t>(days + day);
}

void DayNumberToDate(int32_t dayNumber, int* year, int* month, int* day) {
  // Days before year y (from 1): (y-1)*365 + leap days; search by estimate.
  int64_t n = dayNumber;
  int y = static_cast<int>(n / 365.2425) + 1;
  auto daysBefore = [](int64_t yy) {
    int64_t p = yy - 1;
    return p * 365 + p / 4 - p / 100 + p / 400;
  };
  while (y > 1 && daysBefore(y) >= n) --y;
  while (daysBefore(y + 1) < n) ++y;
  int64_t rest = n - daysBefore(y);
  int m = 1;
  while (m < 12 && rest > DaysInMonth(y, m)) {
    rest -= DaysInMonth(y, m);
    ++m;
  }
  *year = y;
  *month = m;
  *day = static_cast<int>(rest);
}

bool TryEncodeDate(int year, int month, int day, TDateTime* out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  *out = DayNumber(year, month, day) - kDateDelta;
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int ms, TDateTime* out) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      ms < 0 || ms > 999)
    return false;
  *out = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + ms) / kMsPerDay;
  return true;
}

namespace {
// Whole days (toward zero, as the date part counts) and milliseconds of the day, the
// fraction counting forward from midnight on either side of 30 December 1899.
void SplitDateTime(TDateTime value, int64_t* days, int64_t* ms) {
  // A value from damaged bytes may lie far beyond any date (or be no number at all); it is
  // held to a range where the arithmetic below stays defined.
  constexpr double kFarthest = 1e11;  // days; times the milliseconds of a day still fits 64 bits
  if (!std::isfinite(value)) value = 0;
  value = std::clamp(value, -kFarthest, kFarthest);
  if (value >= 0) {
    auto total = static_cast<int64_t>(std::llround(value * kMsPerDay));
    *days = total / kMsPerDay;
    *ms = total % kMsPerDay;
    return;
  }
  *days = static_cast<int64_t>(std::trunc(value));
  *ms = std::llround(std::fabs(value - static_cast<double>(*days)) * kMsPerDay);
  if (*ms >= kMsPerDay) {
    *ms = 0;
    *days -= 1;
  }
}
}  // namespace

int32_t DateTimeToDayNumber(TDateTime value) {
  int64_t days, ms;
  SplitDateTime(value, &days, &ms);
  return static_cast<int32_t>(days + kDateDelta);
}

int32_t DateTimeToMsOfDay(TDateTime value) {
  int64_t days, ms;
  SplitDateTime(value, &days, &ms);
  return static_cast<int32_t>(ms);
}

double DateTimeToTimeStamp(TDateTime value) {
  int64_t days, ms;
  SplitDateTime(value, &days, &ms);
  return static_cast<double>((days + kDateDelta) * kMsPerDay + ms);
}

TDateTime TimeStampToDateTime(double stamp) {
  double days = std::floor(stamp / kMsPerDay);
  double ms = stamp - days * kMsPerDay;
  double date = days - kDateDelta;
  return date >= 0 ? date + ms / kMsPerDay : date - ms / kMsPerDay;
}

void DecodeDate(TDateTime value, int* year, int* month, int* day) {
  DayNumberToDate(DateTimeToDayNumber(value), year, month, day);
}

void DecodeTime(TDateTime value, int* hour, int* minute, int* second, int* ms) {
  int32_t t = DateTimeToMsOfDay(value);
  *ms = t % 1000;
  t /= 1000;
  *second = t % 60;
  t /= 60;
  *minute = t % 60;
  *hour = t / 60;
}

TDateTime Now() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count() %
            1000;
  TDateTime date = 0, time = 0;
  TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, &date);
  TryEncodeTime(local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms), &time);
  return date + time;
}

}  // namespace ovrin
