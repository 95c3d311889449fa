#pragma once

#include "text/body_text.hpp"

#include <ctime>

namespace pagestamp {

// The stamp without a template: year-month-day, no padding, no line end
// ("2003-4-2").
body_text default_stamp(const std::tm& time);

} // namespace pagestamp
