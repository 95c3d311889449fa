// Reading a TZif file as glibc reads it: what it rejects we reject, so that
// TZ falls back to a POSIX string exactly when glibc's does.

#include "zone/zone_info.hpp"

namespace pagestamp {

namespace {

constexpr std::size_t header_size = 44;

struct byte_reader {
    std::string_view bytes;
    std::size_t at;

    [[nodiscard]] std::uint8_t byte(std::size_t i) const { return static_cast<std::uint8_t>(bytes[at + i]); }
    [[nodiscard]] std::int64_t big_endian(std::size_t width) const
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value = value << 8 | byte(i);
        }
        // Sign-extended from its width: a 32-bit field may be negative.
        const unsigned unused = static_cast<unsigned>(64 - 8 * width);
        return static_cast<std::int64_t>(value << unused) >> unused;
    }
};

// The six counts, each a signed 32-bit field that glibc widens to size_t.
struct tzif_counts {
    std::uint64_t ut_flags, standard_flags, leaps, transitions, types, abbreviation_bytes;
};

bool read_header(std::string_view bytes, std::uint64_t at, tzif_counts& counts)
{
    if (at > bytes.size() || bytes.size() - at < header_size) {
        return false;
    }
    const std::string_view magic = "TZif";
    if (!same_text(std::string_view(bytes.data() + at, 4), magic)) {
        return false;
    }
    std::uint64_t* const fields[6] = {&counts.ut_flags, &counts.standard_flags, &counts.leaps,
                                      &counts.transitions, &counts.types, &counts.abbreviation_bytes};
    for (std::size_t i = 0; i < 6; ++i) {
        *fields[i] = static_cast<std::uint64_t>(byte_reader{bytes, at + 20 + 4 * i}.big_endian(4));
    }
    return counts.standard_flags <= counts.types && counts.ut_flags <= counts.types;
}

// Where a data block ends, or 0 when its counts do not fit the file.
std::uint64_t data_end(std::uint64_t start, const tzif_counts& c, std::uint64_t width, std::uint64_t size)
{
    struct part {
        std::uint64_t count, bytes_each;
    };
    const part parts[] = {{c.transitions, width + 1}, {c.types, 6}, {c.abbreviation_bytes, 1},
                          {c.leaps, width + 4}, {c.standard_flags, 1}, {c.ut_flags, 1}};
    std::uint64_t end = start;
    for (const part p : parts) {
        if (p.count > size || p.count * p.bytes_each > size - end) {
            return 0;
        }
        end += p.count * p.bytes_each;
    }
    return end;
}

// The offset of the last standard type, the one glibc takes the posixrules
// file's wall-clock times to be in.
void find_rule_offset(zone_info& zone)
{
    zone.rule_standard_offset = zone.transition_count == 0 ? zone.types[0].offset : 0;
    for (std::size_t i = zone.transition_count; i-- > 0;) {
        const zone_type& type = zone.types[zone.transition_types[i]];
        if (!type.is_dst) {
            zone.rule_standard_offset = type.offset;
            break;
        }
    }
}

tzif_result read_data(byte_reader in, const tzif_counts& c, std::size_t width, zone_info& zone)
{
    for (std::size_t i = 0; i < c.transitions; ++i, in.at += width) {
        zone.transitions[i] = in.big_endian(width);
    }
    for (std::size_t i = 0; i < c.transitions; ++i, ++in.at) {
        zone.transition_types[i] = in.byte(0);
        if (in.byte(0) >= c.types) {
            return tzif_result::rejected;
        }
    }
    for (std::size_t i = 0; i < c.types; ++i, in.at += 6) {
        if (in.byte(4) > 1 || in.byte(5) > c.abbreviation_bytes) {
            return tzif_result::rejected;
        }
        zone.types[i] = {static_cast<std::int32_t>(in.big_endian(4)), in.byte(5), in.byte(4) == 1, false, false};
    }
    for (std::size_t i = 0; i < c.abbreviation_bytes; ++i, ++in.at) {
        zone.abbreviations[i] = static_cast<char>(in.byte(0));
    }
    zone.abbreviations[c.abbreviation_bytes] = '\0';
    for (std::size_t i = 0; i < c.leaps; ++i, in.at += width + 4) {
        zone.leaps[i] = {in.big_endian(width), static_cast<std::int32_t>(byte_reader{in.bytes, in.at + width}.big_endian(4))};
    }
    for (std::size_t i = 0; i < c.standard_flags; ++i, ++in.at) {
        zone.types[i].is_standard = in.byte(0) != 0;
    }
    for (std::size_t i = 0; i < c.ut_flags; ++i, ++in.at) {
        zone.types[i].is_ut = in.byte(0) != 0;
    }
    zone.transition_count = c.transitions;
    zone.type_count = c.types;
    zone.leap_count = c.leaps;
    return tzif_result::parsed;
}

