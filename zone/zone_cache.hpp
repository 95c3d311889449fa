#pragma once
// The zone each TZ value means, read from disk once per process and kept:
// safe to ask from any number of threads, without the process's own TZ.
// Kept zones are never evicted, so a reader that found one may use it for
// as long as the process lives, with no lock.

#include "zone/time_zone.hpp"

#include <string_view>

namespace pagestamp {

struct zone_info; // zone/zone_info.hpp

// Distinct TZ values kept for the life of the process. A server names a few
// zones in its configuration; visitors may name any number, and a zone past
// the 64th is read again for each request that names it, into its memory.
inline constexpr std::size_t zone_cache_capacity = 64;

enum class zone_status {
    found,
    too_long, // longer than time_zone_capacity
    no_resources, // no descriptor or memory to read it
    too_large, // a zone file with more than a zone_info holds
    not_kept, // the cache is full: read it with read_zone_alone
};

struct zone_choice {
    const zone_info* zone = nullptr;
    zone_status status = zone_status::found;
};

// The zone glibc's localtime_r would use with TZ set to `tz`; a null view
// (tz.data() == nullptr) means TZ unset. Only `found` comes with a zone.
zone_choice find_zone(std::string_view tz);

// The zone read into `zone`, the caller's, for one request: what the cache
// could not keep. `found`, `no_resources` or `too_large`.
zone_status read_zone_alone(std::string_view tz, zone_info& zone);

} // namespace pagestamp
