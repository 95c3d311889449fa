// A moment in a zone read by zone_info: which type or rule is in force, and
// the leap seconds before it, decided as glibc's localtime_r decides them.

#include "zone/zone_local_time.hpp"

#include "zone/civil_time.hpp"
#include "zone/zone_info.hpp"

namespace pagestamp {

namespace {

struct in_force {
    std::int64_t offset;
    bool is_dst;
    const char* name;
};

in_force of_type(const zone_info& zone, std::size_t type)
{
    const zone_type& chosen = zone.types[type];
    return {chosen.offset, chosen.is_dst, zone.abbreviations + chosen.abbreviation};
}

// Before the first transition, glibc takes the first standard-time type,
// not type 0.
std::size_t type_before_transitions(const zone_info& zone)
{
    for (std::size_t i = 0; i < zone.type_count; ++i) {
        if (!zone.types[i].is_dst) {
            return i;
        }
    }
    return 0;
}

// The index of the first transition after `when`; 0 < result < count.
std::size_t first_transition_after(const zone_info& zone, std::int64_t when)
{
    std::size_t low = 0; // transitions[low] <= when
    std::size_t high = zone.transition_count - 1; // when < transitions[high]
    while (low + 1 < high) {
        const std::size_t middle = low + (high - low) / 2;
        (when < zone.transitions[middle] ? high : low) = middle;
    }
    return high;
}

in_force rule_in_force(const posix_zone& rule, std::int64_t when, const std::tm& utc)
{
    const zone_state state = posix_state(rule, when, static_cast<int>(static_cast<unsigned>(utc.tm_year) + 1900U));
    return {state.offset, state.is_dst, state.name->c_str()};
}

// False when `when` lies past the last transition and the footer cannot be
// used because the year overflows; the last type then holds.
bool footer_in_force(const zone_info& zone, std::int64_t when, in_force& found)
{
    std::tm utc{};
    if (!zone.has_footer || !break_down(when, 0, utc)) {
        return false;
    }
    found = rule_in_force(zone.rule, when, utc);
    return true;
}

in_force file_in_force(const zone_info& zone, std::int64_t when)
{
    const std::size_t count = zone.transition_count;
    if (count == 0 || when < zone.transitions[0]) {
        return of_type(zone, type_before_transitions(zone));
    }
    in_force found{};
    if (when >= zone.transitions[count - 1]) {
        if (footer_in_force(zone, when, found)) {
            return found;
        }
        return of_type(zone, zone.transition_types[count - 1]);
    }
    return of_type(zone, zone.transition_types[first_transition_after(zone, when) - 1]);
}

// The leap seconds inserted by `when`, and how many of them end exactly
// there (the clock then shows :60).
struct leap_state {
    std::int64_t correction = 0;
    int shown_as_60 = 0;
};

// Computed without overflow: a forged file may hold times at the ends.
bool one_after(std::int64_t later, std::int64_t earlier)
{
    return earlier < later && static_cast<std::uint64_t>(later) - static_cast<std::uint64_t>(earlier) == 1;
}

leap_state leap_seconds_at(const zone_info& zone, std::int64_t when)
{
    leap_state state;
    std::size_t i = zone.leap_count;
    while (i > 0 && when < zone.leaps[i - 1].when) {
        --i;
    }
    if (i-- == 0) {
        return state;
    }
    state.correction = zone.leaps[i].correction;
    const bool inserted = i == 0 ? zone.leaps[0].correction > 0 : zone.leaps[i].correction > zone.leaps[i - 1].correction;
    if (when == zone.leaps[i].when && inserted) {
        state.shown_as_60 = 1;
        for (; i > 0 && one_after(zone.leaps[i].when, zone.leaps[i - 1].when) &&
               std::int64_t{zone.leaps[i].correction} == std::int64_t{zone.leaps[i - 1].correction} + 1;
             --i) {
            ++state.shown_as_60;
        }
    }
    return state;
}

} // namespace

bool zone_local_time(const zone_info& zone, std::time_t when, std::tm& time, zone_text& abbreviation)
{
    in_force found{};
    leap_state leap;
    if (zone.from_file) {
        found = file_in_force(zone, when);
        leap = leap_seconds_at(zone, when);
    } else {
        std::tm utc{};
        if (!break_down(when, 0, utc)) {
            return false;
        }
        found = rule_in_force(zone.rule, when, utc);
    }
    if (!break_down(when, found.offset - leap.correction, time)) {
        return false;
    }
    time.tm_sec += leap.shown_as_60;
    time.tm_isdst = found.is_dst ? 1 : 0;
    time.tm_gmtoff = found.offset;
    time.tm_zone = found.name; // the zone's own storage, which lives as long as the zone
    // strftime's %Z in 20 bytes: a longer name comes out empty.
    abbreviation.clear();
    abbreviation.append(std::string_view(found.name, std::char_traits<char>::length(found.name)));
    return true;
}

} // namespace pagestamp
