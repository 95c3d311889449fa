#pragma once
// Which zone a TZ value means, found the way glibc finds it: a file under
// /usr/share/zoneinfo or at an absolute path, else the value as a POSIX rule.

#include "zone/zone_info.hpp"

#include <cstddef>
#include <string_view>

namespace pagestamp {

enum class zone_load {
    loaded,
    no_resources, // no descriptor or memory to read it
    too_large, // a zone file larger than the buffer or than zone_info holds
};

// Zone files are read into `buffer`; the largest of tzdata is under 4 KiB.
// Unless `loaded`, `zone` is not to be used. A null `tz` means unset.
zone_load load_zone(std::string_view tz, zone_info& zone, char* buffer, std::size_t room);

} // namespace pagestamp
