#pragma once
// A zone's abbreviation at one moment, as a page prints it.

#include "text/fixed_text.hpp"

namespace pagestamp {

// strftime is given 20 bytes: 19 characters and the terminator.
using zone_text = fixed_text<19>;

} // namespace pagestamp
