// Date and time values.
//
// A date-time is a double: days since 30 December 1899 with the time of day as the
// fraction. Stored dates are day numbers counted from 1 January 0001 as day 1 (so
// 30 December 1899 is day 693594); stored times are milliseconds since midnight;
// stored timestamps are day number * 86,400,000 + milliseconds.
#pragma once

#include <cstdint>

namespace ovrin {

using TDateTime = double;

constexpr int32_t kDateDelta = 693594;
constexpr int64_t kMsPerDay = 86400000;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool TryEncodeDate(int year, int month, int day, TDateTime* out);
bool TryEncodeTime(int hour, int minute, int second, int ms, TDateTime* out);
void DecodeDate(TDateTime value, int* year, int* month, int* day);
void DecodeTime(TDateTime value, int* hour, int* minute, int* second, int* ms);

// Day number from 1 January 0001 (day 1) of a date, and back.
int32_t DayNumber(int year, int month, int day);
void DayNumberToDate(int32_t dayNumber, int* year, int* month, int* day);

// Stored forms of a date-time: day number, milliseconds of the day, and timestamp.
int32_t DateTimeToDayNumber(TDateTime value);
int32_t DateTimeToMsOfDay(TDateTime value);
double DateTimeToTimeStamp(TDateTime value);
TDateTime TimeStampToDateTime(double stamp);

// The current local date and time.
TDateTime Now();

}  // namespace ovrin
