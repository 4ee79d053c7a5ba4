#pragma once
// Date-times as stored: a day count with fraction since 1899-12-30 00:00.

#include <cstdint>
#include <ctime>

namespace tq {

struct TDateTimeFields {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};

double EncodeDateTime(const TDateTimeFields& f);
double EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                      int second = 0, int milliSecond = 0);
TDateTimeFields DecodeDateTime(double dateTime);

// A Unix time (seconds, nanoseconds) broken down in local time.
TDateTimeFields LocalDateTimeFields(time_t seconds, long nanoseconds = 0);
// The current local time as a date-time.
double NowDateTime();

} // namespace tq
