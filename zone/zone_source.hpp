#pragma once
// Which zone a TZ value means, found the way glibc finds it: a file under
// /usr/share/zoneinfo or at an absolute path, else the value as a POSIX rule.

#include "zone/zone_info.hpp"

#include <cstddef>
#include <string_view>

namespace pagestamp {

// Zone files are read into `buffer`; the largest of tzdata is under 4 KiB.
// False when the zone could not be read for want of descriptors or memory,
// or does not fit: `zone` is then not to be used. A null `tz` means unset.
bool load_zone(std::string_view tz, zone_info& zone, char* buffer, std::size_t room);

} // namespace pagestamp
