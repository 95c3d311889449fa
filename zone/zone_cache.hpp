#pragma once
// The zone each TZ value means, read from disk once per process and kept:
// safe to ask from any number of threads, without the process's own TZ.

#include "zone/time_zone.hpp"

#include <string_view>

namespace pagestamp {

struct zone_info; // zone/zone_info.hpp

// Distinct TZ values kept for the life of the process. A server names a few
// zones in its configuration; a 65th is refused, never read per request.
inline constexpr std::size_t zone_cache_capacity = 64;

enum class zone_status {
    found,
    too_long, // longer than time_zone_capacity
    no_resources, // no descriptor or memory to read it, or the cache is full
};

struct zone_choice {
    const zone_info* zone = nullptr;
    zone_status status = zone_status::found;
};

// The zone glibc's localtime_r would use with TZ set to `tz`; a null view
// (tz.data() == nullptr) means TZ unset. Only `found` comes with a zone.
zone_choice find_zone(std::string_view tz);

} // namespace pagestamp
