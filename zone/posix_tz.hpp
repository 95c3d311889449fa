#pragma once
// A TZ value in the POSIX form (`EST5EDT,M3.2.0,M11.1.0`, `<+0330>-3:30`),
// read the way glibc reads it, down to what it makes of malformed values,
// and the standard or daylight time such a rule gives at a moment.

#include "text/fixed_text.hpp"

#include <cstdint>
#include <string_view>

namespace pagestamp {

// A TZ of up to 255 bytes, or a zone file's footer of as many, has no longer name.
using zone_name = fixed_text<255>;

enum class change_day : std::uint8_t { day_of_year, julian_day, month_week_day }; // n, Jn, Mm.w.d

struct change_rule {
    change_day form;
    std::uint16_t month;
    std::uint16_t week;
    std::uint16_t day;
    std::int32_t seconds; // after local midnight; may be negative or past a day
};

// [0] standard time, [1] daylight time: what glibc keeps of a TZ string.
struct posix_zone {
    zone_name names[2];
    std::int64_t offsets[2]; // seconds east of UTC
    change_rule rules[2];
    // Both names and no rule: glibc takes the transitions of the posixrules
    // file instead, when it has one with both kinds of time.
    bool wants_default_rules;
};

// Never fails: a value glibc cannot read leaves the fields it had set, as
// glibc's own do. Text past 255 bytes is not read. True when the whole text
// was a rule glibc takes as written, with nothing refused or left over.
bool parse_posix_tz(std::string_view text, posix_zone& zone);

struct zone_state {
    std::int64_t offset;
    bool is_dst;
    const zone_name* name;
};

// The time in force at `when`; `utc_year` is when's year in UTC, which is the
// year glibc computes both changes for.
zone_state posix_state(const posix_zone& zone, std::int64_t when, int utc_year);

} // namespace pagestamp
