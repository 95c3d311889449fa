// The 36 template codes, one row each, and what each prints.

#include "stamp/expand_template.hpp"
#include "stamp/name_tables.hpp"

#include <array>

namespace pagestamp {

namespace {

using value_of = std::string_view (*)(const stamp_facts&, piece_scratch&);

struct code_entry {
    std::string_view code;
    value_of value;
};

// A broken-down time from localtime is always in range; this keeps a record
// filled any other way from indexing past a table.
template <std::size_t N>
std::string_view name_at(const std::array<std::string_view, N>& names, int index)
{
    return index >= 0 && static_cast<std::size_t>(index) < N ? names[static_cast<std::size_t>(index)]
                                                               : std::string_view();
}

std::string_view number(piece_scratch& scratch, std::int64_t value, int min_digits = 1)
{
    return keep(scratch, decimal_text(value, min_digits).view());
}

std::string_view scaled(piece_scratch& scratch, std::int32_t size, std::int32_t unit)
{
    return keep(scratch, scaled_size_text(size, unit).view());
}

using facts = const stamp_facts&;
using scratch = piece_scratch&;

// "PM" is the padded minute, not a half-day text; YD and YP count 1 January
// as day 0, as pages have always shown it.
constexpr std::array<code_entry, 36> codes{{
    {"WS", [](facts f, scratch) { return name_at(weekday_short_names, f.time.tm_wday); }},
    {"WL", [](facts f, scratch) { return name_at(weekday_long_names, f.time.tm_wday); }},
    {"WN", [](facts f, scratch s) { return number(s, std::int64_t{f.time.tm_wday} + 1); }},
    {"WP", [](facts f, scratch s) { return number(s, std::int64_t{f.time.tm_wday} + 1, 2); }},
    {"MS", [](facts f, scratch) { return name_at(month_short_names, f.time.tm_mon); }},
    {"ML", [](facts f, scratch) { return name_at(month_long_names, f.time.tm_mon); }},
    {"MN", [](facts f, scratch s) { return number(s, std::int64_t{f.time.tm_mon} + 1); }},
    {"MP", [](facts f, scratch s) { return number(s, std::int64_t{f.time.tm_mon} + 1, 2); }},
    {"DM", [](facts f, scratch s) { return number(s, f.time.tm_mday); }},
    {"DP", [](facts f, scratch s) { return number(s, f.time.tm_mday, 2); }},
    {"Y2", [](facts f, scratch) { return year2_text(f); }},
    {"Y4", [](facts f, scratch) { return f.year_text.view(); }},
    {"YD", [](facts f, scratch s) { return number(s, f.time.tm_yday); }},
    {"YP", [](facts f, scratch s) { return number(s, f.time.tm_yday, 3); }},
    {"H1", [](facts f, scratch s) { return number(s, f.hour12); }},
    {"P1", [](facts f, scratch s) { return number(s, f.hour12, 2); }},
    {"H2", [](facts f, scratch s) { return number(s, f.time.tm_hour); }},
    {"P2", [](facts f, scratch s) { return number(s, f.time.tm_hour, 2); }},
    {"MM", [](facts f, scratch s) { return number(s, f.time.tm_min); }},
    {"PM", [](facts f, scratch s) { return number(s, f.time.tm_min, 2); }},
    {"SS", [](facts f, scratch s) { return number(s, f.time.tm_sec); }},
    {"PS", [](facts f, scratch s) { return number(s, f.time.tm_sec, 2); }},
    {"A1", [](facts f, scratch) { return f.am_pm[0]; }},
    {"A2", [](facts f, scratch) { return f.am_pm[1]; }},
    {"A3", [](facts f, scratch) { return f.am_pm[2]; }},
    {"A4", [](facts f, scratch) { return f.am_pm[3]; }},
    {"TZ", [](facts f, scratch) { return f.zone.view(); }},
    {"SA", [](facts f, scratch) { return f.auto_size.view(); }},
    {"SB", [](facts f, scratch s) { return number(s, f.size); }},
    {"SK", [](facts f, scratch s) { return scaled(s, f.size, kilobyte); }},
    {"SM", [](facts f, scratch s) { return scaled(s, f.size, megabyte); }},
    {"SG", [](facts f, scratch s) { return scaled(s, f.size, gigabyte); }},
    {"FN", [](facts f, scratch) { return f.doc_file; }},
    {"FP", [](facts f, scratch) { return f.doc_dir; }},
    {"DR", [](facts f, scratch) { return f.document_root; }},
    {"SN", [](facts f, scratch) { return f.server_name; }},
}};

} // namespace

namespace {

// Both characters in one integer: the lookup is a scan of 36 small numbers
// instead of 36 string comparisons, which mattered on long templates.
constexpr std::uint16_t code_key(char first, char second)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(first) << 8U |
                                      static_cast<unsigned char>(second));
}

constexpr std::array<std::uint16_t, codes.size()> code_keys = [] {
    std::array<std::uint16_t, codes.size()> keys{};
    // "!=": cppcheck 2.10 reads a "<" here as the start of a template argument list.
    for (std::size_t i = 0; i != codes.size(); ++i) {
        keys[i] = code_key(codes[i].code[0], codes[i].code[1]);
    }
    return keys;
}();

} // namespace

bool code_value(std::string_view code, const stamp_facts& facts, piece_scratch& scratch,
                std::string_view& value)
{
    if (code.size() != 2) {
        return false;
    }
    const std::uint16_t key = code_key(code[0], code[1]);
    for (std::size_t i = 0; i < code_keys.size(); ++i) {
        if (code_keys[i] == key) {
            value = codes[i].value(facts, scratch);
            return true;
        }
    }
    return false;
}

} // namespace pagestamp
