#include "request/local_time.hpp"

#include "zone/zone_local_time.hpp"

namespace pagestamp {

zone_text zone_text_of(const std::tm& time)
{
    char abbreviation[zone_text::capacity + 1];
    const std::size_t length = std::strftime(abbreviation, sizeof abbreviation, "%Z", &time);
    zone_text zone;
    zone.append(std::string_view(abbreviation, length));
    return zone;
}

bool local_time_of(std::time_t when, std::tm& time, zone_text& abbreviation, const zone_info* zone)
{
    if (zone != nullptr) {
        return zone_local_time(*zone, when, time, abbreviation);
    }
    if (localtime_r(&when, &time) == nullptr) {
        return false;
    }
    // glibc's localtime_r points tm_zone at the abbreviation, so strftime
    // reads it from there and never has to look at the process's zone again.
    abbreviation = zone_text_of(time);
    return true;
}

} // namespace pagestamp
