// The zone reader over arbitrary TZif bytes and TZ strings: no read past the
// input or the zone's storage, no hang, no memory beyond the one zone, and
// every lookup a well-formed local time. The first byte chooses what the rest
// is: a zone file, a TZ string, or a TZ string (its length in the next byte)
// applied to a zone file as glibc applies one to posixrules.

#include "fuzz_text.hpp"

#include "zone/zone_info.hpp"
#include "zone/zone_local_time.hpp"

#include <climits>
#include <cstdint>
#include <string>

namespace {

using fuzzing::check;

// Static: a zone is too large for the stack, and the fuzzer's leak check
// would not see a cache.
pagestamp::zone_info zone;

void check_time(const pagestamp::zone_info& checked, std::int64_t when)
{
    std::tm time{};
    pagestamp::zone_text abbreviation;
    if (!pagestamp::zone_local_time(checked, when, time, abbreviation)) {
        return;
    }
    check(time.tm_min >= 0 && time.tm_min <= 59 && time.tm_hour >= 0 && time.tm_hour <= 23, "clock in range");
    check(time.tm_mday >= 1 && time.tm_mday <= 31 && time.tm_mon >= 0 && time.tm_mon <= 11, "date in range");
    check(time.tm_yday >= 0 && time.tm_yday <= 365 && time.tm_wday >= 0 && time.tm_wday <= 6, "day in range");
    check(time.tm_isdst == 0 || time.tm_isdst == 1, "daylight flag");
    check(abbreviation.size() <= pagestamp::zone_text::capacity, "abbreviation fits");
}

void check_times(const pagestamp::zone_info& checked)
{
    for (const std::int64_t when : {INT64_MIN, std::int64_t{-1} << 40, std::int64_t{0}, std::int64_t{2000000000},
                                    std::int64_t{1} << 40, INT64_MAX}) {
        check_time(checked, when);
    }
    // Transitions are where a search goes wrong; leap seconds, where :60 is.
    const std::size_t transitions = checked.from_file ? checked.transition_count : 0;
    for (std::size_t i = 0; i < transitions; ++i) {
        const std::int64_t at = checked.transitions[i];
        check_time(checked, at);
        check_time(checked, at == INT64_MIN ? at : at - 1);
    }
    for (std::size_t i = 0; checked.from_file && i < checked.leap_count; ++i) {
        check_time(checked, checked.leaps[i].when);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    switch (bytes[0] % 3) {
    case 0:
        if (pagestamp::parse_tzif(input, zone) == pagestamp::tzif_result::parsed) {
            check(zone.transition_count <= pagestamp::max_transitions, "transitions fit");
            check_times(zone);
        }
        break;
    case 1:
        pagestamp::use_posix_zone(input, zone);
        check_times(zone);
        break;
    default: {
        const std::size_t tz_length = input.empty() ? 0 : static_cast<std::uint8_t>(input[0]);
        const std::string_view rest = input.empty() ? input : input.substr(1);
        const std::string_view tz = rest.substr(0, tz_length);
        pagestamp::zone_info& rules = zone;
        pagestamp::posix_zone asked;
        pagestamp::parse_posix_tz(tz, asked);
        if (pagestamp::parse_tzif(rest.substr(tz.size()), rules) == pagestamp::tzif_result::parsed &&
            pagestamp::use_default_rules(rules, asked)) {
            check_times(rules);
        }
        break;
    }
    }
    return 0;
}
