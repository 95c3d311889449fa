#pragma once
// A time zone read once into plain fixed-size storage: a zone file's
// transitions, types, abbreviations, leap seconds and footer rule, or a POSIX
// rule alone. A lookup is a binary search over it: it never reads a file and
// changes nothing shared, so any number of threads may look up at once.

#include "zone/posix_tz.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace pagestamp {

// Room for every zone of tzdata 2025b with some to spare: its largest has 310
// transitions, 18 types, 40 bytes of abbreviations and 27 leap seconds. A
// file with more does not fit, and its zone is refused rather than guessed.
inline constexpr std::size_t max_transitions = 1200;
inline constexpr std::size_t max_zone_types = 256; // a transition names its type in one byte
inline constexpr std::size_t max_abbreviation_bytes = 512;
inline constexpr std::size_t max_leap_seconds = 100;

struct zone_type {
    std::int32_t offset; // seconds east of UTC
    std::uint8_t abbreviation; // where its name starts in the abbreviation bytes
    bool is_dst;
    bool is_standard; // its transitions are given in standard time
    bool is_ut; // its transitions are given in UT
};

struct leap_second {
    std::int64_t when;
    std::int32_t correction; // seconds inserted so far
};

struct zone_info {
    bool from_file;
    // A zone file, or a rule read whole; glibc makes something of any other
    // value too, and so do we, but a configuration naming one is mistaken.
    bool well_formed;
    bool has_footer;
    std::size_t transition_count;
    std::size_t type_count;
    std::size_t leap_count;
    // The offset of the last standard type, which glibc shifts the posixrules
    // transitions by when TZ names its own offsets.
    std::int32_t rule_standard_offset;
    std::int64_t transitions[max_transitions];
    std::uint8_t transition_types[max_transitions];
    zone_type types[max_zone_types];
    char abbreviations[max_abbreviation_bytes + 1]; // a NUL after the last ends every name
    leap_second leaps[max_leap_seconds];
    // The footer for a file; the whole zone otherwise.
    posix_zone rule;
};

enum class tzif_result { parsed, rejected, too_large };

// A TZif file of any version, the 64-bit data of version 2 and later. Rejected
// is what glibc rejects, so TZ is then read as a POSIX string.
tzif_result parse_tzif(std::string_view bytes, zone_info& zone);

// A zone from a POSIX TZ string alone.
void use_posix_zone(std::string_view tz, zone_info& zone);

// glibc's reading of "std offset dst [offset]" with no rule: `rules` (the
// posixrules file, parsed) with its times moved to the TZ's offsets and its
// names replaced. False, with `rules` unusable, when it has fewer than two types.
bool use_default_rules(zone_info& rules, const posix_zone& tz);

} // namespace pagestamp
