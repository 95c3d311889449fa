#include "stamp/default_stamp.hpp"

#include "stamp/decimal_text.hpp"
#include "stamp/stamp_facts.hpp"

#include <cstdint>

namespace pagestamp {

body_text default_stamp(const std::tm& time)
{
    body_text stamp;
    stamp.append(year_text_of(time).view());
    stamp.append('-');
    stamp.append(decimal_text(std::int64_t{time.tm_mon} + 1).view());
    stamp.append('-');
    stamp.append(decimal_text(time.tm_mday).view());
    return stamp;
}

} // namespace pagestamp
