#include "zone/civil_time.hpp"

#include <climits>

namespace pagestamp {

namespace {

constexpr std::int64_t seconds_per_day = 86400;

constexpr std::int64_t floor_divide(std::int64_t a, std::int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }

} // namespace

bool break_down(std::int64_t when, std::int64_t offset, std::tm& time)
{
    // Days and seconds apart first: when + offset may pass the 64 bits.
    std::int64_t days = when / seconds_per_day + offset / seconds_per_day;
    std::int64_t seconds = when % seconds_per_day + offset % seconds_per_day;
    if (seconds < 0) {
        seconds += seconds_per_day;
        --days;
    }
    if (seconds < 0) {
        seconds += seconds_per_day;
        --days;
    }
    if (seconds >= seconds_per_day) {
        seconds -= seconds_per_day;
        ++days;
    }
    // Civil date from a day count, in 400-year eras of 146097 days that
    // start on the 1st of March, so the leap day ends each era's year.
    const std::int64_t shifted = days + 719468;
    const std::int64_t era = floor_divide(shifted, 146097);
    const std::int64_t day_of_era = shifted - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_from_march = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t month_from_march = (5 * day_from_march + 2) / 153;
    const std::int64_t month = month_from_march < 10 ? month_from_march + 2 : month_from_march - 10;
    const std::int64_t year = year_of_era + era * 400 + (month < 2 ? 1 : 0);
    if (year - 1900 > INT_MAX || year - 1900 < INT_MIN) {
        return false;
    }
    const int leap = is_leap_year(year) ? 1 : 0;
    const std::int64_t day_of_month = day_from_march - (153 * month_from_march + 2) / 5;
    time.tm_year = static_cast<int>(year - 1900);
    time.tm_mon = static_cast<int>(month);
    time.tm_mday = static_cast<int>(day_of_month + 1);
    time.tm_yday = days_before_month[leap][month] + static_cast<int>(day_of_month);
    time.tm_wday = static_cast<int>(days - floor_divide(days + 4, 7) * 7 + 4); // the epoch was a Thursday
    time.tm_hour = static_cast<int>(seconds / 3600);
    time.tm_min = static_cast<int>(seconds / 60 % 60);
    time.tm_sec = static_cast<int>(seconds % 60);
    return true;
}

} // namespace pagestamp
