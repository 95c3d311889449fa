#pragma once
// The body of a response, whichever way it leaves.

#include "text/fixed_text.hpp"

namespace pagestamp {

// The body never grows past 4094 characters: the buffer has always been 4096
// bytes, one for the terminator and one never used.
using body_text = fixed_text<4094>;

} // namespace pagestamp
