#pragma once
// Seconds since the epoch, broken down in a zone by its offset alone.

#include <cstdint>
#include <ctime>

namespace pagestamp {

// Fills every broken-down field but tm_isdst, tm_gmtoff and tm_zone. False
// when the year does not fit tm_year, as localtime_r then fails.
bool break_down(std::int64_t when, std::int64_t offset, std::tm& time);

constexpr bool is_leap_year(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

} // namespace pagestamp
