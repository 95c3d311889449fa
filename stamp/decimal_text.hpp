#pragma once
// Integers as decimal text, by hand: a printf per value would cost more than
// the rest of the run put together.

#include "text/fixed_text.hpp"

#include <cstdint>

namespace pagestamp {

// Room for a sign and all 20 digits of a 64-bit magnitude.
using number_text = fixed_text<21>;

// Like printf's "%0*d": at least min_digits digits, zero-padded, sign first.
number_text decimal_text(std::int64_t value, int min_digits = 1);

} // namespace pagestamp