// The footer is what lies between a newline after the data and the file's
// last byte, up to a NUL; glibc ignores a footer without its newline.
void read_footer(std::string_view bytes, std::uint64_t end, zone_info& zone)
{
    zone.has_footer = false;
    if (end + 1 >= bytes.size() || bytes[end] != '\n') {
        return;
    }
    std::string_view footer(bytes.data() + end + 1, bytes.size() - end - 2);
    for (std::size_t i = 0; i < footer.size(); ++i) {
        if (footer[i] == '\0') {
            footer = text_before(footer, i);
        }
    }
    if (!footer.empty()) {
        parse_posix_tz(footer, zone.rule);
        zone.has_footer = true;
    }
}

} // namespace

tzif_result parse_tzif(std::string_view bytes, zone_info& zone)
{
    tzif_counts counts{};
    if (!read_header(bytes, 0, counts)) {
        return tzif_result::rejected;
    }
    std::uint64_t start = header_size;
    std::size_t width = 4;
    if (bytes[4] != '\0') {
        // The 64-bit block follows the 32-bit one; glibc finds it by the
        // first header's counts, in size_t arithmetic, wrapping and all.
        const std::uint64_t skip = header_size + counts.transitions * 5 + counts.types * 6 +
                                   counts.abbreviation_bytes + counts.leaps * 8 + counts.standard_flags +
                                   counts.ut_flags;
        if (skip > INT64_MAX || !read_header(bytes, skip, counts)) {
            return tzif_result::rejected;
        }
        start = skip + header_size;
        width = 8;
    }
    const std::uint64_t end = data_end(start, counts, width, bytes.size());
    // A version 2 file must leave at least its footer's newline.
    if (end == 0 || (width == 8 && end + 1 > bytes.size())) {
        return tzif_result::rejected;
    }
    // No type at all would stop glibc on an assertion.
    if (counts.types == 0) {
        return tzif_result::rejected;
    }
    if (counts.transitions > max_transitions || counts.types > max_zone_types ||
        counts.abbreviation_bytes > max_abbreviation_bytes || counts.leaps > max_leap_seconds) {
        return tzif_result::too_large;
    }
    zone.from_file = true;
    zone.well_formed = true;
    const tzif_result result = read_data(byte_reader{bytes, start}, counts, width, zone);
    if (result != tzif_result::parsed) {
        return result;
    }
    zone.has_footer = false;
    if (width == 8) {
        read_footer(bytes, end, zone);
    }
    find_rule_offset(zone);
    return tzif_result::parsed;
}

void use_posix_zone(std::string_view tz, zone_info& zone)
{
    zone.from_file = false;
    zone.has_footer = false;
    zone.transition_count = 0;
    zone.type_count = 0;
    zone.leap_count = 0;
    zone.well_formed = parse_posix_tz(tz, zone.rule);
}

bool use_default_rules(zone_info& rules, const posix_zone& tz)
{
    const std::string_view standard = tz.names[0].view();
    const std::string_view daylight = tz.names[1].view();
    if (rules.type_count < 2 || standard.size() + daylight.size() + 2 > max_abbreviation_bytes) {
        return false;
    }
    bool was_dst = false;
    for (std::size_t i = 0; i < rules.transition_count; ++i) {
        const zone_type& type = rules.types[rules.transition_types[i]];
        rules.transition_types[i] = type.is_dst ? 1 : 0;
        // A wall-clock time moves by the difference of the standard offsets;
        // in daylight time glibc moves it by the TZ's daylight offset alone,
        // as if the file's were 0 (measured with two posixrules files).
        if (!type.is_ut) {
            const std::int64_t shift = was_dst && !type.is_standard ? tz.offsets[1]
                                                                    : tz.offsets[0] - rules.rule_standard_offset;
            // Only a forged file has times this near the end of time.
            if (__builtin_add_overflow(rules.transitions[i], shift, &rules.transitions[i])) {
                rules.transitions[i] = shift < 0 ? INT64_MIN : INT64_MAX;
            }
        }
        was_dst = type.is_dst;
    }
    char* name = rules.abbreviations;
    for (const std::string_view part : {standard, daylight}) {
        for (const char c : part) {
            *name++ = c;
        }
        *name++ = '\0';
    }
    rules.type_count = 2;
    rules.types[0].offset = static_cast<std::int32_t>(tz.offsets[0]);
    rules.types[0].abbreviation = 0;
    rules.types[0].is_dst = false;
    rules.types[1].offset = static_cast<std::int32_t>(tz.offsets[1]);
    rules.types[1].abbreviation = static_cast<std::uint8_t>(standard.size() + 1);
    rules.types[1].is_dst = true;
    return true;
}

} // namespace pagestamp
