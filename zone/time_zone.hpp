#pragma once
// How long a TZ a request may name: what the responder's reader takes and
// what the zone cache keeps.

#include <cstddef>

namespace pagestamp {

// Zone names and rules are far shorter.
inline constexpr std::size_t time_zone_capacity = 255;

} // namespace pagestamp
