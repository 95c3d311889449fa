#pragma once
// Seconds since the epoch, broken down in a zone by its offset alone.

#include <cstdint>
#include <ctime>

namespace pagestamp {

// Fills every broken-down field but tm_isdst, tm_gmtoff and tm_zone. False
// when the year does not fit tm_year, as localtime_r then fails.
bool break_down(std::int64_t when, std::int64_t offset, std::tm& time);

// Days before each month, and the year's length last, in a common year and in
// a leap year.
inline constexpr int days_before_month[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

constexpr bool is_leap_year(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

} // namespace pagestamp
