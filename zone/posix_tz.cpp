#include "zone/posix_tz.hpp"

#include "zone/civil_time.hpp"

#include <climits>

namespace pagestamp {

namespace {

constexpr std::int64_t seconds_per_day = 86400;

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_quoted_name_char(char c) { return is_letter(c) || is_digit(c) || c == '+' || c == '-'; }
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads at `at` without ever looking past the end; the end reads as NUL,
// which is where glibc's strings stop.
struct cursor {
    std::string_view text;
    std::size_t at = 0;
    [[nodiscard]] char peek(std::size_t ahead = 0) const
    {
        return at + ahead < text.size() ? text[at + ahead] : '\0';
    }
};

// sscanf's %hu: white space, a sign, digits, the value as strtoul gives it
// (saturated, a minus negating it) cut to 16 bits. False, consuming nothing
// that counts, when there is no digit.
bool scan_short(cursor& in, std::uint16_t& value)
{
    std::size_t at = in.at;
    while (is_space(at < in.text.size() ? in.text[at] : '\0')) {
        ++at;
    }
    const char sign = at < in.text.size() ? in.text[at] : '\0';
    if (sign == '+' || sign == '-') {
        ++at;
    }
    if (at >= in.text.size() || !is_digit(in.text[at])) {
        return false;
    }
    std::uint64_t number = 0;
    bool overflow = false;
    for (; at < in.text.size() && is_digit(in.text[at]); ++at) {
        const auto digit = static_cast<std::uint64_t>(in.text[at] - '0');
        overflow = overflow || number > (UINT64_MAX - digit) / 10;
        number = number * 10 + digit;
    }
    if (overflow) {
        number = UINT64_MAX;
    } else if (sign == '-') {
        number = 0 - number;
    }
    value = static_cast<std::uint16_t>(number);
    in.at = at;
    return true;
}

// "%hu%n:%hu%n:%hu%n": hours, then minutes and seconds if a colon leads to them.
void scan_clock(cursor& in, std::uint16_t& hours, std::uint16_t& minutes, std::uint16_t& seconds)
{
    if (!scan_short(in, hours)) {
        return;
    }
    for (std::uint16_t* part : {&minutes, &seconds}) {
        cursor after_colon{in.text, in.at + 1};
        if (in.peek() != ':' || !scan_short(after_colon, *part)) {
            return;
        }
        in = after_colon;
    }
}

bool parse_name(cursor& in, zone_name& name)
{
    std::size_t end = in.at;
    while (is_letter(end < in.text.size() ? in.text[end] : '\0')) {
        ++end;
    }
    std::size_t start = in.at;
    std::size_t next = end;
    if (end - start < 3) {
        // <+0330>: the quoted form, letters, digits and signs
        if (in.peek() != '<') {
            return false;
        }
        start = in.at + 1;
        end = start;
        while (end < in.text.size() && is_quoted_name_char(in.text[end])) {
            ++end;
        }
        if (end >= in.text.size() || in.text[end] != '>' || end - start < 3) {
            return false;
        }
        next = end + 1;
    }
    name.clear();
    name.append(std::string_view(in.text.data() + start, end - start));
    in.at = next;
    return true;
}

std::int64_t clock_offset(std::uint16_t hours, std::uint16_t minutes, std::uint16_t seconds)
{
    // glibc's limits: out-of-range parts count as 24 hours and 59 minutes or seconds.
    const std::int64_t h = hours < 24 ? hours : 24;
    const std::int64_t m = minutes < 59 ? minutes : 59;
    const std::int64_t s = seconds < 59 ? seconds : 59;
    return h * 3600 + m * 60 + s;
}

// An offset west of UTC in the text, east in what it yields.
bool parse_offset(cursor& in, posix_zone& zone, int which)
{
    const char first = in.peek();
    if (which == 0 && first != '+' && first != '-' && !is_digit(first)) {
        return false;
    }
    std::int64_t sign = -1;
    if (first == '+' || first == '-') {
        sign = first == '-' ? 1 : -1;
        ++in.at;
    }
    std::uint16_t hours = 0;
    std::uint16_t minutes = 0;
    std::uint16_t seconds = 0;
    cursor scan = in;
    scan_clock(scan, hours, minutes, seconds);
    if (scan.at == in.at) {
        if (which == 0) {
            zone.offsets[0] = 0;
            return false;
        }
        zone.offsets[1] = zone.offsets[0] + 3600; // daylight time is an hour ahead by default
        return true;
    }
    zone.offsets[which] = sign * clock_offset(hours, minutes, seconds);
    in = scan;
    return true;
}

// strtoul on a day number that starts with a digit; saturated.
std::uint64_t scan_day_number(cursor& in)
{
    std::uint64_t number = 0;
    for (; is_digit(in.peek()); ++in.at) {
        const auto digit = static_cast<std::uint64_t>(in.peek() - '0');
        number = number > (UINT64_MAX - digit) / 10 ? UINT64_MAX : number * 10 + digit;
    }
    return number;
}

bool parse_day(cursor& in, change_rule& rule, int which)
{
    const char first = in.peek();
    if (first == 'J' || is_digit(first)) {
        rule.form = first == 'J' ? change_day::julian_day : change_day::day_of_year;
        if (first == 'J' && !is_digit(in.peek(1))) {
            return false;
        }
        in.at += first == 'J' ? 1 : 0;
        const std::uint64_t day = scan_day_number(in);
        if (day > 365 || (rule.form == change_day::julian_day && day == 0)) {
            return false;
        }
        rule.day = static_cast<std::uint16_t>(day);
        return true;
    }
    if (first == 'M') {
        rule.form = change_day::month_week_day;
        cursor scan{in.text, in.at + 1};
        std::uint16_t* const parts[3] = {&rule.month, &rule.week, &rule.day};
        for (std::size_t i = 0; i < 3; ++i) {
            if (i > 0) {
                if (scan.peek() != '.') {
                    return false;
                }
                ++scan.at;
            }
            if (!scan_short(scan, *parts[i])) {
                return false;
            }
        }
        in = scan;
        return rule.month >= 1 && rule.month <= 12 && rule.week >= 1 && rule.week <= 5 && rule.day <= 6;
    }
    if (first == '\0') {
        // No rule at all: the United States' rule since 2007.
        rule.form = change_day::month_week_day;
        rule.month = which == 0 ? 3 : 11;
        rule.week = which == 0 ? 2 : 1;
        rule.day = 0;
        return true;
    }
    return false;
}

bool parse_rule(cursor& in, change_rule& rule, int which)
{
    if (in.peek() == ',') {
        ++in.at;
    }
    if (!parse_day(in, rule, which)) {
        return false;
    }
    const char next = in.peek();
    if (next != '\0' && next != '/' && next != ',') {
        return false;
    }
    if (next != '/') {
        rule.seconds = 2 * 3600;
    } else {
        ++in.at;
        if (in.peek() == '\0') {
            return false;
        }
        const bool negative = in.peek() == '-';
        in.at += negative ? 1 : 0;
        std::uint16_t hours = 2;
        std::uint16_t minutes = 0;
        std::uint16_t seconds = 0;
        scan_clock(in, hours, minutes, seconds);
        const std::int32_t clock = hours * 3600 + minutes * 60 + seconds;
        rule.seconds = negative ? -clock : clock;
    }
    return true;
}

// A change glibc's table places past any year.
constexpr std::int64_t never_in_year = std::int64_t{1} << 20;

// glibc's days before `month`, read as glibc reads its table: the two years'
// rows one after the other, so that the month of a rule it refused (0, or
// past 12) reads a neighbouring entry. The word before the table holds 0 in
// glibc's library; what lies past it is no month, and we take as never.
std::int64_t days_before(unsigned month, bool leap)
{
    const std::int64_t index = (leap ? 13 : 0) + std::int64_t{month} - 1;
    if (index < 0) {
        return 0;
    }
    return index < 26 ? days_before_month[index / 13][index % 13] : never_in_year;
}

// The day, from the year's first, of the week's day a rule names, as
// glibc's arithmetic finds it for any month.
std::int64_t month_week_day(const change_rule& rule, int year, bool leap)
{
    const std::int64_t before = days_before(rule.month, leap);
    const std::int64_t length = days_before(rule.month + 1U, leap) - before;
    // Zeller's congruence: the weekday of the month's first day.
    const int shifted_month = (rule.month + 9) % 12 + 1;
    // glibc's year wraps past INT_MAX, as tm_year + 1900 does there.
    const int march_year = rule.month <= 2 ? static_cast<int>(static_cast<unsigned>(year) - 1U) : year;
    const int century = march_year / 100;
    const int in_century = march_year % 100;
    int weekday = ((26 * shifted_month - 2) / 10 + 1 + in_century + in_century / 4 + century / 4 - 2 * century) % 7;
    weekday += weekday < 0 ? 7 : 0;
    std::int64_t day = rule.day - weekday;
    day += day < 0 ? 7 : 0;
    if (length >= never_in_year) {
        return before + day + 7 * std::int64_t{rule.week > 0 ? rule.week - 1 : 0}; // past the year however counted
    }
    for (unsigned week = 1; week < rule.week && day + 7 < length; ++week) {
        day += 7;
    }
    return before + day;
}

// The moment a rule's change happens in `year`. Before 1971 glibc counts
// from the start of 1970, whatever the year; its day counts are ints.
std::int64_t change_time(const change_rule& rule, std::int64_t offset, int year)
{
    std::int64_t start = 0;
    if (year > 1970) {
        const std::int64_t y = year;
        const auto days = static_cast<std::int32_t>(static_cast<std::uint32_t>(
            (y - 1970) * 365 + ((y - 1) / 4 - 1970 / 4) - ((y - 1) / 100 - 1970 / 100) + ((y - 1) / 400 - 1970 / 400)));
        start = days * seconds_per_day;
    }
    const bool leap = is_leap_year(year);
    switch (rule.form) {
    case change_day::julian_day:
        start += (rule.day - 1) * seconds_per_day;
        if (rule.day >= 60 && leap) {
            start += seconds_per_day;
        }
        break;
    case change_day::day_of_year:
        start += rule.day * seconds_per_day;
        break;
    case change_day::month_week_day:
        start += month_week_day(rule, year, leap) * seconds_per_day;
        break;
    }
    return start - offset + rule.seconds;
}

} // namespace

bool parse_posix_tz(std::string_view text, posix_zone& zone)
{
    cursor in{text_before(text, zone_name::capacity)};
    for (int which = 0; which < 2; ++which) {
        zone.names[which].clear();
        zone.offsets[which] = 0;
        zone.rules[which] = {change_day::day_of_year, 0, 0, 0, 0};
    }
    zone.wants_default_rules = false;
    if (!parse_name(in, zone.names[0]) || !parse_offset(in, zone, 0)) {
        return false;
    }
    if (in.peek() == '\0') {
        zone.names[1] = zone.names[0]; // no daylight time
        zone.offsets[1] = zone.offsets[0];
        return text.size() <= zone_name::capacity;
    }
    // Anything else is read for the daylight name and the rules, even what
    // is neither: glibc then keeps an empty name at offset 0 for daylight
    // time, and rules of day 0, so that most of each year is that.
    const bool named = parse_name(in, zone.names[1]);
    if (named) {
        parse_offset(in, zone, 1);
        zone.wants_default_rules = in.peek() == '\0' || (in.peek() == ',' && in.peek(1) == '\0');
    }
    const bool ruled = parse_rule(in, zone.rules[0], 0) && parse_rule(in, zone.rules[1], 1);
    return named && ruled && in.peek() == '\0' && text.size() <= zone_name::capacity;
}

zone_state posix_state(const posix_zone& zone, std::int64_t when, int utc_year)
{
    const std::int64_t starts = change_time(zone.rules[0], zone.offsets[0], utc_year);
    const std::int64_t ends = change_time(zone.rules[1], zone.offsets[1], utc_year);
    // A southern rule ends daylight time in the year it starts the next.
    const bool dst = starts > ends ? (when < ends || when >= starts) : (when >= starts && when < ends);
    const int which = dst ? 1 : 0;
    return {zone.offsets[which], dst, &zone.names[which]};
}

} // namespace pagestamp
