#pragma once
// The zone local times are converted in, chosen per FastCGI request. A CGI
// never calls this: its zone is simply the TZ it was started with.

#include <cstddef>
#include <string_view>

namespace pagestamp {

// The longest TZ a request may set; zone names and rules are far shorter.
inline constexpr std::size_t time_zone_capacity = 255;

// Notes the zone the process started with, for requests that name none.
void remember_start_zone();

// Makes `zone` the one localtime_r uses from now on; a null view means the
// zone the process started with. False, with nothing changed, when it is
// longer than this process keeps.
bool use_time_zone(std::string_view zone);

} // namespace pagestamp
