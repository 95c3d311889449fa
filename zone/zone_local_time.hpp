#pragma once
// A moment broken down in a zone read by zone_info, as glibc's localtime_r
// would break it down with TZ naming that zone.

#include "zone/zone_text.hpp"

#include <ctime>

namespace pagestamp {

struct zone_info; // zone/zone_info.hpp

// The time and abbreviation glibc's localtime_r gives at `when` in `zone`;
// false where localtime_r fails (a year past tm_year's range).
bool zone_local_time(const zone_info& zone, std::time_t when, std::tm& time, zone_text& abbreviation);

} // namespace pagestamp
