#include "foundation/DateTimeUtils.h"

#include <cmath>
#include <cstdint>

namespace tq {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

constexpr int64_t kEpochDays = -25569;  // 1899-12-30 counted from 1970-01-01
constexpr double kMsPerDay = 86400000.0;

} // namespace

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                      int milliSecond) {
    const int64_t days = DaysFromCivil(year, month, day) - kEpochDays;
    const double fraction =
        ((hour * 3600.0 + minute * 60.0 + second) * 1000.0 + milliSecond) / kMsPerDay;
    // Before the epoch the day count is negative while the time of day still counts up.
    return days >= 0 ? days + fraction : days - fraction;
}

double EncodeDateTime(const TDateTimeFields& f) {
    return EncodeDateTime(f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.MilliSecond);
}

TDateTimeFields DecodeDateTime(double dateTime) {
    TDateTimeFields f;
    if (!std::isfinite(dateTime)) return f;
    double whole = std::trunc(dateTime);
    int64_t ms = std::llround(std::fabs(dateTime - whole) * kMsPerDay);
    if (ms >= static_cast<int64_t>(kMsPerDay)) {  // rounding reached the next day
        ms -= static_cast<int64_t>(kMsPerDay);
        whole += dateTime >= 0 ? 1 : -1;
    }
    CivilFromDays(static_cast<int64_t>(whole) + kEpochDays, f.Year, f.Month, f.Day);
    f.Hour = static_cast<int>(ms / 3600000);
    f.Minute = static_cast<int>(ms / 60000 % 60);
    f.Second = static_cast<int>(ms / 1000 % 60);
    f.MilliSecond = static_cast<int>(ms % 1000);
    return f;
}

TDateTimeFields LocalDateTimeFields(time_t seconds, long nanoseconds) {
    TDateTimeFields f;
    struct tm tmv {};
    if (localtime_r(&seconds, &tmv) == nullptr) return f;
    f.Year = tmv.tm_year + 1900;
    f.Month = tmv.tm_mon + 1;
    f.Day = tmv.tm_mday;
    f.Hour = tmv.tm_hour;
    f.Minute = tmv.tm_min;
    f.Second = tmv.tm_sec > 59 ? 59 : tmv.tm_sec;
    f.MilliSecond = static_cast<int>(nanoseconds / 1000000);
    return f;
}

double NowDateTime() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return EncodeDateTime(LocalDateTimeFields(ts.tv_sec, ts.tv_nsec));
}

} // namespace tq
