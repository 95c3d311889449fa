#pragma once
// A moment as a page shows it: broken down in a zone, with that zone's
// abbreviation at that moment.

#include "zone/zone_text.hpp"

#include <ctime>

namespace pagestamp {

// What strftime's %Z makes of a broken-down time; empty when the platform has
// no abbreviation of 19 characters or fewer.
zone_text zone_text_of(const std::tm& time);

struct zone_info; // zone/zone_info.hpp

// The time and its zone's abbreviation: in `zone` when there is one, else in
// the process's own zone by localtime_r. False when the time has no year
// that tm_year can hold.
bool local_time_of(std::time_t when, std::tm& time, zone_text& abbreviation, const zone_info* zone);

} // namespace pagestamp
